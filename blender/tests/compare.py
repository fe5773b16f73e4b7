"""Run inside Blender, which reads OpenEXR: prints one JSON line of statistics comparing
two images' RGB. blender -b --factory-startup --python compare.py -- A.exr B.exr"""
import array
import json
import sys

import bpy

paths = sys.argv[sys.argv.index("--") + 1:][:2]
images = [bpy.data.images.load(p) for p in paths]
sizes = [tuple(i.size) for i in images]
stats = {"sizes": sizes}
if sizes[0] == sizes[1]:
    px = []
    for i in images:
        a = array.array("f", bytes(4 * len(i.pixels)))
        i.pixels.foreach_get(a)
        px.append([v for k, v in enumerate(a) if k % 4 != 3])
    diffs = [abs(x - y) for x, y in zip(*px)]
    n = len(diffs)
    stats.update(mean=[sum(p) / n for p in px], mean_abs_diff=sum(diffs) / n, max_diff=max(diffs),
                 over_0_05=sum(d > 0.05 for d in diffs) / n, lit=[sum(v > 0.01 for v in p) / n for p in px])
print("STATS " + json.dumps(stats))
