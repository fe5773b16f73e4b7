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
WHITE = ("ShaderNodeBsdfDiffuse", {"Color": (0.8, 0.8, 0.8, 1)})
SUN = dict(energy=3, angle=0)
UPRIGHT = (math.pi / 2, 0, 0)
results = {}


def material(name, shader, inputs):
    """A material whose output takes one shader node, or a Mix Shader ("MIX", (fac, a, b))."""
    mat = bpy.data.materials.new(name)
    mat.use_nodes = True
    nodes = mat.node_tree.nodes
    nodes.remove(nodes["Principled BSDF"])

    def node(kind, values):
        n = nodes.new(kind)
        for key, value in values.items():
            n.inputs[key].default_value = value
        return n

    top = node("ShaderNodeMixShader", {"Fac": inputs[0]}) if shader == "MIX" else node(shader, inputs)
    for socket, (kind, values) in zip(top.inputs[1:], inputs[1:] if shader == "MIX" else ()):
        mat.node_tree.links.new(node(kind, values).outputs[0], socket)
    mat.node_tree.links.new(top.outputs[0], nodes["Material Output"].inputs["Surface"])
    return mat


def plane(name="white", shader=WHITE, size=20, location=(0, 0, 0), rotation=(0, 0, 0)):
    bpy.ops.mesh.primitive_plane_add(size=size, location=location, rotation=rotation)
    bpy.context.object.data.materials.append(material(name, *shader))


def add(kind, location, rotation=(0, 0, 0), **values):
    """A light of the given kind, or the camera, with its settings."""
    scene = bpy.context.scene
    data = bpy.data.cameras.new("camera") if kind == "CAMERA" else bpy.data.lights.new(kind.lower(), kind)
    for key, value in values.items():
        setattr(data, key, value)
    obj = bpy.data.objects.new(kind.lower(), data)
    obj.location, obj.rotation_euler = location, rotation
    scene.collection.objects.link(obj)
    if kind == "CAMERA":
        scene.camera = obj


