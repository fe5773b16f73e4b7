"""The evaluated depsgraph as a Tessra scene.

Units, written once here:

* Lengths are Blender's scene units, unchanged; Blender's Z-up world stays Z-up (Tessra
  takes any up vector).
* Light colours are the light's colour; the power goes into the intensity. Tessra shades a
  diffuse surface as ``Kd * colour * intensity * cos / d^2`` with no 1/pi, while Cycles
  gives ``albedo / pi * E``. Matching the two:

  ==========================  ================================================
  Blender light               Tessra intensity (inverse-square decay from 1 m)
  ==========================  ================================================
  point, P watts              ``P / (4 pi^2)``; a radius > 0 gives a sphere light
  spot, P watts               ``P / (4 pi^2)`` (Blender spots do not concentrate
                              their power into the cone either)
  area, P watts               ``P / pi^2``; Tessra's rectangle has no emitter
                              cosine, so it matches Cycles straight under the
                              light and is brighter at grazing angles
  sun, S watts per m^2        ``S / pi``, no decay
  ==========================  ================================================

  Disk and ellipse area lights become rectangles of the same area. A spot's blend is the
  part of the cone that fades: hotspot = size x (1 - blend). A sun becomes a directional
  light three scene radii back along its beam, covering the scene's bounding sphere.
* Materials: the Principled BSDF's base colour (or the Image Texture linked into it),
  metallic, roughness and transmission go through ``tessra.Material.principled``, the
  mapping tessra-render uses for glTF. Tessra always refracts with index 1.6.
* The camera keeps Blender's sensor fit: the horizontal field of view follows from the
  lens, the sensor and the aspect ratio; shift and orthographic cameras are not supported.
* Passes: Diffuse Color is Tessra's albedo (the diffuse colour above, textured), Normal the
  world-space shading normal, Depth the distance along the camera's axis, as Cycles gives
  it (Tessra measures along the ray; ``camera_depth`` converts). Where nothing is hit,
  Depth is infinite and the others 0.
"""
import array
import math
import os
import tempfile

import bpy

try:
    from . import tessra
except ImportError:  # a source checkout: the module from the build folder on the path
    import tessra

MESH_TYPES = {"MESH", "CURVE", "SURFACE", "META", "FONT"}


def _flat(matrix):
    return array.array("f", [v for row in matrix for v in row])


