"""Run inside Blender with the add-on enabled: a floor, an upright mirror and a small area
light turned towards it, so that most of the floor sees the light only in the mirror.
Cycles reaches the light through the mirror (caustics on, no clamping, 1024 samples);
Tessra's final gather takes the mirror's caustics from photons. Prints RESULTS {mean
ratio, 16 x 16-block median of |Tessra / Cycles - 1|, both times}.

blender -b --factory-startup --addons tessra --python mirror_caustic.py -- OUT_FOLDER"""
import json
import os
import sys

import bpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compare  # noqa: E402

out = sys.argv[sys.argv.index("--") + 1]
s = bpy.context.scene
for o in list(bpy.data.objects):
    bpy.data.objects.remove(o)


def plane(size, location, rotation, colour, metallic, roughness):
    m = bpy.data.materials.new("m")
    m.use_nodes = True
    b = m.node_tree.nodes["Principled BSDF"]
    b.inputs["Base Color"].default_value = colour
    b.inputs["Metallic"].default_value, b.inputs["Roughness"].default_value = metallic, roughness
    b.inputs["Specular"].default_value = 0.0
    bpy.ops.mesh.primitive_plane_add(size=size, location=location, rotation=rotation)
    bpy.context.object.data.materials.append(m)


plane(4, (0, 0, 0), (0, 0, 0), (0.6, 0.6, 0.6, 1), 0.0, 1.0)
plane(3, (1, 0, 1), (0, -1.5708, 0), (0.9, 0.9, 0.9, 1), 1.0, 0.0)
bpy.ops.object.light_add(type="AREA", location=(0.4, 0, 0.6), rotation=(0, -1.2, 0))
bpy.context.object.data.size, bpy.context.object.data.energy = 0.3, 30
bpy.ops.object.camera_add(location=(-0.6, 0, 3.2))
s.camera = bpy.context.object
s.camera.data.lens = 24
s.world = bpy.data.worlds.new("black")
s.world.color = (0, 0, 0)
s.render.resolution_x, s.render.resolution_y, s.render.resolution_percentage = 120, 96, 100
s.render.image_settings.file_format = "OPEN_EXR"
s.view_settings.view_transform = "Standard"
c = s.cycles
c.samples, c.max_bounces, c.diffuse_bounces, c.use_denoising = 1024, 4, 2, False
c.caustics_reflective, c.blur_glossy, c.sample_clamp_direct, c.sample_clamp_indirect = True, 0.0, 0.0, 0.0
s.tessra.gi, s.tessra.final_gather, s.tessra.bounces = True, True, 2


(tc, w, h, cy), (tt, _, _, te) = compare.engines(s, out, "mirror")
errors = compare.block_errors(te, cy, w, h, floor=1e-3)
print("RESULTS " + json.dumps(dict(mean_ratio=sum(te) / sum(cy), block_median=errors[len(errors) // 2],
                                   cycles_s=tc, tessra_s=tt)), flush=True)
