"""Shared by the scripts that compare Tessra with Cycles inside Blender: a render's
luminance, and the relative errors of its blocks against a reference."""
import os
import time

import bpy


def render(scene, engine, path):
    """Renders scene with engine to path + '.exr'; gives (seconds, width, height, luminances)."""
    scene.render.engine = engine
    scene.render.filepath = path
    start = time.time()
    bpy.ops.render.render(write_still=True)
    seconds = time.time() - start
    image = bpy.data.images.load(path + ".exr")
    p, (w, h) = image.pixels[:], image.size
    bpy.data.images.remove(image)
    return seconds, w, h, [(p[4 * i] + p[4 * i + 1] + p[4 * i + 2]) / 3 for i in range(w * h)]


def block_errors(est, ref, w, h, size=16, floor=0.0):
    """|est / ref - 1| of the size x size blocks whose reference exceeds floor per pixel, sorted."""
    errors = []
    for by in range(0, h - size + 1, size):
        for bx in range(0, w - size + 1, size):
            pixels = [y * w + x for y in range(by, by + size) for x in range(bx, bx + size)]
            r = sum(ref[i] for i in pixels)
            if r > floor * size * size:
                errors.append(abs(sum(est[i] for i in pixels) / r - 1))
    return sorted(errors)


def engines(scene, out, tag):
    """Cycles' render and Tessra's of scene, written to out as tag_CYCLES and tag_TESSRA."""
    return [render(scene, e, os.path.join(out, tag + "_" + e)) for e in ("CYCLES", "TESSRA")]
