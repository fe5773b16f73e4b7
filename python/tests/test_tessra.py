"""The Python module against tessra-render: one scene given as buffers and as an OBJ plus a
JSON scene file gives the same pixels; passes, callbacks, Ctrl-C and bad input."""
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


def quads(faces):
    """Positions, normals and uvs per face corner, two triangles per quad."""
    pos, nrm, uv, idx = [], [], [], []
    for n, corners in faces:
        idx += [len(pos) // 3 + i for i in (0, 1, 2, 0, 2, 3)]
        for c, t in zip(corners, [(0, 0), (1, 0), (1, 1), (0, 1)]):
            pos, nrm, uv = pos + list(c), nrm + list(n), uv + list(t)
    return pos, nrm, uv, idx


def box(x0, y0, z0, x1, y1, z1):
    return quads([((1, 0, 0), [(x1, y0, z0), (x1, y1, z0), (x1, y1, z1), (x1, y0, z1)]),
                  ((-1, 0, 0), [(x0, y0, z1), (x0, y1, z1), (x0, y1, z0), (x0, y0, z0)]),
                  ((0, 1, 0), [(x0, y1, z0), (x0, y1, z1), (x1, y1, z1), (x1, y1, z0)]),
                  ((0, -1, 0), [(x0, y0, z1), (x0, y0, z0), (x1, y0, z0), (x1, y0, z1)]),
                  ((0, 0, 1), [(x0, y0, z1), (x1, y0, z1), (x1, y1, z1), (x0, y1, z1)]),
                  ((0, 0, -1), [(x1, y0, z0), (x0, y0, z0), (x0, y1, z0), (x1, y1, z0)])])


# Exactly representable coordinates, so that the OBJ text parses to the same floats.
MESHES = {
    "floor": (quads([((0, 1, 0), [(-2, 0, 2), (2, 0, 2), (2, 0, -2), (-2, 0, -2)])]),
              dict(diffuse=(1, 1, 1), texture=CHECKER)),
    "wall": (quads([((0, 0, 1), [(-2, 0, -2), (2, 0, -2), (2, 2.5, -2), (-2, 2.5, -2)])]),
             dict(diffuse=(0.5, 0.625, 0.75))),
    "mirror": (box(-1.25, 0, -1, -0.25, 1.5, -0.5), dict(diffuse=(0.125,) * 3, reflection=(0.75,) * 3)),
    "glass": (box(0.25, 0, 0, 1, 0.75, 0.75), dict(diffuse=(0.0625,) * 3, refraction=(0.875,) * 3)),
}
LIGHTS = [
    ("point", dict(position=(0, 2.25, 1.5), color=(1, 0.9, 0.8), intensity=3, decay="inverse_square")),
    ("spot", dict(position=(1.5, 2, 1.5), direction=(-1, -1.25, -1), falloff=50, hotspot=30, intensity=2,
                  decay="inverse_square")),
    ("rect", dict(position=(0, 2.4, 0), direction=(0, -1, 0), width=0.5, height=0.25, intensity=2,
                  decay="inverse_square")),
]
# Indirect light refuses lights without decay and gives them one from the scene's centre.
NO_DECAY = [(kind, {k: v for k, v in kw.items() if k != "decay"}) for kind, kw in LIGHTS]
CAMERA = dict(position=(0.5, 1.5, 4), look_at=(0, 0.5, 0), up=(0, 1, 0), fov_degrees=55)
WIDTH, HEIGHT = 320, 272  # two tile columns and two rows, the last ones partial


def python_scene(width=WIDTH, height=HEIGHT, lights=LIGHTS):
    """The floor and the wall with per-vertex attributes in assorted buffer types; the mirror
    and the glass in one call with indexed normals, a material per triangle and a transform."""
    r = tessra.Renderer(width=width, height=height)
    for name in ("floor", "wall"):
        (pos, nrm, uv, idx), mat = MESHES[name]
        r.add_mesh(array.array("f", pos), bytes(array.array("I", idx)), normals=memoryview(array.array("d", nrm)),
                   uvs=array.array("f", uv), material=tessra.Material(**mat))
    offset = (0.5, 0.25, -0.75)
    pos, corner_normals, uvs, idx, mat_idx = [], [], [], [], []
    for k, name in enumerate(("mirror", "glass")):
        (p, n, uv, i), _ = MESHES[name]
        idx += [len(pos) // 3 + v for v in i]
        pos += [v - offset[j % 3] for j, v in enumerate(p)]
        uvs += uv
        mat_idx += [k] * (len(i) // 3)
        corner_normals += [tuple(n[3 * v:3 * v + 3]) for v in i]
    normals = sorted(set(corner_normals))
    normal_idx = [normals.index(n) for n in corner_normals]
    r.add_mesh(array.array("d", pos), array.array("i", idx), normals=array.array("f", sum(normals, ())),
               normal_indices=array.array("H", normal_idx), uvs=array.array("f", uvs), uv_indices=array.array("i", idx),
               material=[tessra.Material(**MESHES[n][1]) for n in ("mirror", "glass")],
               material_indices=array.array("B", mat_idx),
               transform=array.array("d", [1, 0, 0, offset[0], 0, 1, 0, offset[1], 0, 0, 1, offset[2], 0, 0, 0, 1]))
    for kind, kw in lights:
        getattr(r, f"add_{kind}_light")(**kw)
    r.set_camera(**CAMERA)
    return r


def tessra_render(args, width, height, lights):
    """The same scene as an OBJ model and a JSON scene file, rendered by tessra-render."""
    obj, mtl, count = ["mtllib scene.mtl"], [], 0
    for name, ((pos, nrm, uv, idx), _) in MESHES.items():
        mtl += [f"newmtl {name}", "Kd 0.5 0.5 0.5", "illum 1"]
        obj.append(f"usemtl {name}")
        obj += ["v %r %r %r\nvn %r %r %r" % tuple(map(float, pos[i:i + 3] + nrm[i:i + 3])) for i in range(0, len(pos), 3)]
        obj += ["vt %r %r" % tuple(map(float, uv[i:i + 2])) for i in range(0, len(uv), 2)]
        obj += ["f " + " ".join("{0}/{0}/{0}".format(count + j + 1) for j in idx[i:i + 3]) for i in range(0, len(idx), 3)]
        count += len(pos) // 3
    scene = {"models": [{"file": "scene.obj"}], "materials": {n: m for n, (_, m) in MESHES.items()},
             "lights": [dict(type=kind, **kw) for kind, kw in lights],
             "camera": dict(position=CAMERA["position"], look_at=CAMERA["look_at"], up=CAMERA["up"],
                            fov=CAMERA["fov_degrees"])}
    with tempfile.TemporaryDirectory() as folder:
        for name, text in (("scene.obj", "\n".join(obj)), ("scene.mtl", "\n".join(mtl)), ("scene.json", json.dumps(scene))):
            with open(os.path.join(folder, name), "w") as f:
                f.write(text + "\n")
        out = os.path.join(folder, "out.pfm")
        subprocess.run([RENDER, os.path.join(folder, "scene.json"), "-o", out, "--device", "cpu", "-q", "--width",
                        str(width), "--height", str(height)] + args, check=True)
        with open(out, "rb") as f:
            assert f.readline().strip() == b"PF"
            w, h = map(int, f.readline().split())
            scale = float(f.readline())
            data = array.array("f", f.read())
    if (scale < 0) != (sys.byteorder == "little"):
        data.byteswap()
    return w, h, [v for y in range(h) for v in data[(h - 1 - y) * w * 3:(h - y) * w * 3]]  # PFM: bottom row first


# An 8 x 4 sky of bright and dim texels written as a flat Radiance HDR file.
SKY = os.path.join(tempfile.mkdtemp(), "sky.hdr")
with open(SKY, "wb") as f:
    f.write(b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 4 +X 8\n")
    for texel in ((4.0, 2.0, 1.0) if (i + j) % 3 else (0.5, 0.5, 0.25) for j in range(4) for i in range(8)):
        e = math.frexp(max(texel))[1]
        f.write(bytes([int(c * 2.0 ** (8 - e)) for c in texel] + [e + 128]))


def rgb_of(image):
    return [v for i, v in enumerate(array.array("f", memoryview(image).tobytes())) if i % 4 != 3]


def tile_pixels(image, x, y, w, h):
    rows, stride = memoryview(image).cast("B"), image.width * 16
    return b"".join(rows[(y + j) * stride + x * 16:(y + j) * stride + (x + w) * 16].tobytes() for j in range(h))


class Module(unittest.TestCase):
    @unittest.skipUnless(RENDER, "tessra-render not given")
    def test_same_pixels_as_tessra_render(self):
        # The defaults antialias some pixels, as tessra-render's do; threshold 0 all of them.
        small = (96, 80)
        for settings, args, size, lights in (
                ({}, [], (WIDTH, HEIGHT), LIGHTS),
                (dict(aa_samples=2, aa_threshold=0), ["--aa", "2", "--aa-threshold", "0"], small, LIGHTS),
                (dict(aa_samples=1, path_samples=4, path_bounces=1), ["--aa", "1", "--path-trace", "4", "--bounces", "1"],
                 small, LIGHTS),
                (dict(aa_samples=1, environment=SKY), ["--aa", "1", "--environment", SKY], small, LIGHTS),
                (dict(indirect_illumination=True, use_photon_mapping=True, num_photons=20000),
                 ["--gi", "--photons", "20000"], small, NO_DECAY)):
            with self.subTest(args=args):
                r = python_scene(*size, lights)
                if "environment" in settings:
                    r.set_environment(settings.pop("environment"))
                for k, v in settings.items():
                    setattr(r, k, v)
                image = r.render()
                w, h, expected = tessra_render(args, *size, lights)
                got = rgb_of(image)
                self.assertGreater(sum(1 for v in got if v > 0), len(got) // 2, "the image is mostly black")
                self.assertEqual(array.array("f", got).tobytes(), array.array("f", expected).tobytes())
                if "aa_threshold" in settings:
                    self.assertEqual(r.supersampled_pixel_count, w * h)
        # A photon energy the user gives is kept while the rest is derived; the settings left
        # open were derived as suggest_photon_settings suggests.
        suggested = r.suggest_photon_settings()
        r.photon_energy = 4 * suggested["photon_energy"]
        self.assertGreater(sum(rgb_of(r.render())), sum(rgb_of(image)) * 1.01)
        for k, v in suggested.items():
            setattr(r, k, v)
        self.assertEqual(bytes(memoryview(r.render())), bytes(memoryview(image)))

    def test_flat_quad_passes_and_coverage(self):
        """A quad facing a camera 3 away: its passes at the centre, none at a corner (tessra-render's
        test checks every pixel against the camera's geometry, the add-on's test every pass's tiles
        against tessra-render's); alpha as coverage, the colour kept."""
        w, h, diffuse = 64, 48, (0.25, 0.5, 0.75)
        r = tessra.Renderer(width=w, height=h)
        r.add_mesh(array.array("f", [-1, -1, 0, 1, -1, 0, 1, 1, 0, -1, 1, 0]), array.array("I", [0, 1, 2, 0, 2, 3]),
                   material=tessra.Material(diffuse=diffuse))
        r.add_point_light(position=(0, 0, 3))
        r.set_camera((0, 0, 3), (0, 0, 0), fov_degrees=60)
        image = r.render(passes=["albedo", "normal", "depth"])
        views = [memoryview(p) for p in (image.albedo, image.normal, image.depth)]
        self.assertEqual([v.shape for v in views], [(h, w, 3), (h, w, 3), (h, w)])
        albedo, normal, depth = (v.cast("B").cast("f").tolist() for v in views)
        c = h // 2 * w + w // 2  # its ray runs straight down the axis
        self.assertEqual([round(a, 6) for a in albedo[3 * c:3 * c + 3]] + normal[3 * c:3 * c + 3], list(diffuse) + [0, 0, 1])
        self.assertAlmostEqual(depth[c], 3, delta=1e-4)
        self.assertEqual((albedo[:3] + normal[:3], depth[0]), ([0] * 6, math.inf))
        r.aa_threshold = 0  # the quad is too dim for the default to find its edges
        opaque = r.render()
        self.assertIsNone(opaque.depth)
        r.transparent = True
        covered = r.render()
        self.assertEqual(rgb_of(covered), rgb_of(opaque))
        alpha = array.array("f", memoryview(covered).tobytes())[3::4]
        self.assertEqual((alpha[c], alpha[0]), (1, 0))
        self.assertTrue(any(0 < a < 1 for a in alpha), "no fractional alpha at the edges")

    def test_tall_pixels_see_what_twice_as_many_square_rows_see(self):
        # Pixels of aspect 1/2 (twice as tall as wide) cast the rays of every other row of an
        # image with twice the rows, which keeps the same horizontal field of view.
        def rows(r):
            px = memoryview(r.render()).tobytes()
            return [px[j * r.width * 16:(j + 1) * r.width * 16] for j in range(r.height)]
        tall, square = python_scene(64, 32), python_scene(64, 64)
        tall.pixel_aspect = 0.5
        tall.aa_samples = square.aa_samples = 1
        self.assertEqual(rows(tall), rows(square)[::2])
        with self.assertRaises(ValueError):
            tall.pixel_aspect = 0

    def test_callbacks(self):
        copies, statuses = [], []
        final = python_scene().render(on_tile=lambda image, *rect: copies.append((rect, tile_pixels(image, *rect))),
                                      on_status=statuses.append)
        covered = sorted((i, j) for (x, y, w, h), _ in copies for i in range(x, x + w) for j in range(y, y + h))
        self.assertEqual(covered, [(i, j) for i in range(WIDTH) for j in range(HEIGHT)], "pixels not covered once")
        for rect, pixels in copies:
            self.assertEqual(pixels, tile_pixels(final, *rect), f"tile {rect} changed after its callback")
        self.assertTrue(statuses)

        class Stop(Exception):
            pass

        def stop(*args):
            copies.append((r.triangle_count, r.bounds()))
            raise Stop()

        r, copies = python_scene(), []
        with self.assertRaises(Stop):
            r.render(on_tile=stop)
        self.assertEqual(copies, [(r.triangle_count, r.bounds())], "the scene seen from a callback")
        with self.assertRaisesRegex(RuntimeError, "rendering"):
            r.render(on_tile=lambda *a: r.add_point_light(position=(0, 1, 0)))
        self.assertIsNone(r.render(should_abort=lambda: True))
        # Stopped three ways, the renderer renders what a fresh one renders.
        self.assertEqual(bytes(memoryview(r.render())), bytes(memoryview(final)))
        r.add_mesh(array.array("f", [0, 0, 0, 1, 0, 0, 0, 1, 0]), array.array("i", [0, 1, 2]),
                   material=tessra.Material(texture="/nonexistent/texture.png"))
        with self.assertRaisesRegex(tessra.Error, "/nonexistent/texture.png"):
            r.render()

    def test_ctrl_c_gives_keyboard_interrupt_and_the_tiles_so_far(self):
        tiles = []

        def on_tile(image, x, y, w, h):
            tiles.append((x, y))
            signal.raise_signal(signal.SIGINT)  # Ctrl-C, with one tile done

        handler = signal.signal(signal.SIGINT, signal.default_int_handler)  # ctest may start us with it ignored
        tessra.set_thread_count(1)
        r = python_scene(1024, 512)
        try:
            with self.assertRaises(KeyboardInterrupt) as caught:
                r.render(on_tile=on_tile)
        finally:
            tessra.set_thread_count(0)
            signal.signal(signal.SIGINT, handler)
        img, (x, y) = memoryview(caught.exception.image).cast("B").cast("f"), tiles[0]
        self.assertEqual(len(tiles), 1)
        self.assertGreater(sum(img[((y + 10) * 1024 + x + i) * 4] for i in range(256)), 0, "the first tile is lost")
        self.assertEqual(sum(img[(500 * 1024 + 768 + i) * 4] for i in range(256)), 0, "the last tile was rendered")
        self.assertIs(r.last_image, caught.exception.image)

    def test_bad_arguments_raise_value_error(self):
        r = tessra.Renderer(width=64, height=64)
        tri, one = array.array("f", [0, 0, 0, 1, 0, 0, 0, 1, 0]), array.array("I", [0, 1, 2])
        for call, text in [
                (lambda: r.add_mesh(array.array("f", [0] * 7), one), "multiple of 3"),
                (lambda: r.add_mesh(tri, array.array("I", [0, 1, 3])), "outside the 3 vertices"),
                (lambda: r.add_mesh(tri, array.array("i", [0, -1, 2])), "is -1, outside"),
                (lambda: r.add_mesh(tri, array.array("q", [0, 1, 2, 2**40, 0, 1])), "is 1099511627776, outside"),
                (lambda: r.add_mesh(array.array("d", [0, 1e300, 0, 1, 0, 0, 0, 1, 0]), one), "not a finite"),
                (lambda: r.add_mesh(array.array("f", [0, math.nan, 0, 1, 0, 0, 0, 1, 0]), one), "not a finite"),
                (lambda: r.add_mesh(tri, one, normals=array.array("f", [0, 0, 1])), "1 values for 3"),
                (lambda: r.add_mesh(tri, array.array("f", [0, 1, 2])), "expected integers"),
                (lambda: r.add_mesh(b"\0" * 6, one), "whole number"),
                (lambda: r.add_point_light(position=(0, math.inf, 0)), "finite"),
                (lambda: r.add_spot_light(position=(0, 1, 0), direction=(0, 0, 0), falloff=40), "must not be zero"),
                (lambda: r.add_spot_light(position=(0, 1, 0), direction=(0, -1, 0), falloff=40, hotspot=50), "hotspot"),
                (lambda: r.add_point_light(position=(0, 1, 0), radius=2), "has none"),
                (lambda: r.add_sphere_light(position=(0, 1, 0)), "required"),
                (lambda: r.set_camera((0, 0, 0), (0, 0, 0)), "own position"),
                (lambda: setattr(r, "path_samples", 65537), "pathSamples"),
                (lambda: r.render(passes=["z"]), "passes"),
                (lambda: tessra.Material(diffuse=(1, 2)), "three numbers"),
                (lambda: r.set_environment(array.array("f", [1] * 5), 1, 1), "width x height"),
                (lambda: r.set_environment("/no/such/sky.hdr"), "cannot open")]:
            with self.subTest(text=text), self.assertRaisesRegex(ValueError, text):
                call()
        with self.assertRaises(TypeError):
            r.add_mesh([0.0] * 9, one)
        self.assertEqual(r.triangle_count, 0)
        with self.assertRaisesRegex(ValueError, "no triangles"):
            r.render()
        for name in tessra._setting_names():  # every library setting is a property
            snake = re.sub(r"(?<=[a-z])(?=[A-Z])", "_", name).lower()
            setattr(r, snake, getattr(r, snake))


if __name__ == "__main__":
    unittest.main()
