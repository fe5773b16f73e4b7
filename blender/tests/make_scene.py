"""Run inside Blender: installs and enables the add-on from the zip, builds the test scene
(a box room, an area light, a spot, a sun, a gold sphere, a glass cube, an image-textured
floor, two instances of a collection), saves it, and writes the same scene for
tessra-render: the meshes through Blender's glTF exporter, the lights and camera from the
numbers below through the conversions docs/blender.md states, in a JSON scene file.

blender -b --factory-startup --python make_scene.py -- OUT_FOLDER ADDON_ZIP TEXTURE"""
import json
import math
import os
import sys

import bpy
from mathutils import Vector

out, addon_zip, texture = sys.argv[sys.argv.index("--") + 1:][:3]
bpy.ops.wm.read_factory_settings(use_empty=True)
bpy.ops.preferences.addon_install(filepath=addon_zip, overwrite=True)
bpy.ops.preferences.addon_enable(module="tessra")
bpy.ops.wm.save_userpref()
scene = bpy.context.scene

R = 3.0  # half width; the room is 6 x 6 x 3 m
AREA = dict(location=(0, 0, 2.9), size=(1.0, 0.5), watts=150.0)
SPOT = dict(location=(2.5, -2.5, 2.5), target=(0, 0, 0.3), watts=600.0, size=50.0, blend=0.25)
SUN = dict(direction=Vector((-0.4, 0.5, -0.77)), strength=1.5, color=(1.0, 0.9, 0.8))
CAMERA = dict(location=(0.3, -5.2, 1.7), target=(0, 0, 0.8), lens=28.0, sensor=36.0)
BACKGROUND = (0.05, 0.06, 0.08)
SMOOTH_DIELECTRICS = []  # reflect sharply through the add-on, 0.04 at the default Specular


def principled(name, base, metallic=0.0, roughness=0.5, transmission=0.0, image=None):
    if metallic == 0 and roughness < 0.25:
        SMOOTH_DIELECTRICS.append(name)
    mat = bpy.data.materials.new(name)
    mat.use_nodes = True
    bsdf = mat.node_tree.nodes["Principled BSDF"]
    for key, value in (("Base Color", (*base, 1)), ("Metallic", metallic), ("Roughness", roughness),
                       ("Transmission", transmission), ("IOR", 1.6)):
        bsdf.inputs[key].default_value = value
    if image:
        tex = mat.node_tree.nodes.new("ShaderNodeTexImage")
        tex.image = bpy.data.images.load(image)
        mat.node_tree.links.new(tex.outputs["Color"], bsdf.inputs["Base Color"])
    return mat


def add(name, data, location=(0, 0, 0), target=None, **settings):
    for key, value in settings.items():
        setattr(data, key, value)
    obj = bpy.data.objects.new(name, data)
    obj.location = location
    if target:
        obj.rotation_euler = (Vector(target) - obj.location).to_track_quat("-Z", "Y").to_euler()
    scene.collection.objects.link(obj)
    return obj


def mesh(name, verts, faces, mat, uvs=()):
    data = bpy.data.meshes.new(name)
    data.from_pydata(verts, [], faces)
    if uvs:
        for loop, uv in zip(data.uv_layers.new().data, uvs):
            loop.uv = uv
    data.materials.append(mat)
    return add(name, data)


corners = [(-R, -R, 0), (R, -R, 0), (R, R, 0), (-R, R, 0)]
mesh("floor", corners, [(0, 1, 2, 3)], principled("checker", (1, 1, 1), image=texture),
     uvs=[(0, 0), (3, 0), (3, 3), (0, 3)])
mesh("room", corners + [(x, y, 3) for x, y, _ in corners], [(3, 2, 6, 7), (0, 3, 7, 4), (2, 1, 5, 6), (4, 7, 6, 5)],
     principled("walls", (0.7, 0.65, 0.6), roughness=1.0))
bpy.ops.mesh.primitive_uv_sphere_add(segments=48, ring_count=24, radius=0.6, location=(-1.0, 0.4, 0.6))
bpy.ops.object.shade_smooth()
bpy.context.active_object.data.materials.append(principled("gold", (1.0, 0.78, 0.35), metallic=1.0, roughness=0.25))
bpy.ops.mesh.primitive_cube_add(size=0.9, location=(1.0, -0.6, 0.45), rotation=(0, 0, math.radians(30)))
bpy.context.active_object.data.materials.append(principled("glass", (0.95, 0.95, 1.0), transmission=1.0,
                                                           roughness=0.0))
