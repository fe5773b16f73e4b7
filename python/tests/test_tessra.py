"""The Python module against tessra-render: the same scene given as buffers and as an OBJ
plus JSON scene file must give the same pixels, antialiased, path traced and with derived
photon settings; paths without bounces against the direct light; output passes against a
flat quad worked out here; callbacks, Ctrl-C and bad input."""
import array
import json
import math
import os
import re
import signal
import subprocess
import sys
import tempfile
import unittest

try:
    import tessra
except ImportError as e:  # pragma: no cover - the build leaves no module without pybind11
    print(f"SKIPPED: the tessra module cannot be imported ({e})")
    sys.exit(77)

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = os.path.join(HERE, "..", "..", "examples", "checker.png")
RENDER = os.environ.get("TESSRA_RENDER")

tessra.select_backend("cpu")


def box(x0, y0, z0, x1, y1, z1):
    """An axis-aligned box with outward faces: positions, normals and uvs per face corner."""
    faces = [((1, 0, 0), [(x1, y0, z0), (x1, y1, z0), (x1, y1, z1), (x1, y0, z1)]),
             ((-1, 0, 0), [(x0, y0, z1), (x0, y1, z1), (x0, y1, z0), (x0, y0, z0)]),
             ((0, 1, 0), [(x0, y1, z0), (x0, y1, z1), (x1, y1, z1), (x1, y1, z0)]),
             ((0, -1, 0), [(x0, y0, z1), (x0, y0, z0), (x1, y0, z0), (x1, y0, z1)]),
             ((0, 0, 1), [(x0, y0, z1), (x1, y0, z1), (x1, y1, z1), (x0, y1, z1)]),
             ((0, 0, -1), [(x1, y0, z0), (x0, y0, z0), (x0, y1, z0), (x1, y1, z0)])]
    return quads(faces)


def quads(faces):
    pos, nrm, uv, idx = [], [], [], []
    for n, corners in faces:
        base = len(pos) // 3
        for c, t in zip(corners, [(0, 0), (1, 0), (1, 1), (0, 1)]):
            pos += c
            nrm += n
            uv += t
        idx += [base, base + 1, base + 2, base, base + 2, base + 3]
    return pos, nrm, uv, idx


# Exactly representable coordinates, so that the OBJ text parses to the same floats.
MESHES = {
    "floor": (quads([((0, 1, 0), [(-2, 0, 2), (2, 0, 2), (2, 0, -2), (-2, 0, -2)])]),
              dict(diffuse=(1, 1, 1), texture=CHECKER)),
    "wall": (quads([((0, 0, 1), [(-2, 0, -2), (2, 0, -2), (2, 2.5, -2), (-2, 2.5, -2)])]),
             dict(diffuse=(0.5, 0.625, 0.75))),
    "mirror": (box(-1.25, 0, -1, -0.25, 1.5, -0.5), dict(diffuse=(0.125, 0.125, 0.125), reflection=(0.75, 0.75, 0.75))),
    "glass": (box(0.25, 0, 0, 1, 0.75, 0.75), dict(diffuse=(0.0625, 0.0625, 0.0625), refraction=(0.875, 0.875, 0.875))),
}
LIGHTS = [
    ("point", dict(position=(0, 2.25, 1.5), color=(1, 0.9, 0.8), intensity=3, decay="inverse_square")),
    ("spot", dict(position=(1.5, 2, 1.5), direction=(-1, -1.25, -1), falloff=50, hotspot=30, intensity=2,
                  decay="inverse_square")),
    ("rect", dict(position=(0, 2.4, 0), direction=(0, -1, 0), width=0.5, height=0.25, intensity=2,
                  decay="inverse_square")),
]
CAMERA = dict(position=(0.5, 1.5, 4), look_at=(0, 0.5, 0), up=(0, 1, 0), fov_degrees=55)
WIDTH, HEIGHT = 320, 272  # two tile columns and two rows, the last ones partial


