"""Run inside Blender on make_scene.py's room: renders it with Tessra's final gather and
with Cycles at 64 samples (two diffuse bounces, as Tessra's two; caustics off in both: a
path tracer cannot find the sun's and the spot's through the glass and the gold) at a
quarter size and prints RESULTS {mean ratio, 16 x 16-block median and 90th percentile of
|Tessra / Cycles - 1|, both times}.

blender -b scene.blend --addons tessra --python room_gi.py -- OUT_FOLDER"""
import json
import os
import sys

import bpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compare  # noqa: E402

out = sys.argv[sys.argv.index("--") + 1]
s = bpy.context.scene
s.render.resolution_percentage = 25
s.render.image_settings.file_format = "OPEN_EXR"
s.view_settings.view_transform = "Standard"
c = s.cycles
c.samples, c.max_bounces, c.diffuse_bounces, c.use_denoising = 64, 4, 2, False
c.caustics_reflective = c.caustics_refractive = False
s.tessra.caustics_reflective = s.tessra.caustics_refractive = False
s.tessra.gi, s.tessra.final_gather, s.tessra.bounces = True, True, 2


(tc, w, h, cy), (tt, _, _, te) = compare.engines(s, out, "room_gi")
errors = compare.block_errors(te, cy, w, h)
print("RESULTS " + json.dumps(dict(mean_ratio=sum(te) / sum(cy), block_median=errors[len(errors) // 2],
                                   p90=errors[len(errors) * 9 // 10], cycles_s=tc, tessra_s=tt)), flush=True)
