"""Run inside Blender with the add-on enabled: small scenes rendered by Cycles and by Tessra
(32 x 32, direct light only), printing the mean colour of the image's centre for each.

blender -b --factory-startup --addons tessra --python conversion_scenes.py -- OUT_FOLDER"""
import json
import math
import os
import sys

import bpy

out = sys.argv[sys.argv.index("--") + 1]
SIZE = 32


def clear():
    scene = bpy.context.scene
    for data in (bpy.data.objects, bpy.data.meshes, bpy.data.lights, bpy.data.cameras, bpy.data.materials):
        for item in list(data):
            data.remove(item)
    scene.render.resolution_x = scene.render.resolution_y = SIZE
    scene.render.resolution_percentage = 100
    scene.render.image_settings.file_format = "OPEN_EXR"
    scene.view_settings.view_transform = "Standard"
    scene.world = bpy.data.worlds.new("black")
    scene.world.color = (0, 0, 0)
    scene.tessra.aa_samples = 1
    scene.cycles.samples, scene.cycles.max_bounces, scene.cycles.use_denoising = 16, 0, False
    return scene


def material(name, shader, **inputs):
    """A material whose output takes one shader node, or a Mix Shader of two ("MIX", f, a, b)."""
    mat = bpy.data.materials.new(name)
    mat.use_nodes = True
    nodes = mat.node_tree.nodes
    nodes.remove(nodes["Principled BSDF"])

    def node(kind, values):
        n = nodes.new(kind)
        for key, value in values.items():
            n.inputs[key].default_value = value
        return n

    if shader == "MIX":
        mix = nodes.new("ShaderNodeMixShader")
        mix.inputs["Fac"].default_value = inputs["fac"]
        for socket, (kind, values) in zip(mix.inputs[1:], (inputs["a"], inputs["b"])):
            mat.node_tree.links.new(node(kind, values).outputs[0], socket)
        top = mix
    else:
        top = node(shader, inputs)
    mat.node_tree.links.new(top.outputs[0], nodes["Material Output"].inputs["Surface"])
    return mat


def plane(mat, size=20, location=(0, 0, 0), rotation=(0, 0, 0)):
    bpy.ops.mesh.primitive_plane_add(size=size, location=location, rotation=rotation)
    bpy.context.object.data.materials.append(mat)


def add(scene, kind, location, rotation=(0, 0, 0), **values):
    """A light of the given kind, or the camera, with its settings."""
    data = bpy.data.cameras.new("camera") if kind == "CAMERA" else bpy.data.lights.new(kind.lower(), kind)
    for key, value in values.items():
        setattr(data, key, value)
    obj = bpy.data.objects.new(kind.lower(), data)
    obj.location, obj.rotation_euler = location, rotation
    scene.collection.objects.link(obj)
    if kind == "CAMERA":
        scene.camera = obj


