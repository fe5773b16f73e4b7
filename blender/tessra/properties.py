"""Tessra's settings, kept on the scene as scene.tessra."""
import bpy
from bpy.props import BoolProperty, EnumProperty, FloatProperty, IntProperty, PointerProperty


class TessraRenderSettings(bpy.types.PropertyGroup):
    device: EnumProperty(name="Device", default="AUTO", items=(
        ("AUTO", "Auto", "CUDA when a GPU answers, else the CPU"),
        ("CPU", "CPU", "The multithreaded CPU emulation of the device"),
        ("CUDA", "CUDA", "An NVIDIA GPU")))
    threads: IntProperty(name="Threads", default=0, min=0, max=1024,
                         description="Worker threads of the CPU device (0: every core)")
    shadows: BoolProperty(name="Shadows", default=True, description="Cast shadow rays")
    # tessra-render's defaults: antialiased without asking.
    aa_samples: IntProperty(name="Samples", default=3, min=1, max=16,
                            description="At most samples x samples rays in a pixel (1: one ray per pixel)")
    aa_threshold: FloatProperty(name="Threshold", default=0.1, min=0, soft_max=1,
                                description="Colour difference to a neighbour (|dr| + |dg| + |db|) above which a "
                                            "pixel takes more rays; 0: every pixel does")
    # tessra-render's --path-trace and --bounces; the bounces default to the photon map's.
    path_tracing: BoolProperty(name="Path Tracing", default=False,
                               description="Unbiased path tracing instead of the direct, photon and reflection "
                                           "stages; needs no global illumination")
    path_samples: IntProperty(name="Samples", default=16, min=1, max=65536, soft_max=1024,
                              description="Paths per camera ray (each antialiasing ray takes as many)")
    path_bounces: IntProperty(name="Bounces", default=2, min=0, max=64,
                              description="Diffuse bounces of each path after the first hit (0: direct light)")
    gi: BoolProperty(name="Global Illumination", default=False, description="Indirect light from a photon map")
    photons: IntProperty(name="Photons", default=100000, min=1, max=100000000)
    bounces: IntProperty(name="Bounces", default=3, min=1, max=64)
    photon_auto: BoolProperty(name="Derive from Scene", default=True,
                              description="Photon radius and energy from the scene's size and lights, as "
                                          "tessra-render derives them")
    photon_radius: FloatProperty(name="Photon Radius", default=0.1, min=1e-6, soft_max=10, subtype="DISTANCE",
                                 description="Photon search distance")
    photon_energy: FloatProperty(name="Photon Energy", default=1.0, min=1e-6, soft_max=100)
    caustics_reflective: BoolProperty(name="Reflective Caustics", default=True,
                                      description="Photons go on through mirror and glossy surfaces, which focus "
                                                  "light on what they face (as Cycles' Light Paths > Caustics)")
    caustics_refractive: BoolProperty(name="Refractive Caustics", default=True,
                                      description="Photons go on through glass, which focuses light behind it")
    final_gather: BoolProperty(name="Final Gather", default=False,
                               description="Interpolate indirect light from final-gather records")
    fg_samples: IntProperty(name="Samples", default=64, min=1, max=4096, description="Samples per final-gather record")
    fg_density: FloatProperty(name="Density", default=1.0, min=1e-6, soft_max=10,
                              description="Density of the final-gather records")


classes = (TessraRenderSettings,)


def register():
    bpy.types.Scene.tessra = PointerProperty(type=TessraRenderSettings)


def unregister():
    del bpy.types.Scene.tessra
