"""The render engine: converts the depsgraph, renders, and hands each finished tile to
Blender's render result. Esc (or Ctrl-C in background mode) reaches the library through
test_break, which the module polls between tiles and stages."""
import bpy

from . import sync

# Blender's passes that Tessra fills: the view layer's switch, the pass, its channels, and
# the module's pass.
PASSES = (("use_pass_z", "Depth", "Z", "VALUE", "depth"),
          ("use_pass_normal", "Normal", "XYZ", "VECTOR", "normal"),
          ("use_pass_diffuse_color", "DiffCol", "RGB", "COLOR", "albedo"))


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
        passes = [(name, len(channels), key) for switch, name, channels, _, key in PASSES
                  if getattr(depsgraph.view_layer, switch)]
        self.update_stats("", "Tessra: converting the scene")
        try:
            renderer, converter = sync.build(depsgraph, self.report)
        except (ValueError, TypeError) as e:
            self.report({"ERROR"}, f"Tessra: {e}")
            return
        total = ((width + 255) // 256) * ((height + 255) // 256)
        done = [0]
        background = bpy.app.background

        def on_tile(image, x, y, w, h):
            # Tessra counts rows from the top, Blender from the bottom.
            result = self.begin_result(x, height - y - h, w, h)
            # Blender 3.4's foreach_set on a pass wants one item per pixel: RGBA groups then.
            pixels = image.tile(x, y, w, h)
            result.layers[0].passes["Combined"].rect = list(zip(*[iter(pixels)] * 4))
            for name, n, key in passes:
                values = getattr(image, key).tile(x, y, w, h)
                if key == "depth":
                    values = sync.camera_depth(values, x, y, w, h, width, height, renderer.field_of_view)
                result.layers[0].passes[name].rect = list(zip(*[iter(values)] * n))
            self.end_result(result)
            done[0] += 1
            self.update_progress(done[0] / total)
            if background:
                print(f"Tessra: tile {done[0]}/{total}", flush=True)

        def on_status(text):
            self.update_stats("", f"Tessra: {text}")

        try:
            image = renderer.render(on_tile=on_tile, on_status=on_status, should_abort=self.test_break,
                                    passes=[key for _, _, key in passes])
        except Exception as e:  # a library message, or an error in the conversion above
            self.report({"ERROR"}, f"Tessra: {e}")
            return
        finally:
            converter.cleanup()
        if image is None:
            self.update_stats("", "Tessra: cancelled")