def resolution(scene):
    r = scene.render
    return (max(1, r.resolution_x * r.resolution_percentage // 100),
            max(1, r.resolution_y * r.resolution_percentage // 100))


def horizontal_fov(camera_object, scene):
    """The horizontal field of view in degrees, after Blender's sensor fit."""
    cam = camera_object.data
    r = scene.render
    w, h = resolution(scene)
    aspect = (w * r.pixel_aspect_x) / (h * r.pixel_aspect_y)
    fit = cam.sensor_fit
    if fit == "AUTO":
        fit = "HORIZONTAL" if aspect >= 1 else "VERTICAL"
        sensor = cam.sensor_width
    else:
        sensor = cam.sensor_width if fit == "HORIZONTAL" else cam.sensor_height
    half = math.atan(0.5 * sensor / cam.lens)
    if fit == "VERTICAL":
        half = math.atan(math.tan(half) * aspect)
    return math.degrees(2 * half)


def camera_depth(distances, x, y, w, h, width, height, fov):
    """Distances along the camera rays of a tile (bottom row first, as Image.tile gives them)
    as depths along the camera's axis. Tessra's ray through pixel (px, py) has the direction
    (u, v, -1) with u = (2 px / width - 1) tan(fov / 2), v = (2 py / height - 1) tan(fov / 2)
    height / width."""
    t = math.tan(fov / 2)
    us = [((2 * px / width - 1) * t) ** 2 for px in range(x, x + w)]
    out = array.array("f", distances)
    i = 0
    for py in range(y + h - 1, y - 1, -1):
        vv = 1 + ((2 * py / height - 1) * t * height / width) ** 2
        for uu in us:
            out[i] /= math.sqrt(vv + uu)
            i += 1
    return out


class Converter:
    def __init__(self, depsgraph, renderer, report):
        self.depsgraph = depsgraph
        self.r = renderer
        self.report = report
        self.materials = {}
        self.temp_files = []

    # Materials -------------------------------------------------------------------------

    def _image_path(self, image):
        if image.packed_file or not image.filepath:
            fd, path = tempfile.mkstemp(suffix=".png", prefix="tessra-")
            os.close(fd)
            copy = image.copy()
            copy.filepath_raw = path
            copy.file_format = "PNG"
            copy.save()
            bpy.data.images.remove(copy)
            self.temp_files.append(path)
            return path
        return bpy.path.abspath(image.filepath, library=image.library)

    def material(self, mat):
        key = mat.name_full if mat else None
        if key in self.materials:
            return self.materials[key]
        base, metallic, roughness, transmission, texture = (0.8, 0.8, 0.8), 0.0, 0.5, 0.0, None
        if mat is not None:
            base = tuple(mat.diffuse_color[:3])
            metallic, roughness = mat.metallic, mat.roughness
            bsdf = None
            if mat.use_nodes and mat.node_tree:
                bsdf = next((n for n in mat.node_tree.nodes if n.type == "BSDF_PRINCIPLED"), None)
            if bsdf is not None:
                inputs = bsdf.inputs
                base = tuple(inputs["Base Color"].default_value[:3])
                metallic = inputs["Metallic"].default_value
                roughness = inputs["Roughness"].default_value
                transmission = inputs["Transmission"].default_value
                ior = inputs["IOR"].default_value
                if transmission > 0 and abs(ior - 1.6) > 0.2:
                    self.report({"WARNING"}, f"{mat.name}: Tessra refracts with index 1.6, not {ior:.2f}")
                links = inputs["Base Color"].links
                if links and links[0].from_node.type == "TEX_IMAGE" and links[0].from_node.image:
                    texture = self._image_path(links[0].from_node.image)
        m = tessra.Material.principled(base_color=base, metallic=metallic, roughness=roughness,
                                       transmission=transmission, texture=texture)
        self.materials[key] = m
        return m

    # Geometry --------------------------------------------------------------------------

    def mesh(self, obj, matrix):
        mesh = obj.to_mesh()
        try:
            if mesh is None or not mesh.polygons:
                return
            mesh.calc_loop_triangles()
            mesh.calc_normals_split()  # per corner: smooth, flat and custom normals alike
            nv, nl, nt = len(mesh.vertices), len(mesh.loops), len(mesh.loop_triangles)
            positions = array.array("f", bytes(4 * 3 * nv))
            mesh.vertices.foreach_get("co", positions)
            indices = array.array("i", bytes(4 * 3 * nt))
            mesh.loop_triangles.foreach_get("vertices", indices)
            corners = array.array("i", bytes(4 * 3 * nt))
            mesh.loop_triangles.foreach_get("loops", corners)
            normals = array.array("f", bytes(4 * 3 * nl))
            mesh.loops.foreach_get("normal", normals)
            uvs = None
            if mesh.uv_layers.active is not None:
                uvs = array.array("f", bytes(4 * 2 * nl))
                mesh.uv_layers.active.data.foreach_get("uv", uvs)
            slots = [s.material for s in obj.material_slots] or [None]
            mat_idx = array.array("i", bytes(4 * nt))
            mesh.loop_triangles.foreach_get("material_index", mat_idx)
            mat_idx = array.array("i", (min(max(i, 0), len(slots) - 1) for i in mat_idx)) if len(slots) > 1 else None
            materials = [self.material(m) for m in slots]
            self.r.add_mesh(positions, indices, normals=normals, normal_indices=corners, uvs=uvs,
                            uv_indices=corners if uvs is not None else None,
                            material=materials if mat_idx is not None else materials[0],
                            material_indices=mat_idx, transform=_flat(matrix))
        finally:
            obj.to_mesh_clear()

    # Lights ----------------------------------------------------------------------------

    def light(self, obj, matrix, suns):
        light = obj.data
        position = tuple(matrix.translation)
        direction = tuple(-matrix.col[2].xyz)  # Blender lights shine down their local -Z
        up = tuple(matrix.col[1].xyz)
        color = tuple(light.color)
        common = dict(position=position, color=color, decay="inverse_square")
        if light.type == "POINT":
            intensity = light.energy / (4 * math.pi ** 2)
            if light.shadow_soft_size > 0:
                self.r.add_sphere_light(radius=light.shadow_soft_size, intensity=intensity, **common)
            else:
                self.r.add_point_light(intensity=intensity, **common)
        elif light.type == "SPOT":
            size = math.degrees(light.spot_size)
            self.r.add_spot_light(direction=direction, up=up, falloff=size,
                                  hotspot=min(size * (1 - light.spot_blend), size * 0.99),
                                  intensity=light.energy / (4 * math.pi ** 2), **common)
        elif light.type == "AREA":
            scale = matrix.to_scale()
            w = light.size * abs(scale.x)
            h = (light.size_y if light.shape in ("RECTANGLE", "ELLIPSE") else light.size) * abs(scale.y)
            if light.shape in ("DISK", "ELLIPSE"):
                w, h = w * math.sqrt(math.pi) / 2, h * math.sqrt(math.pi) / 2
            self.r.add_rect_light(direction=direction, up=up, width=w, height=h,
                                  intensity=light.energy / math.pi ** 2, **common)
        elif light.type == "SUN":
            suns.append((direction, up, color, light.energy / math.pi))

    def suns(self, suns):
        if not suns:
            return
        centre, radius = self.r.bounds()
        for direction, up, color, intensity in suns:
            position = tuple(c - d * 3 * radius for c, d in zip(centre, direction))
            self.r.add_directional_light(position=position, direction=direction, up=up, color=color,
                                         falloff=1.05 * radius, hotspot=radius, intensity=intensity)

    # Scene -----------------------------------------------------------------------------

    def camera(self, scene):
        cam = scene.camera
        if cam is None:
            raise ValueError("the scene has no camera")
        if cam.data.type != "PERSP":
            self.report({"WARNING"}, "Tessra renders only perspective cameras")
        m = cam.matrix_world
        position = m.translation
        self.r.set_camera(tuple(position), tuple(position - m.col[2].xyz), tuple(m.col[1].xyz),
                          horizontal_fov(cam, scene))

    def world(self, scene):
        world = scene.world
        if world is None:
            return
        colour, strength = tuple(world.color), 1.0
        if world.use_nodes and world.node_tree:
            bg = next((n for n in world.node_tree.nodes if n.type == "BACKGROUND"), None)
            if bg is not None:
                colour = tuple(bg.inputs["Color"].default_value[:3])
                strength = bg.inputs["Strength"].default_value
        self.r.background = tuple(c * strength for c in colour)

    def settings(self, s):
        r = self.r
        r.shadow_mode = 1 if s.shadows else 0
        r.aa_samples, r.aa_threshold = s.aa_samples, s.aa_threshold
        if s.path_tracing:
            r.path_samples, r.path_bounces = s.path_samples, s.path_bounces
        if s.gi:
            r.indirect_illumination = r.use_photon_mapping = True
            r.num_photons = s.photons
            r.num_bounces = s.bounces
            if not s.photon_auto:  # else the module derives them
                r.photon_search_distance = s.photon_radius
                r.photon_energy = s.photon_energy
            if s.final_gather:
                r.use_final_gather = True
                r.irradiance_samples = s.fg_samples
                r.fg_record_density = s.fg_density

    def convert(self, scene):
        suns = []
        for inst in self.depsgraph.object_instances:
            obj = inst.object
            if obj.type in MESH_TYPES:
                self.mesh(obj, inst.matrix_world)
            elif obj.type == "LIGHT":
                self.light(obj, inst.matrix_world, suns)
        self.suns(suns)
        self.camera(scene)
        self.world(scene)
        self.settings(scene.tessra)
        self.r.transparent = scene.render.film_transparent

    def cleanup(self):
        for path in self.temp_files:
            try:
                os.remove(path)
            except OSError:
                pass


def build(depsgraph, report):
    """A tessra.Renderer holding the depsgraph's scene, and the converter to clean up."""
    scene = depsgraph.scene
    w, h = resolution(scene)
    s = scene.tessra
    tessra.select_backend(s.device.lower())
    tessra.set_thread_count(s.threads)
    r = tessra.Renderer(width=w, height=h)
    c = Converter(depsgraph, r, report)
    try:
        c.convert(scene)
    except Exception:
        c.cleanup()
        raise
    return r, c