def python_scene(width=WIDTH, height=HEIGHT, lights=LIGHTS):
    """The floor and the wall with per-vertex attributes; the mirror and the glass in one call
    with per-corner normals, a material per triangle and a transform."""
    r = tessra.Renderer(width=width, height=height)
    for name in ("floor", "wall"):
        (pos, nrm, uv, idx), mat = MESHES[name]
        r.add_mesh(array.array("f", pos), bytes(array.array("I", idx)), normals=memoryview(array.array("d", nrm)),
                   uvs=array.array("f", uv), material=tessra.Material(**mat))
    offset = (0.5, 0.25, -0.75)
    pos, normals, normal_idx, uvs, idx, mat_idx = [], [], [], [], [], []
    for k, name in enumerate(("mirror", "glass")):
        (p, n, uv, i), _ = MESHES[name]
        base = len(pos) // 3
        pos += [v - offset[j % 3] for j, v in enumerate(p)]
        uvs += uv
        idx += [base + v for v in i]
        mat_idx += [k] * (len(i) // 3)
        for v in i:
            normal = tuple(n[3 * v:3 * v + 3])
            if normal not in normals:
                normals.append(normal)
            normal_idx.append(normals.index(normal))
    transform = [1, 0, 0, offset[0], 0, 1, 0, offset[1], 0, 0, 1, offset[2], 0, 0, 0, 1]
    r.add_mesh(array.array("d", pos), array.array("i", idx), normals=array.array("f", sum(normals, ())),
               normal_indices=array.array("H", normal_idx), uvs=array.array("f", uvs), uv_indices=array.array("i", idx),
               material=[tessra.Material(**MESHES[n][1]) for n in ("mirror", "glass")],
               material_indices=array.array("B", mat_idx), transform=array.array("d", transform))
    for kind, kw in lights:
        getattr(r, f"add_{kind}_light")(**kw)
    r.set_camera(**CAMERA)
    return r


def json_scene(folder, lights=LIGHTS):
    """The same scene as an OBJ model and a JSON scene file for tessra-render."""
    obj, mtl, count = ["mtllib scene.mtl"], [], [0]
    for name, ((pos, nrm, uv, idx), mat) in MESHES.items():
        mtl += [f"newmtl {name}", "Kd 0.5 0.5 0.5", "illum 1"]
        obj.append(f"usemtl {name}")
        for i in range(0, len(pos), 3):
            obj.append("v %r %r %r" % tuple(float(v) for v in pos[i:i + 3]))
            obj.append("vn %r %r %r" % tuple(float(v) for v in nrm[i:i + 3]))
        for i in range(0, len(uv), 2):
            obj.append("vt %r %r" % tuple(float(v) for v in uv[i:i + 2]))
        for i in range(0, len(idx), 3):
            obj.append("f " + " ".join("{0}/{0}/{0}".format(count[0] + j + 1) for j in idx[i:i + 3]))
        count[0] += len(pos) // 3
    with open(os.path.join(folder, "scene.obj"), "w") as f:
        f.write("\n".join(obj) + "\n")
    with open(os.path.join(folder, "scene.mtl"), "w") as f:
        f.write("\n".join(mtl) + "\n")
    keys = {"diffuse": "diffuse", "texture": "texture", "reflection": "reflection", "refraction": "refraction"}
    scene = {
        "models": [{"file": "scene.obj"}],
        "materials": {n: {keys[k]: v for k, v in m.items()} for n, (_, m) in MESHES.items()},
        "lights": [dict(type=kind, **kw) for kind, kw in lights],
        "camera": {"position": CAMERA["position"], "look_at": CAMERA["look_at"], "up": CAMERA["up"],
                   "fov": CAMERA["fov_degrees"]},
        "settings": {"width": WIDTH, "height": HEIGHT},
    }
    path = os.path.join(folder, "scene.json")
    with open(path, "w") as f:
        json.dump(scene, f)
    return path


def read_pfm(path):
    with open(path, "rb") as f:
        assert f.readline().strip() == b"PF"
        w, h = map(int, f.readline().split())
        scale = float(f.readline())
        data = array.array("f", f.read())
    if (scale < 0) != (sys.byteorder == "little"):
        data.byteswap()
    rows = [data[(h - 1 - y) * w * 3:(h - y) * w * 3] for y in range(h)]  # PFM stores the bottom row first
    return w, h, [v for row in rows for v in row]


def tile_pixels(image, x, y, w, h):
    rows = memoryview(image).cast("B")
    stride = image.width * 16
    return b"".join(rows[(y + j) * stride + x * 16:(y + j) * stride + (x + w) * 16].tobytes() for j in range(h))


def rgb_of(image):
    rgba = array.array("f", memoryview(image).tobytes())
    return [v for i, v in enumerate(rgba) if i % 4 != 3]


def tessra_render(args, width=WIDTH, height=HEIGHT, lights=LIGHTS):
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "out.pfm")
        subprocess.run([RENDER, json_scene(folder, lights), "-o", out, "--device", "cpu", "-q", "--width", str(width),
                        "--height", str(height)] + args, check=True)
        return read_pfm(out)


