"""The render engine: converts the depsgraph, renders, and hands each finished tile to
Blender's render result. Esc (or Ctrl-C in background mode) reaches the library through
test_break, which the module polls between tiles and stages."""
import bpy

from . import sync


class TessraRenderEngine(bpy.types.RenderEngine):
    bl_idname = "TESSRA"
    bl_label = "Tessra"
    bl_use_preview = False
    bl_use_postprocess = True

    def render(self, depsgraph):
        scene = depsgraph.scene
        width, height = sync.resolution(scene)
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
            self.end_result(result)
            done[0] += 1
            self.update_progress(done[0] / total)
            if background:
                print(f"Tessra: tile {done[0]}/{total}", flush=True)

        def on_status(text):
            self.update_stats("", f"Tessra: {text}")

        try:
            image = renderer.render(on_tile=on_tile, on_status=on_status, should_abort=self.test_break)
        except Exception as e:  # a library message, or an error in the conversion above
            self.report({"ERROR"}, f"Tessra: {e}")
            return
        finally:
            converter.cleanup()
        if image is None:
            self.update_stats("", "Tessra: cancelled")
