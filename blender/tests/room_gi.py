"""Run inside Blender on make_scene.py's room: renders it with Tessra's final gather and
with Cycles at 64 samples (two diffuse bounces, as Tessra's two; caustics off in both: a
path tracer cannot find the sun's and the spot's through the glass and the gold) at a
quarter size and prints RESULTS {mean ratio, 16 x 16-block median and 90th percentile of
|Tessra / Cycles - 1|, both times}.

blender -b scene.blend --addons tessra --python room_gi.py -- OUT_FOLDER"""
import json
import os
import sys
import time

import bpy

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


def render(engine):
    s.render.engine = engine
    s.render.filepath = os.path.join(out, "room_gi_" + engine)
    start = time.time()
    bpy.ops.render.render(write_still=True)
    seconds = time.time() - start
    image = bpy.data.images.load(s.render.filepath + ".exr")
    p, (w, h) = image.pixels[:], image.size
    bpy.data.images.remove(image)
    return seconds, w, h, [(p[4 * i] + p[4 * i + 1] + p[4 * i + 2]) / 3 for i in range(w * h)]


tc, w, h, cy = render("CYCLES")
tt, _, _, te = render("TESSRA")
B = 16
errors = sorted(abs(sum(te[y * w + x] for y in range(by, by + B) for x in range(bx, bx + B)) /
                    sum(cy[y * w + x] for y in range(by, by + B) for x in range(bx, bx + B)) - 1)
                for by in range(0, h - B + 1, B) for bx in range(0, w - B + 1, B))
print("RESULTS " + json.dumps(dict(mean_ratio=sum(te) / sum(cy), block_median=errors[len(errors) // 2],
                                   p90=errors[len(errors) * 9 // 10], cycles_s=tc, tessra_s=tt)), flush=True)