@unittest.skipUnless(RENDER, "tessra-render not given")
class SameSceneAsTessraRender(unittest.TestCase):
    def assertSamePixels(self, image, reference):
        w, h, expected = reference
        self.assertEqual((w, h), (image.width, image.height))
        got = rgb_of(image)
        self.assertGreater(sum(1 for v in got if v > 0), len(got) // 2, "the image is mostly black")
        self.assertEqual(array.array("f", got).tobytes(), array.array("f", expected).tobytes())

    def test_buffers_render_to_the_same_pixels(self):
        # The defaults antialias some pixels, as tessra-render's do; threshold 0 all of them.
        for settings, args, size in (({}, [], (WIDTH, HEIGHT)),
                                     (dict(aa_samples=2, aa_threshold=0), ["--aa", "2", "--aa-threshold", "0"], (96, 80))):
            with self.subTest(args=args):
                r = python_scene(*size)
                for k, v in settings.items():
                    setattr(r, k, v)
                image = r.render()
                self.assertSamePixels(image, tessra_render(args, *size))
                pixels = size[0] * size[1]
                self.assertTrue(0 < r.supersampled_pixel_count < pixels if not settings else
                                r.supersampled_pixel_count == pixels, r.supersampled_pixel_count)

    def test_photon_settings_left_open_are_derived_as_tessra_render_derives_them(self):
        # Lights without decay, which indirect light makes fade from the scene's centre.
        lights = [(kind, {k: v for k, v in kw.items() if k != "decay"}) for kind, kw in LIGHTS]
        r = python_scene(96, 80, lights)
        r.indirect_illumination = r.use_photon_mapping = True
        r.num_photons = 20000
        derived = r.render()
        self.assertSamePixels(derived, tessra_render(["--gi", "--photons", "20000"], 96, 80, lights))
        suggested = r.suggest_photon_settings()
        for k, v in suggested.items():
            setattr(r, k, v)
        self.assertEqual(bytes(memoryview(r.render())), bytes(memoryview(derived)))
        r.photon_energy = 4 * suggested["photon_energy"]  # a value the user gives is kept
        self.assertGreater(sum(rgb_of(r.render())), sum(rgb_of(derived)) * 1.01)


    def test_path_tracing_renders_the_same_pixels(self):
        r = python_scene(96, 80)
        r.aa_samples, r.path_samples = 1, 4
        self.assertSamePixels(r.render(), tessra_render(["--aa", "1", "--path-trace", "4"], 96, 80))


class PathTracing(unittest.TestCase):
    def test_paths_without_bounces_are_the_direct_light(self):
        # A diffuse floor and wall lit by a point and a rect light, one ray per pixel: with
        # no bounce a path tracer sees only direct light; bounces add the light the two
        # surfaces throw at each other.
        r = tessra.Renderer(width=64, height=48)
        for name in ("floor", "wall"):
            (pos, nrm, _, idx), mat = MESHES[name]
            r.add_mesh(array.array("f", pos), array.array("I", idx), normals=array.array("f", nrm),
                       material=tessra.Material(diffuse=mat.get("diffuse")))
        for kind, kw in LIGHTS:
            if kind != "spot":
                getattr(r, f"add_{kind}_light")(**kw)
        r.set_camera(**CAMERA)
        r.aa_samples = 1

        def mean():
            rgb = rgb_of(r.render())
            return sum(rgb) / len(rgb)

        direct = mean()
        self.assertGreater(direct, 0.05)
        r.path_samples, r.path_bounces = 8, 0
        no_bounce = mean()
        self.assertLess(abs(no_bounce - direct) / direct, 0.03, (no_bounce, direct))
        r.path_bounces = 2
        self.assertGreater(mean(), no_bounce * 1.02)


class OutputPasses(unittest.TestCase):
    def test_flat_quad(self):
        """A quad of half width 1 facing a camera 3 away: albedo and normal where the rays
        through pixels meet it, nothing elsewhere, and the distance along each ray."""
        w, h, fov, diffuse = 64, 48, 60, (0.25, 0.5, 0.75)
        r = tessra.Renderer(width=w, height=h)
        r.add_mesh(array.array("f", [-1, -1, 0, 1, -1, 0, 1, 1, 0, -1, 1, 0]), array.array("I", [0, 1, 2, 0, 2, 3]),
                   material=tessra.Material(diffuse=diffuse))
        r.add_point_light(position=(0, 0, 3))
        r.set_camera((0, 0, 3), (0, 0, 0), fov_degrees=fov)
        image = r.render(passes=["albedo", "normal", "depth"])
        self.assertIsNone(r.render().depth)
        views = [memoryview(p) for p in (image.albedo, image.normal, image.depth)]
        self.assertEqual([v.shape for v in views], [(h, w, 3), (h, w, 3), (h, w)])
        albedo, normal, depth = (v.cast("B").cast("f").tolist() for v in views)
        t = math.tan(math.radians(fov) / 2)
        checked = [0, 0]
        for y in range(h):
            for x in range(w):
                # The camera ray through pixel (x, y) has direction (u, v, -1) scaled by t.
                u, v = (2 * x / w - 1) * t, (2 * y / h - 1) * h / w * t
                qx, qy = 3 * u, 3 * v  # where it meets the plane z = 0
                inside = max(abs(qx), abs(qy))
                if 0.92 < inside < 1.08:
                    continue  # pixels at the edge mix both
                checked[inside < 1] += 1
                i = y * w + x
                if inside < 1:
                    self.assertEqual([round(a, 6) for a in albedo[3 * i:3 * i + 3]], list(diffuse))
                    self.assertEqual(normal[3 * i:3 * i + 3], [0, 0, 1])
                    self.assertAlmostEqual(depth[i], 3 * math.sqrt(1 + u * u + v * v), delta=1e-4)
                else:
                    self.assertEqual(albedo[3 * i:3 * i + 3] + normal[3 * i:3 * i + 3], [0] * 6)
                    self.assertEqual(depth[i], math.inf)
        self.assertGreater(min(checked), w * h // 4)
        # Tiles of a pass come bottom row first, as for the colour.
        tile = image.depth.tile(3, 5, 4, 2)
        self.assertEqual(tile.tolist(), depth[6 * w + 3:6 * w + 7] + depth[5 * w + 3:5 * w + 7])

    def test_transparent_alpha_is_coverage_and_leaves_the_colour(self):
        w, h, fov = 64, 48, 60
        r = tessra.Renderer(width=w, height=h)
        r.add_mesh(array.array("f", [-1, -1, 0, 1, -1, 0, 1, 1, 0, -1, 1, 0]), array.array("I", [0, 1, 2, 0, 2, 3]))
        r.add_point_light(position=(0, 0, 3))
        r.set_camera((0, 0, 3), (0, 0, 0), fov_degrees=fov)
        r.aa_threshold = 0  # the quad is too dim for the default to find its edges
        self.assertFalse(r.transparent)
        opaque = r.render()
        r.transparent = True
        image = r.render()
        self.assertEqual(rgb_of(image), rgb_of(opaque))
        alpha = array.array("f", memoryview(image).tobytes())[3::4]
        t = math.tan(math.radians(fov) / 2)
        fractional = 0
        for y in range(h):
            for x in range(w):
                u, v = (2 * x / w - 1) * t, (2 * y / h - 1) * h / w * t
                inside = max(abs(3 * u), abs(3 * v))
                a = alpha[y * w + x]
                if 0.92 < inside < 1.08:
                    fractional += 0 < a < 1
                else:
                    self.assertEqual(a, 1.0 if inside < 1 else 0.0, (x, y))
        self.assertGreater(fractional, 0)
        with self.assertRaises(TypeError):
            r.transparent = 1


class Callbacks(unittest.TestCase):
    def test_every_tile_once_and_complete_when_reported(self):
        seen, covered, copies, statuses = [], [0] * (WIDTH * HEIGHT), [], []

        def on_tile(image, x, y, w, h):
            seen.append((x, y))
            copies.append(((x, y, w, h), tile_pixels(image, x, y, w, h)))
            for j in range(h):
                for i in range(w):
                    covered[(y + j) * WIDTH + x + i] += 1

        final = python_scene().render(on_tile=on_tile, on_status=statuses.append)
        self.assertEqual(len(seen), len(set(seen)))
        self.assertEqual(set(covered), {1})
        for rect, pixels in copies:
            self.assertEqual(pixels, tile_pixels(final, *rect), f"tile {rect} changed after its callback")
        self.assertTrue(statuses)

    def test_exception_in_callback_aborts_and_propagates(self):
        class Stop(Exception):
            pass

        calls = []

        def on_tile(*args):
            calls.append(args)
            raise Stop("from on_tile")

        r = python_scene()
        with self.assertRaises(Stop):
            r.render(on_tile=on_tile)
        self.assertEqual(len(calls), 1)
        # The renderer is still usable and renders what a fresh one renders.
        again = bytes(memoryview(r.render()))
        self.assertEqual(again, bytes(memoryview(python_scene().render())))

    def test_scene_cannot_change_during_a_render(self):
        r = python_scene()
        with self.assertRaisesRegex(RuntimeError, "rendering"):
            r.render(on_tile=lambda *a: r.add_point_light(position=(0, 1, 0)))
        self.assertIsNotNone(r.render())

    def test_should_abort_returns_none(self):
        r = python_scene()
        self.assertIsNone(r.render(should_abort=lambda: True))

    def test_library_message_becomes_an_exception(self):
        r = python_scene()
        r.add_mesh(array.array("f", [0, 0, 0, 1, 0, 0, 0, 1, 0]), array.array("i", [0, 1, 2]),
                   material=tessra.Material(texture="/nonexistent/texture.png"))
        with self.assertRaisesRegex(tessra.Error, "/nonexistent/texture.png"):
            r.render()


CHILD = r"""
import signal, sys, time, tessra
sys.path.insert(0, sys.argv[1])
from test_tessra import python_scene
signal.signal(signal.SIGINT, signal.default_int_handler)  # a background process starts with SIGINT ignored
tessra.set_thread_count(1)
tiles = []
def on_tile(image, x, y, w, h):
    tiles.append((x, y))
    if len(tiles) == 1:
        print("first tile", file=sys.stderr, flush=True)
        for _ in range(2400):  # until the parent's SIGINT, at most two minutes
            time.sleep(0.05)
r = python_scene(1024, 512)
try:
    r.render(on_tile=on_tile)
    print("finished")
except KeyboardInterrupt as e:
    img = memoryview(e.image).cast("B").cast("f")
    x, y = tiles[0]
    first = sum(img[((y + 10) * 1024 + x + i) * 4] for i in range(256))
    last = sum(img[(500 * 1024 + 768 + i) * 4] for i in range(256))
    print("interrupted", len(tiles), first > 0, last == 0, r.last_image is e.image, file=sys.stderr)
"""


class CtrlC(unittest.TestCase):
    def test_sigint_gives_keyboard_interrupt_and_the_tiles_so_far(self):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE, os.environ.get("PYTHONPATH", "")]))
        # The library talks on standard output; the child answers on standard error.
        with subprocess.Popen([sys.executable, "-c", CHILD, HERE], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              text=True, env=env) as p:
            try:
                self.assertEqual(p.stderr.readline().strip(), "first tile")
                p.send_signal(signal.SIGINT)
                _, err = p.communicate(timeout=180)
            finally:
                p.kill()
        self.assertEqual(err.strip().splitlines()[-1], "interrupted 1 True True True")


