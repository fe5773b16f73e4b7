#!/usr/bin/python3
"""What the Python path adds per tile: the test scene of python/tests (point and spot light,
mirror, glass, textured floor) at 1024 x 1024 (16 tiles), rendered by tessra-render from its
OBJ + JSON form, by the module without callbacks, and by the module with an on_tile that
copies each tile out as the Blender add-on does (RGBA tuples). Best of N runs each, interleaved.

PYTHONPATH=build/python scripts/python-tile-overhead.py build/tessra-render [N]"""
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python", "tests"))
import test_tessra as t  # noqa: E402

render_bin, runs = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 3
t.WIDTH = t.HEIGHT = 1024
lights = [l for l in t.LIGHTS if l[0] != "rect"]
tiles = 16
best = {"tessra-render": 1e9, "module": 1e9, "module + on_tile": 1e9}
with tempfile.TemporaryDirectory() as d:
    scene = t.json_scene(d, lights)
    for _ in range(runs):
        t0 = time.perf_counter()
        subprocess.run([render_bin, scene, "-o", os.path.join(d, "x.pfm"), "--device", "cpu", "-q"], check=True,
                       stdout=subprocess.DEVNULL)
        best["tessra-render"] = min(best["tessra-render"], time.perf_counter() - t0)
        as_blender = lambda im, x, y, w, h: list(zip(*[iter(im.tile(x, y, w, h))] * 4))  # noqa: E731
        for name, cb in (("module", None), ("module + on_tile", as_blender)):
            r = t.python_scene(1024, 1024, lights)
            t0 = time.perf_counter()
            r.render(on_tile=cb)
            best[name] = min(best[name], time.perf_counter() - t0)
for k, v in best.items():
    print(f"{k:18s} {v:8.3f} s")
print(f"on_tile with Image.tile, per tile: {(best['module + on_tile'] - best['module']) / tiles * 1000:.1f} ms")
print(f"module against tessra-render, per tile: {(best['module'] - best['tessra-render']) / tiles * 1000:.1f} ms")
