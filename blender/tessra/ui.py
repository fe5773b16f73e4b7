"""Panels of the render properties, shown only while Tessra is the engine."""
import bpy


class TessraButtonsPanel:
    bl_space_type = "PROPERTIES"
    bl_region_type = "WINDOW"
    bl_context = "render"
    COMPAT_ENGINES = {"TESSRA"}

    @classmethod
    def poll(cls, context):
        return context.engine in cls.COMPAT_ENGINES


class RENDER_PT_tessra_device(TessraButtonsPanel, bpy.types.Panel):
    bl_label = "Device"

    def draw(self, context):
        s = context.scene.tessra
        self.layout.use_property_split = True
        self.layout.prop(s, "device")
        row = self.layout.row()
        row.enabled = s.device != "CUDA"
        row.prop(s, "threads")


class RENDER_PT_tessra_light(TessraButtonsPanel, bpy.types.Panel):
    bl_label = "Light Paths"

    def draw(self, context):
        s = context.scene.tessra
        layout = self.layout
        layout.use_property_split = True
        layout.prop(s, "shadows")
        layout.prop(s, "path_tracing")
        col = layout.column()
        col.enabled = s.path_tracing
        col.prop(s, "path_samples")
        col.prop(s, "path_bounces")
        layout.prop(s, "gi")
        col = layout.column()
        col.enabled = s.gi
        col.prop(s, "photons")
        col.prop(s, "bounces")
        col.prop(s, "photon_auto")
        sub = col.column()
        sub.enabled = not s.photon_auto
        sub.prop(s, "photon_radius")
        sub.prop(s, "photon_energy")
        col.prop(s, "caustics_reflective")
        col.prop(s, "caustics_refractive")
        col.prop(s, "final_gather")
        sub = col.column()
        sub.enabled = s.final_gather
        sub.prop(s, "fg_samples")
        sub.prop(s, "fg_density")


class RENDER_PT_tessra_antialiasing(TessraButtonsPanel, bpy.types.Panel):
    bl_label = "Antialiasing"

    def draw(self, context):
        s = context.scene.tessra
        self.layout.use_property_split = True
        self.layout.prop(s, "aa_samples")
        row = self.layout.row()
        row.enabled = s.aa_samples > 1
        row.prop(s, "aa_threshold")


class RENDER_PT_tessra_film(TessraButtonsPanel, bpy.types.Panel):
    """Blender's own switch: with it the Combined pass's alpha is the library's coverage."""
    bl_label = "Film"
    bl_options = {"DEFAULT_CLOSED"}

    def draw(self, context):
        self.layout.use_property_split = True
        self.layout.prop(context.scene.render, "film_transparent", text="Transparent")


class VIEWLAYER_PT_tessra_passes(TessraButtonsPanel, bpy.types.Panel):
    """The passes Tessra writes besides the image (engine.PASSES)."""
    bl_label = "Passes"
    bl_context = "view_layer"

    def draw(self, context):
        layer = context.view_layer
        self.layout.use_property_split = True
        col = self.layout.column(heading="Include")
        col.prop(layer, "use_pass_z")
        col.prop(layer, "use_pass_normal")
        col.prop(layer, "use_pass_diffuse_color", text="Diffuse Color")


classes = (RENDER_PT_tessra_device, RENDER_PT_tessra_antialiasing, RENDER_PT_tessra_light,
           RENDER_PT_tessra_film, VIEWLAYER_PT_tessra_passes)

# Blender's own panels that apply to any engine: dimensions, output, colour management.
_shared = ("RENDER_PT_color_management", "RENDER_PT_format", "RENDER_PT_frame_range", "RENDER_PT_output",
           "DATA_PT_camera", "DATA_PT_lens", "DATA_PT_light", "DATA_PT_EEVEE_light", "DATA_PT_area")


def register():
    for name in _shared:
        panel = getattr(bpy.types, name, None)
        if panel is not None and hasattr(panel, "COMPAT_ENGINES"):
            panel.COMPAT_ENGINES.add("TESSRA")


def unregister():
    for name in _shared:
        panel = getattr(bpy.types, name, None)
        if panel is not None and hasattr(panel, "COMPAT_ENGINES"):
            panel.COMPAT_ENGINES.discard("TESSRA")
