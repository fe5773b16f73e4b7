# The library materials on spheres under a sun and an area light, as the heavy-scenes
# benchmark renders them: blender -b --factory-startup --addons tessra --python
# bench/library-spheres.py -- TESSRA (or CYCLES, at 32 samples). Prints the render time.
import os, sys, tempfile, time, bpy
engine = sys.argv[sys.argv.index("--") + 1]
lib = "/usr/share/blender/scripts/addons/materials_library_vx/sample_materials.blend"
bpy.ops.wm.read_factory_settings(use_empty=True)
with bpy.data.libraries.load(lib) as (src, dst):
    dst.materials = list(src.materials)
mats = [m for m in dst.materials if m is not None][:35]
for k, m in enumerate(mats):
    bpy.ops.mesh.primitive_uv_sphere_add(radius=0.45, location=((k % 7) - 3, (k // 7) - 2, 0.45))
    bpy.ops.object.shade_smooth()
    bpy.context.object.data.materials.append(m)
bpy.ops.mesh.primitive_plane_add(size=20)
bpy.ops.object.light_add(type="SUN", rotation=(0.7, 0.1, 0.4))
bpy.context.object.data.energy = 3
bpy.ops.object.light_add(type="AREA", location=(0, -2, 4))
bpy.context.object.data.energy = 300
bpy.context.object.data.size = 2
bpy.ops.object.camera_add(location=(0, -9, 6), rotation=(0.95, 0, 0))
s = bpy.context.scene
s.camera = bpy.context.object
s.render.resolution_x, s.render.resolution_y, s.render.resolution_percentage = 320, 240, 100
s.render.engine = engine
if engine == "CYCLES":
    s.cycles.samples = 32
    s.cycles.use_denoising = False
s.render.filepath = os.path.join(tempfile.gettempdir(), "library-spheres-" + engine)
print("MATERIALS", len(mats))
t1 = time.perf_counter()
bpy.ops.render.render(write_still=True)
print("RENDER %s %.2f s" % (engine, time.perf_counter() - t1))