def centre(scene, engine, name, r=3):
    """Mean RGB of the central 2r x 2r pixels."""
    scene.render.engine = engine
    scene.render.filepath = os.path.join(out, f"{name}_{engine}")
    bpy.ops.render.render(write_still=True)
    image = bpy.data.images.load(scene.render.filepath + ".exr")
    p = image.pixels[:]
    bpy.data.images.remove(image)
    pixels = [4 * (y * SIZE + x) for y in range(SIZE // 2 - r, SIZE // 2 + r) for x in range(SIZE // 2 - r, SIZE // 2 + r)]
    return [sum(p[i + c] for i in pixels) / len(pixels) for c in range(3)]


WHITE = ("ShaderNodeBsdfDiffuse", {"Color": (0.8, 0.8, 0.8, 1)})
SUN = dict(energy=3, angle=0)
results = {}
# Irradiance on a white diffuse plane seen from above, under a point light 2 m up and a
# sun; a Mix Shader of two diffuse colours, which Cycles weights exactly.
for name, mat, kind, values in (
        ("point", WHITE, "POINT", dict(energy=100, shadow_soft_size=0)),
        ("sun", WHITE, "SUN", SUN),
        ("mix", ("MIX", dict(fac=0.3, a=("ShaderNodeBsdfDiffuse", {"Color": (0.9, 0.5, 0.1, 1)}),
                             b=("ShaderNodeBsdfDiffuse", {"Color": (0.1, 0.2, 0.8, 1)}))), "SUN", SUN)):
    scene = clear()  # before the material: it removes them all
    plane(material(name, mat[0], **mat[1]))
    add(scene, "CAMERA", (0, 0, 6), lens=36, sensor_width=36)
    add(scene, kind, (0, 0, 2), **values)
    results[name] = {e: centre(scene, e, name) for e in ("CYCLES", "TESSRA")}

# A 1 m area light 2 m over the plane, over the whole view (out to 56 degrees off its
# axis, where the emitter's cosine matters).
scene = clear()
plane(material("area", WHITE[0], **WHITE[1]))
add(scene, "CAMERA", (0, 0, 6), lens=36, sensor_width=36)
add(scene, "AREA", (0, 0, 2), energy=100, size=1)
results["area"] = {e: centre(scene, e, "area", SIZE // 2) for e in ("CYCLES", "TESSRA")}

# The world alone: a white plane beside a box, under a world colour and no light. The
# box hides part of the world from the plane's centre.
scene = clear()
scene.world.color = (0.5, 0.6, 0.8)
plane(material("world", WHITE[0], **WHITE[1]))
bpy.ops.mesh.primitive_cube_add(size=2, location=(1.3, 0, 1))
add(scene, "CAMERA", (0, 0, 6), lens=36, sensor_width=36)
results["world"] = {e: centre(scene, e, "world") for e in ("CYCLES", "TESSRA")}

# An environment texture (float pixels made here): smooth colours that tell where the
# camera looks, in u and v, and a bright patch 45 degrees up. Seen by a camera looking up
# and to one side, and lighting a white plane from above.
def environment(scene):
    w, h = 64, 32
    image = bpy.data.images.new("sky", w, h, float_buffer=True)
    pixels = []
    for j in range(h):  # Blender's rows start at the bottom
        for i in range(w):
            u, v = (i + 0.5) / w, (j + 0.5) / h
            sun = 20.0 if abs(i - 19) <= 1 and abs(j - 23) <= 1 else 0.0
            pixels += [0.2 + 0.6 * u + sun, 0.2 + 0.6 * v + sun, 0.3 + sun, 1.0]
    image.pixels[:] = pixels
    scene.world.use_nodes = True
    nodes = scene.world.node_tree.nodes
    tex = nodes.new("ShaderNodeTexEnvironment")
    tex.image = image
    scene.world.node_tree.links.new(tex.outputs["Color"], nodes["Background"].inputs["Color"])


scene = clear()
environment(scene)
plane(material("white", *WHITE[:1], **WHITE[1]), 1, (0, 0, -100))
add(scene, "CAMERA", (0, 0, 0), (math.pi / 2 + 0.3, 0, 0.7), lens=36, sensor_width=36)
results["environment_seen"] = {e: centre(scene, e, "environment_seen") for e in ("CYCLES", "TESSRA")}
scene = clear()
environment(scene)
plane(material("white", *WHITE[:1], **WHITE[1]))
add(scene, "CAMERA", (0, 0, 6), lens=36, sensor_width=36)
results["environment_light"] = {e: centre(scene, e, "environment_light") for e in ("CYCLES", "TESSRA")}

# An Emission-shader panel above the camera lights the white plane, with no light and a
# black world. (Its light hardly changes over the view's centre: Tessra's pixel centres lie
# half a pixel from Cycles'.)
scene = clear()
plane(material("white", *WHITE[:1], **WHITE[1]))
plane(material("panel", "ShaderNodeEmission", Color=(1, 0.8, 0.6, 1), Strength=5), 4, (0, 0, 7))
add(scene, "CAMERA", (0, 0, 6), lens=36, sensor_width=36)
results["emission"] = {e: centre(scene, e, "emission") for e in ("CYCLES", "TESSRA")}

# A glass pane (a Glass BSDF of water's index, which Tessra cannot follow) between the
# camera and a red wall, no shadows: through it the wall, red, not a lit white surface.
scene = clear()
scene.tessra.shadows = False
upright = (math.pi / 2, 0, 0)
plane(material("red", "ShaderNodeBsdfDiffuse", Color=(0.8, 0.05, 0.05, 1)), location=(0, 3, 0), rotation=upright)
plane(material("glass", "ShaderNodeBsdfGlass", Color=(1, 1, 1, 1), IOR=1.33), 1.5, (0, -1, 0), upright)
add(scene, "CAMERA", (0, -4, 0), upright, lens=36, sensor_width=36)
add(scene, "SUN", (0, -5, 0), upright, **SUN)
results["glass"] = {"TESSRA": centre(scene, "TESSRA", "glass")}
print("RESULTS " + json.dumps(results), flush=True)
