"""Tessra as a Blender render engine. The compiled module and libtessra.so travel inside
this package (build/tessra-blender.zip); a source checkout falls back to a tessra module on
the Python path."""

bl_info = {
    "name": "Tessra",
    "description": "Tiled renderer with photon mapping, on CUDA or the CPU",
    "author": "Tessra developers",
    "version": (0, 1, 0),
    "blender": (3, 4, 0),
    "location": "Render Properties > Render Engine > Tessra",
    "category": "Render",
}

if "bpy" in locals():
    import importlib

    for name in ("properties", "sync", "engine", "ui"):
        if name in locals():
            importlib.reload(locals()[name])

import bpy

from . import engine, properties, ui

classes = properties.classes + (engine.TessraRenderEngine,) + ui.classes


def register():
    for c in classes:
        bpy.utils.register_class(c)
    properties.register()
    ui.register()


def unregister():
    ui.unregister()
    properties.unregister()
    for c in reversed(classes):
        bpy.utils.unregister_class(c)