def centre(scene, engine, name, r):
    """Mean RGB of the central 2r x 2r pixels."""
    scene.render.engine = engine
    scene.render.filepath = os.path.join(out, f"{name}_{engine}")
    bpy.ops.render.render(write_still=True)
    image = bpy.data.images.load(scene.render.filepath + ".exr")
    p = image.pixels[:]
    bpy.data.images.remove(image)
    pixels = [4 * (y * SIZE + x) for y in range(SIZE // 2 - r, SIZE // 2 + r) for x in range(SIZE // 2 - r, SIZE // 2 + r)]
    return [sum(p[i + c] for i in pixels) / len(pixels) for c in range(3)]


def case(name, r=3, engines=("CYCLES", "TESSRA")):
    """Renders the scene the function builds, in an empty scene with a camera 6 m over the origin."""
    def run(build):
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
        add("CAMERA", (0, 0, 6), lens=36, sensor_width=36)
        build(scene)
        results[name] = {e: centre(scene, e, name, r) for e in engines}
    return run


# Irradiance on a white diffuse plane under a point light 2 m up and a sun; a Mix Shader of
# two diffuse colours, which Cycles weights exactly.
case("point")(lambda scene: (plane(), add("POINT", (0, 0, 2), energy=100, shadow_soft_size=0)))
case("sun")(lambda scene: (plane(), add("SUN", (0, 0, 2), **SUN)))
case("mix")(lambda scene: (plane("mix", ("MIX", (0.3, ("ShaderNodeBsdfDiffuse", {"Color": (0.9, 0.5, 0.1, 1)}),
                                                  ("ShaderNodeBsdfDiffuse", {"Color": (0.1, 0.2, 0.8, 1)})))),
                           add("SUN", (0, 0, 2), **SUN)))
# A 1 m area light 2 m over the plane, over the whole view (out to 56 degrees off its
# axis, where the emitter's cosine matters).
case("area", SIZE // 2)(lambda scene: (plane(), add("AREA", (0, 0, 2), energy=100, size=1)))
# A point light of radius 1 m: Cycles lights from a disc of that radius facing the point.
case("sphere", SIZE // 2)(lambda scene: (plane(), add("POINT", (0, 0, 2), energy=100, shadow_soft_size=1)))


@case("no_nodes")
def _(scene):
    # A material without nodes (old files' kind): Cycles shades it as plain diffuse of its
    # viewport colour, whatever its metallic; the sun behind the camera would show a highlight.
    plane()
    old = bpy.data.materials.new("old")
    old.diffuse_color, old.metallic = (0.5, 0.6, 0.7, 1), 0.5
    bpy.context.object.data.materials[0] = old
    add("SUN", (0, 0, 2), **SUN)


@case("world")
def _(scene):
    # The world alone; the box hides part of it from the plane's centre.
    scene.world.color = (0.5, 0.6, 0.8)
    plane()
    bpy.ops.mesh.primitive_cube_add(size=2, location=(1.3, 0, 1))


def environment(scene):
    """Float pixels made here: smooth colours that tell where the camera looks, in u and v,
    and a bright patch 45 degrees up."""
    w, h = 64, 32
    image = bpy.data.images.new("sky", w, h, float_buffer=True)
    pixels = []
    for j in range(h):  # Blender's rows start at the bottom
        for i in range(w):
            sun = 20.0 if abs(i - 19) <= 1 and abs(j - 23) <= 1 else 0.0
            pixels += [0.2 + 0.6 * (i + 0.5) / w + sun, 0.2 + 0.6 * (j + 0.5) / h + sun, 0.3 + sun, 1.0]
    image.pixels[:] = pixels
    scene.world.use_nodes = True
    tex = scene.world.node_tree.nodes.new("ShaderNodeTexEnvironment")
    tex.image = image
    scene.world.node_tree.links.new(tex.outputs["Color"], scene.world.node_tree.nodes["Background"].inputs["Color"])


# The environment seen by a camera looking up and to one side, and lighting the plane.
case("environment_seen")(lambda scene: (environment(scene), plane(size=1, location=(0, 0, -100)),
                                        add("CAMERA", (0, 0, 0), (math.pi / 2 + 0.3, 0, 0.7), lens=36, sensor_width=36)))
case("environment_light")(lambda scene: (environment(scene), plane()))
# An Emission-shader panel above the camera lights the plane, with no light. (Its light
# hardly changes over the view's centre: Tessra's pixel centres lie half a pixel from Cycles'.)
case("emission")(lambda scene: (plane(), plane("panel", ("ShaderNodeEmission", {"Color": (1, 0.8, 0.6, 1),
                                                                                 "Strength": 5}), 4, (0, 0, 7))))


@case("glass", engines=("TESSRA",))
def _(scene):
    # A Glass BSDF pane of water's index, which Tessra cannot follow, between the camera and
    # a red wall, no shadows: through it the wall, red, not a lit white surface.
    scene.tessra.shadows = False
    plane("red", ("ShaderNodeBsdfDiffuse", {"Color": (0.8, 0.05, 0.05, 1)}), location=(0, 3, 0), rotation=UPRIGHT)
    plane("glass", ("ShaderNodeBsdfGlass", {"Color": (1, 1, 1, 1), "IOR": 1.33}), 1.5, (0, -1, 0), UPRIGHT)
    add("CAMERA", (0, -4, 0), UPRIGHT, lens=36, sensor_width=36)
    add("SUN", (0, -5, 0), UPRIGHT, **SUN)


def triangulation():
    """Whether the add-on splits faces as Blender's loop triangles do: a UV sphere (quads
    and pole triangles) with one quad pulled out of its plane, and a face of six corners."""
    import importlib
    sync = importlib.import_module("tessra.sync")
    bpy.ops.wm.read_factory_settings(use_empty=True)
    bpy.ops.mesh.primitive_uv_sphere_add(segments=12, ring_count=7)
    sphere = bpy.context.object.data
    sphere.vertices[sphere.polygons[20].vertices[2]].co.z += 0.3
    bpy.ops.mesh.primitive_circle_add(vertices=6, fill_type="NGON")
    same = []
    for mesh in (sphere, bpy.context.object.data):
        mesh.calc_loop_triangles()
        n, faces = len(mesh.loop_triangles), len(mesh.polygons)
        corners, face = sync._triangles(mesh, sync._get(mesh.polygons, "loop_total", "i4", faces),
                                        sync._get(mesh.polygons, "loop_start", "i4", faces))
        same.append(list(corners) == [c for t in mesh.loop_triangles for c in t.loops] and
                    list(face) == [t.polygon_index for t in mesh.loop_triangles] and n > 0)
    return same


results["triangulation"] = triangulation()
print("RESULTS " + json.dumps(results), flush=True)