# A collection shown twice through instancing empties: the depsgraph's instances.
props = bpy.data.collections.new("props")
bpy.ops.mesh.primitive_cone_add(vertices=12, radius1=0.25, depth=0.6, location=(0, 0, 0.3))
cone = bpy.context.active_object
cone.data.materials.append(principled("red", (0.8, 0.1, 0.08), roughness=0.6))
for c in cone.users_collection:
    c.objects.unlink(cone)
props.objects.link(cone)
for i, where in enumerate([(-2.2, 1.8, 0), (2.0, 1.5, 0)]):
    empty = add(f"props.{i}", None, where)
    empty.instance_type, empty.instance_collection, empty.rotation_euler = "COLLECTION", props, (0, 0, 0.7 * i)

area_obj = add("area", bpy.data.lights.new("area", "AREA"), AREA["location"], shape="RECTANGLE", size=AREA["size"][0],
               size_y=AREA["size"][1], energy=AREA["watts"])
spot_obj = add("spot", bpy.data.lights.new("spot", "SPOT"), SPOT["location"], SPOT["target"], energy=SPOT["watts"],
               spot_size=math.radians(SPOT["size"]), spot_blend=SPOT["blend"], shadow_soft_size=0)
sun_obj = add("sun", bpy.data.lights.new("sun", "SUN"), (0, 0, 2.5), Vector((0, 0, 2.5)) + SUN["direction"],
              energy=SUN["strength"], color=SUN["color"])
scene.camera = add("camera", bpy.data.cameras.new("camera"), CAMERA["location"], CAMERA["target"], lens=CAMERA["lens"],
                   sensor_width=CAMERA["sensor"], sensor_fit="HORIZONTAL")
scene.world = bpy.data.worlds.new("world")
scene.world.color = BACKGROUND

scene.render.engine = "TESSRA"
scene.tessra.aa_samples = 1  # see the top of test_blender.py
scene.render.resolution_x, scene.render.resolution_y, scene.render.resolution_percentage = 480, 320, 50
scene.render.image_settings.file_format = "OPEN_EXR_MULTILAYER"
scene.render.image_settings.color_depth = "32"
layer = scene.view_layers[0]
layer.use_pass_z = layer.use_pass_normal = layer.use_pass_diffuse_color = True
scene.view_settings.view_transform = "Standard"
bpy.ops.wm.save_as_mainfile(filepath=os.path.join(out, "scene.blend"))

bpy.ops.export_scene.gltf(filepath=os.path.join(out, "scene.glb"), export_format="GLB", export_yup=False,
                          export_lights=False, export_cameras=False)


def frame(obj):
    """A light's direction (its -Z) and up (its +Y) in the world."""
    return dict(direction=list(-obj.matrix_world.col[2].xyz), up=list(obj.matrix_world.col[1].xyz))


centre, radius = (0, 0, 1.5), math.sqrt(2 * R * R + 1.5 * 1.5)  # the room's bounding sphere
json_scene = {
    "models": [{"file": "scene.glb"}],
    "lights": [
        dict(type="rect", position=AREA["location"], **frame(area_obj), width=AREA["size"][0], height=AREA["size"][1],
             intensity=AREA["watts"] / (4 * math.pi), cosine=True, decay="inverse_square"),
        dict(type="spot", position=SPOT["location"], **frame(spot_obj), falloff=SPOT["size"],
             hotspot=SPOT["size"] * (1 - SPOT["blend"]), intensity=SPOT["watts"] / (4 * math.pi ** 2),
             decay="inverse_square"),
        dict(type="directional", position=[c - d * 3 * radius for c, d in zip(centre, frame(sun_obj)["direction"])],
             **frame(sun_obj), color=SUN["color"], falloff=1.05 * radius, hotspot=radius,
             intensity=SUN["strength"] / math.pi),
    ],
    "camera": {"position": CAMERA["location"], "look_at": CAMERA["target"], "up": [0, 0, 1],
               "fov": math.degrees(2 * math.atan(CAMERA["sensor"] / 2 / CAMERA["lens"]))},
    "materials": {name: {"reflection": [0.04] * 3} for name in SMOOTH_DIELECTRICS},
    "background": BACKGROUND,
    "settings": {"width": 240, "height": 160, "shadowMode": 1},
}
with open(os.path.join(out, "scene.json"), "w") as f:
    json.dump(json_scene, f, indent=1)
print("scene written")
