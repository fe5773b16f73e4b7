"""The Blender add-on, headless: a scene built with bpy and rendered through the installed
zip must match the same scene rendered by tessra-render from a glTF export and a JSON
scene file; a render cancelled after its first tile writes no image and leaves no process.

Tolerance. Both paths hand the renderer the same scene up to float rounding: the glTF
exporter bakes and rounds the vertices itself and Assimp multiplies node transforms in
float, while the add-on transforms in the module. That moves silhouettes by far less than a
pixel, so a ray that grazes an edge can hit the other triangle and a glossy or area-light
sample can land on the other side of a shadow edge: isolated pixels that differ a lot. A
conversion error (a light's power, a spot's cone, an orientation, the field of view, a
flipped texture, a lost material) changes thousands of pixels or the mean level. Hence:
the mean levels agree within 1 %, the mean absolute difference stays under 0.005 (the
image's mean level is about 0.5) and fewer than 1 % of the values differ by more than 0.05.
"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BLENDER = os.environ.get("TESSRA_BLENDER")
ZIP = os.environ.get("TESSRA_ZIP")
RENDER = os.environ.get("TESSRA_RENDER")
HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = os.path.join(HERE, "..", "..", "examples", "checker.png")

if not (BLENDER and ZIP and RENDER):
    print("SKIPPED: TESSRA_BLENDER, TESSRA_ZIP and TESSRA_RENDER must name blender, the add-on zip and tessra-render")
    sys.exit(77)


class Addon(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = cls.tmp.name
        # A private Blender configuration: the add-on is installed there, not in the user's.
        cls.env = dict(os.environ, BLENDER_USER_CONFIG=os.path.join(cls.dir, "config"),
                       BLENDER_USER_SCRIPTS=os.path.join(cls.dir, "scripts"))
        cls.blender([BLENDER, "-b", "--factory-startup", "--python-exit-code", "1", "--python",
                     os.path.join(HERE, "make_scene.py"), "--", cls.dir, ZIP, os.path.abspath(CHECKER)])

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    @classmethod
    def blender(cls, args):
        p = subprocess.run(args, env=cls.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           timeout=280)
        if p.returncode != 0:
            raise AssertionError(f"{args} failed:\n{p.stdout[-3000:]}")
        return p.stdout

    def test_headless_render_matches_tessra_render(self):
        blend = os.path.join(self.dir, "scene.blend")
        t0 = time.monotonic()
        # Blender reads its arguments in order: the file, then the engine and output, then -f.
        self.blender([BLENDER, "-b", blend, "-E", "TESSRA", "-o", "//addon_", "-f", "1"])
        t_addon = time.monotonic() - t0
        addon = os.path.join(self.dir, "addon_0001.exr")
        ref = os.path.join(self.dir, "ref.exr")
        t0 = time.monotonic()
        subprocess.run([RENDER, os.path.join(self.dir, "scene.json"), "-o", ref, "-q"], check=True)
        t_ref = time.monotonic() - t0
        out = self.blender([BLENDER, "-b", "--factory-startup", "--python-exit-code", "1", "--python",
                            os.path.join(HERE, "compare.py"), "--", addon, ref])
        stats = json.loads(next(l for l in out.splitlines() if l.startswith("STATS "))[6:])
        stats.update(blender_seconds=round(t_addon, 1), tessra_render_seconds=round(t_ref, 1))
        print("image statistics:", json.dumps(stats))
        self.assertEqual(stats["sizes"], [[240, 160], [240, 160]])
        a, b = stats["mean"]
        self.assertGreater(b, 0.05, "the reference is black")
        self.assertLess(abs(a - b) / b, 0.01)
        self.assertLess(stats["mean_abs_diff"], 0.005)
        self.assertLess(stats["over_0_05"], 0.01)

    def test_cancel_after_the_first_tile_writes_nothing(self):
        # Six tiles, without the area light so that they come quickly; the first is reported
        # once the second has begun, and SIGINT in background mode is Blender's Esc.
        setup = ("import bpy; s = bpy.context.scene; s.render.resolution_percentage = 300; "
                 "bpy.data.objects['area'].hide_render = True")
        p = subprocess.Popen([BLENDER, "-b", os.path.join(self.dir, "scene.blend"), "--python-expr", setup,
                              "-E", "TESSRA", "-o", "//cancel_", "-f", "1"], env=self.env, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, start_new_session=True)
        try:
            for line in p.stdout:
                if line.startswith("Tessra: tile 1/"):
                    break
            p.send_signal(signal.SIGINT)
            rest = p.stdout.read()
            p.wait(timeout=240)
        finally:
            p.kill()
        self.assertIn("Tessra: cancelled", rest)
        self.assertNotIn("Tessra: tile 6/6", rest)
        self.assertFalse([f for f in os.listdir(self.dir) if f.startswith("cancel_")])
        with self.assertRaises(ProcessLookupError):
            os.killpg(p.pid, 0)  # nothing of the session is left


if __name__ == "__main__":
    unittest.main()