class BadInput(unittest.TestCase):
    def test_bad_arguments_raise_value_error(self):
        r = tessra.Renderer(width=64, height=64)
        tri = array.array("f", [0, 0, 0, 1, 0, 0, 0, 1, 0])
        one = array.array("I", [0, 1, 2])
        cases = [
            (lambda: r.add_mesh(array.array("f", [0] * 7), one), "multiple of 3"),
            (lambda: r.add_mesh(tri, array.array("I", [0, 1, 3])), "outside the 3 vertices"),
            (lambda: r.add_mesh(tri, array.array("i", [0, -1, 2])), "outside"),
            (lambda: r.add_mesh(array.array("f", [0, math.nan, 0, 1, 0, 0, 0, 1, 0]), one), "not a finite"),
            (lambda: r.add_mesh(tri, one, normals=array.array("f", [0, 0, 1])), "1 values for 3"),
            (lambda: r.add_mesh(tri, one, uvs=array.array("f", [0] * 5)), "multiple of 2"),
            (lambda: r.add_mesh(tri, one, uvs=array.array("f", [0] * 2), uv_indices=array.array("i", [0, 0, 1])),
             "outside the 1 uvs"),
            (lambda: r.add_mesh(tri, one, material=[tessra.Material()], material_indices=array.array("i", [1])),
             "outside the 1 materials"),
            (lambda: r.add_mesh(tri, array.array("f", [0, 1, 2])), "expected integers"),
            (lambda: r.add_mesh(b"\0" * 6, one), "whole number"),
            (lambda: r.add_point_light(position=(0, math.inf, 0)), "finite"),
            (lambda: r.add_spot_light(position=(0, 1, 0), direction=(0, 0, 0), falloff=40), "must not be zero"),
            (lambda: r.add_spot_light(position=(0, 1, 0), direction=(0, -1, 0), falloff=40, hotspot=50), "hotspot"),
            (lambda: r.add_point_light(position=(0, 1, 0), radius=2), "has none"),
            (lambda: r.add_sphere_light(position=(0, 1, 0)), "required"),
            (lambda: r.set_camera((0, 0, 0), (0, 0, 0)), "own position"),
            (lambda: setattr(r, "width", 0), "width"),
            (lambda: setattr(r, "aa_samples", 17), "aa_samples"),
            (lambda: setattr(r, "aa_threshold", -1), "aa_threshold"),
            (lambda: setattr(r, "path_samples", 65537), "pathSamples"),
            (lambda: setattr(r, "path_bounces", 65), "pathBounces"),
            (lambda: r.render(passes=["z"]), "passes"),
            (lambda: tessra.Material(diffuse=(1, 2)), "three numbers"),
        ]
        for call, text in cases:
            with self.subTest(text=text):
                with self.assertRaisesRegex(ValueError, text):
                    call()
        with self.assertRaises(TypeError):
            r.add_mesh([0.0] * 9, one)
        self.assertEqual(r.triangle_count, 0)
        with self.assertRaisesRegex(ValueError, "no triangles"):
            r.render()

    def test_every_setting_is_a_property(self):
        r = tessra.Renderer()
        for name in tessra._setting_names():
            snake = re.sub(r"(?<=[a-z])(?=[A-Z])", "_", name).lower()
            value = getattr(r, snake)
            setattr(r, snake, value)
            self.assertEqual(getattr(r, snake), value)


if __name__ == "__main__":
    unittest.main()
