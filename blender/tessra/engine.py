"""The render engine: converts the depsgraph, renders, and hands each finished tile to
Blender's render result. Esc (or Ctrl-C in background mode) reaches the library through
test_break, which the module polls between tiles and stages."""
import struct

import bpy
import numpy

from . import sync

# Blender's passes that Tessra fills: the view layer's switch, the pass, its channels, and
# the module's pass.
PASSES = (("use_pass_z", "Depth", "Z", "VALUE", "depth"),
          ("use_pass_normal", "Normal", "XYZ", "VECTOR", "normal"),
          ("use_pass_diffuse_color", "DiffCol", "RGB", "COLOR", "albedo"))


def render_window(render, width, height):
    """The pixels of Blender's render result, rows from the top as Tessra counts them: the
    whole image, or the border as Blender rounds it (float products, truncated). Blender
    itself puts a border into the full frame unless "Crop to Render Region" is on."""
    if not render.use_border:
        return 0, 0, width, height

    def pixel(f, n):
        return min(n, max(0, int(struct.unpack("f", struct.pack("f", f * n))[0])))

    bottom, top = pixel(render.border_min_y, height), pixel(render.border_max_y, height)
    return pixel(render.border_min_x, width), height - top, pixel(render.border_max_x, width), height - bottom


class TessraRenderEngine(bpy.types.RenderEngine):
    bl_idname = "TESSRA"
    bl_label = "Tessra"
    bl_use_preview = False
    bl_use_postprocess = True

    def update_render_passes(self, scene=None, renderlayer=None):
        self.register_pass(scene, renderlayer, "Combined", 4, "RGBA", "COLOR")
        for switch, name, channels, kind, _ in PASSES:
            if getattr(renderlayer, switch):
                self.register_pass(scene, renderlayer, name, len(channels), channels, kind)

    def render(self, depsgraph):
        scene = depsgraph.scene
        width, height = sync.resolution(scene)
        x0, y0, x1, y1 = render_window(scene.render, width, height)
        if x1 <= x0 or y1 <= y0:
            self.report({"ERROR"}, "Tessra: the render region holds no pixel")
            return
        passes = [(name, len(channels), key) for switch, name, channels, _, key in PASSES
                  if getattr(depsgraph.view_layer, switch)]
        self.update_stats("", "Tessra: converting the scene")
        try:
            renderer, converter = sync.build(depsgraph, self.report)
        except (ValueError, TypeError) as e:
            self.report({"ERROR"}, f"Tessra: {e}")
            return
        t = sync.tessra.TILE_SIZE
        total = ((x1 - 1) // t - x0 // t + 1) * ((y1 - 1) // t - y0 // t + 1)
        done = [0]
        background = bpy.app.background

        def on_tile(image, x, y, w, h):
            # Tessra counts rows from the top, Blender from the bottom of its result, which
            # holds only the border when there is one.
            result = self.begin_result(x - x0, y1 - y - h, w, h)
            # Blender 3.4's foreach_set on a pass wants one item per pixel: rows of a
            # numpy array then.
            pixels = image.tile(x, y, w, h)
            result.layers[0].passes["Combined"].rect = numpy.frombuffer(pixels, numpy.float32).reshape(-1, 4)
            for name, n, key in passes:
                values = getattr(image, key).tile(x, y, w, h)
                if key == "depth":
                    values = sync.camera_depth(values, x, y, w, h, width, height, renderer.field_of_view,
                                               renderer.pixel_aspect)
                result.layers[0].passes[name].rect = numpy.frombuffer(values, numpy.float32).reshape(-1, n)
            self.end_result(result)
            done[0] += 1
            self.update_progress(done[0] / total)
            if background:
                print(f"Tessra: tile {done[0]}/{total}", flush=True)

        def on_status(text):
            self.update_stats("", f"Tessra: {text}")

        try:
            image = renderer.render(on_tile=on_tile, on_status=on_status, should_abort=self.test_break,
                                    passes=[key for _, _, key in passes],
                                    crop=(x0, y0, x1, y1) if scene.render.use_border else None)
        except Exception as e:  # a library message, or an error in the conversion above
            self.report({"ERROR"}, f"Tessra: {e}")
            return
        finally:
            converter.cleanup()
        if image is None:
            self.update_stats("", "Tessra: cancelled")
