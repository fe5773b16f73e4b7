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
  point, P watts              ``P / (4 pi^2)``; a radius > 0 gives a Lambertian sphere
  spot, P watts               ``P / (4 pi^2)`` (Blender spots do not concentrate
                              their power into the cone either)
  area, P watts               ``P / (4 pi)`` on a rectangle with the emitter's
                              cosine: Cycles' area light has the radiance
                              P / (4 A) (measured: 1 % off for a small one)
  sun, S watts per m^2        ``S / pi``, no decay
  ==========================  ================================================

  Disk and ellipse area lights become rectangles of the same area. A spot's blend is the
  part of the cone that fades: hotspot = size x (1 - blend). A sun becomes a directional
  light three scene radii back along its beam, covering the scene's bounding sphere.
* Materials: the shader tree from the material output. The Principled BSDF's base colour
  (or the Image Texture linked into it), metallic, roughness and transmission go through
  ``tessra.Material.principled``, the mapping tessra-render uses for glTF, its specular
  layer scaled by Specular (0.5 is the 0.04 at normal incidence glTF has), plus a sharp
  reflection of 0.08 x Specular x (1 - metallic) for smooth dielectrics (roughness under
  0.25). Diffuse is the diffuse colour; Glossy a metal of its colour; Glass a refraction,
  and when smooth a sharp reflection of 0.08;
  Emission and the Principled BSDF's emission are emitted radiance (colour x strength), which
  lights the scene; Mix and Add Shader weight the lobes, keeping the
  stronger side's gloss where both differ (a Fresnel factor counts as its average). Images
  reach a colour directly or through Mix nodes. Tessra always refracts with index 1.6.
  What is approximated is named in one warning per material.
* Smooth normals are the angle-weighted face normals, summed here in a fixed order: Blender
  sums them in threads, so its own differ in the last bit from one render to the next, and
  a glass pixel seen through such a normal by more than that.
* Meshes whose faces show the camera their back (inside-out) get their normals turned,
  since Tessra lights only the side a normal faces.
* The camera keeps Blender's sensor fit: the horizontal field of view follows from the
  lens, the sensor and the aspect ratio, and pixels keep their aspect; shift and
  orthographic cameras are not supported.
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
import numpy

try:
    from . import tessra
except ImportError:  # a source checkout: the module from the build folder on the path
    import tessra

MESH_TYPES = {"MESH", "CURVE", "SURFACE", "META", "FONT"}

# The weak reflection a dielectric gets at Blender's Specular 1 (0.5 gives about Fresnel's
# average for index 1.5) and a glass surface. Only smooth surfaces get it, and sharp: the
# library's glossy reflections cost dozens of rays per pixel and level (the add-on test's
# room took over 200 s instead of 7 with blurred ones on every surface, 20 s with sharp
# ones), and on a rough surface the highlight alone shows.
FRESNEL_MAX = 0.08
SMOOTH = 0.25


def _linked(socket):
    """(node, output socket) feeding a socket, through reroutes and unmuted links; or None."""
    for _ in range(64):
        links = [l for l in socket.links if not l.is_muted] if socket.is_linked else []
        if not links:
            return None
        node, out = links[0].from_node, links[0].from_socket
        if node.type != "REROUTE":
            return node, out
        socket = node.inputs[0]
    return None


def _mix_inputs(node):
    """(factor, A, B, blend) of a colour Mix node, the old Mix RGB or 3.4's Mix in colour mode."""
    if node.type == "MIX_RGB":
        return node.inputs["Fac"], node.inputs["Color1"], node.inputs["Color2"], node.blend_type
    if node.type == "MIX" and node.data_type == "RGBA":
        by_id = {i.identifier: i for i in node.inputs}
        return by_id["Factor_Float"], by_id["A_Color"], by_id["B_Color"], node.blend_type
    return None


class Lobes:
    """The fixed material model in linear floats, for combining before it becomes a
    tessra.Material (whose colours are bytes)."""

    def __init__(self, diffuse=(0.0, 0.0, 0.0), texture=None, reflection=(0.0, 0.0, 0.0), reflection_gloss=1.0,
                 refraction=(0.0, 0.0, 0.0), refraction_gloss=1.0, specular_level=0.0, specular_exponent=0.0,
                 emission=(0.0, 0.0, 0.0), specular_layer=(0.0, 0.0)):
        self.diffuse, self.texture = tuple(diffuse), texture
        self.reflection, self.reflection_gloss = tuple(reflection), reflection_gloss
        self.refraction, self.refraction_gloss = tuple(refraction), refraction_gloss
        self.specular_level, self.specular_exponent = specular_level, specular_exponent
        self.emission = tuple(emission)
        self.specular_layer = tuple(specular_layer)

    @classmethod
    def of(cls, m):
        return cls(m.diffuse, m.texture, m.reflection, m.reflection_gloss, m.refraction, m.refraction_gloss,
                   m.specular_level, m.specular_exponent, m.emission, m.specular_layer)

    @staticmethod
    def gloss(roughness):
        """The reflection gloss tessra-render gives a metal of this roughness."""
        return tessra.Material.principled(metallic=1.0, roughness=roughness).reflection_gloss

    def material(self):
        return tessra.Material(diffuse=self.diffuse, texture=self.texture, reflection=self.reflection,
                               reflection_gloss=self.reflection_gloss, refraction=self.refraction,
                               refraction_gloss=self.refraction_gloss, specular_level=self.specular_level,
                               specular_exponent=self.specular_exponent, emission=self.emission,
                               specular_layer=self.specular_layer)

    def combine(self, other, wa, wb, notes):
        """wa x self + wb x other where the model holds it; one gloss, exponent and image
        each, so where both sides differ in one the stronger side's is kept."""
        def mix(a, b):
            return tuple(wa * x + wb * y for x, y in zip(a, b))

        def strength(c, w):
            return w * sum(c) / 3

        def pick(name, ca, cb):
            a, b = getattr(self, name), getattr(other, name)
            sa, sb = strength(ca, wa), strength(cb, wb)
            if sa > 0 and sb > 0 and abs(a - b) > 0.01 * max(abs(a), abs(b)):
                notes.append(f"the mixed shaders' {name.split('_')[0]} glosses differ; the stronger one's is kept")
            return a if sa >= sb else b

        out = Lobes(diffuse=mix(self.diffuse, other.diffuse), reflection=mix(self.reflection, other.reflection),
                    refraction=mix(self.refraction, other.refraction),
                    specular_level=wa * self.specular_level + wb * other.specular_level,
                    emission=mix(self.emission, other.emission))
        out.reflection_gloss = pick("reflection_gloss", self.reflection, other.reflection)
        out.refraction_gloss = pick("refraction_gloss", self.refraction, other.refraction)
        sa, sb = wa * self.specular_level, wb * other.specular_level
        out.specular_exponent = self.specular_exponent if sa >= sb else other.specular_exponent
        (fa, ra), (fb, rb) = self.specular_layer, other.specular_layer
        out.specular_layer = (wa * fa + wb * fb, ra if wa * fa >= wb * fb else rb)
        if self.texture or other.texture:
            # The image replaces the diffuse colour: it cannot be weighted or tinted.
            ta = strength(self.diffuse, wa) if self.texture else 0
            tb = strength(other.diffuse, wb) if other.texture else 0
            out.texture = self.texture if ta >= tb else other.texture
            if abs(strength(out.diffuse, 1) - 1) > 0.01 or (self.texture and other.texture
                                                           and self.texture != other.texture):
                notes.append("a mixed image texture is used at full strength")
        return out


def _flat(matrix):
    return array.array("f", [v for row in matrix for v in row])


def _get(items, key, dtype, n):
    a = numpy.empty(n, dtype)
    items.foreach_get(key, a)
    return a


def _triangles(mesh, total, start):
    """Blender's loop triangles as corners (loop indices, three a triangle) and each
    triangle's face. Faces of three and four corners are split here as Blender splits them
    ((0, 1, 2), then (0, 2, 3)), which costs a fraction of reading mesh.loop_triangles; a
    mesh with larger faces takes Blender's own split."""
    if total.min() < 3 or total.max() > 4:
        mesh.calc_loop_triangles()
        nt = len(mesh.loop_triangles)
        return (_get(mesh.loop_triangles, "loops", numpy.int32, 3 * nt),
                _get(mesh.loop_triangles, "polygon_index", numpy.int32, nt))
    count = total - 2
    face = numpy.repeat(numpy.arange(len(total), dtype=numpy.int32), count)
    k = numpy.arange(len(face), dtype=numpy.int32) - (numpy.cumsum(count, dtype=numpy.int32) - count)[face]
    s = start[face]
    return numpy.stack([s, s + 1 + k, s + 2 + k], axis=1).ravel(), face


def _normals(mesh, positions, corners, face_of, total, start, vertex):
    """The normals and, per triangle corner, the index of each: Blender's split normals
    where custom normals or auto smooth shape them, else the face's normal on flat faces
    and the vertex's on smooth ones."""
    nl, npoly = len(mesh.loops), len(mesh.polygons)
    if mesh.has_custom_normals or mesh.use_auto_smooth:
        mesh.calc_normals_split()
        return _get(mesh.loops, "normal", numpy.float32, 3 * nl), corners

    def unit(v):
        return v / numpy.maximum(numpy.linalg.norm(v, axis=1), 1e-30)[:, None]

    smooth = _get(mesh.polygons, "use_smooth", bool, npoly)
    face32 = _get(mesh.polygons, "normal", numpy.float32, 3 * npoly).reshape(-1, 3)
    if not smooth.any():  # flat: each triangle corner takes its face's normal
        return face32.ravel(), numpy.repeat(face_of, 3)
    poly = numpy.repeat(numpy.arange(npoly), total)
    p = positions.reshape(-1, 3).astype(numpy.float64)
    face = face32.astype(numpy.float64)
    corner = numpy.arange(nl) - start[poly]
    prev = vertex[start[poly] + (corner - 1) % total[poly]]
    after = vertex[start[poly] + (corner + 1) % total[poly]]
    a, b = unit(p[prev] - p[vertex]), unit(p[after] - p[vertex])
    angle = numpy.arccos(numpy.clip(numpy.einsum("ij,ij->i", a, b), -1, 1))
    weighted = face[poly] * angle[:, None]
    # Summed one corner after the other, as numpy.add.at would, at a fraction of its time.
    sums = numpy.stack([numpy.bincount(vertex, weighted[:, k], len(p)) for k in range(3)], axis=1)
    # A vertex whose faces cancel gets its position's direction, as Blender gives it.
    sums = numpy.where(numpy.linalg.norm(sums, axis=1)[:, None] > 1e-30, unit(sums), unit(p))
    normals = numpy.where(smooth[poly][:, None], sums[vertex], face[poly]).astype(numpy.float32)
    return normals.ravel(), corners


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


def camera_depth(distances, x, y, w, h, width, height, fov, pixel_aspect=1.0):
    """Distances along the camera rays of a tile (bottom row first, as Image.tile gives them)
    as depths along the camera's axis. Tessra's ray through pixel (px, py) has the direction
    (u, v, -1) with u = (2 px / width - 1) tan(fov / 2), v = (2 py / height - 1) tan(fov / 2)
    height / (width pixel_aspect)."""
    t = math.tan(fov / 2)
    us = [((2 * px / width - 1) * t) ** 2 for px in range(x, x + w)]
    out = array.array("f", distances)
    i = 0
    for py in range(y + h - 1, y - 1, -1):
        vv = 1 + ((2 * py / height - 1) * t * height / (width * pixel_aspect)) ** 2
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
        self.flipped = set()
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
        notes = []
        lobes = None
        if mat is not None and mat.use_nodes and mat.node_tree:
            out = mat.node_tree.get_output_node("CYCLES")
            surface = _linked(out.inputs["Surface"]) if out is not None else None
            if surface is not None:
                lobes = self._shader(surface, notes)
        if lobes is None:
            # Cycles shades a mesh without a material, and a material without nodes, as plain
            # diffuse of the viewport colour, whatever its metallic and roughness: with the
            # highlight they gave, old files came out 1.4 times as bright as Cycles shows them.
            lobes = Lobes(diffuse=(0.8, 0.8, 0.8) if mat is None else tuple(mat.diffuse_color[:3]))
        m = lobes.material()
        if notes:
            self.report({"WARNING"}, f"Tessra: material '{mat.name}': " + "; ".join(dict.fromkeys(notes)))
        self.materials[key] = m
        return m

    # Shader nodes: each becomes the fixed model's lobes (diffuse colour or image,
    # reflection colour and gloss, refraction colour and gloss, highlight); notes collect what
    # is approximated, for the material's one warning.

    def _shader(self, node_socket, notes, depth=0):
        node = node_socket[0]
        if depth > 32:
            notes.append("shader nesting too deep, the rest dropped")
            return Lobes()
        kind = node.type
        inputs = node.inputs
        if kind == "BSDF_PRINCIPLED":
            base, texture = self._colour(inputs["Base Color"], notes, "Base Color")
            transmission = self._value(inputs["Transmission"], notes)
            ior = self._value(inputs["IOR"], notes)
            if transmission > 0 and abs(ior - 1.6) > 0.2:
                notes.append(f"refracts with index 1.6, not {ior:.2f}")
            lobes = self._principled(base, self._value(inputs["Metallic"], notes),
                                     self._value(inputs["Roughness"], notes), transmission,
                                     self._value(inputs["Specular"], notes), texture)
            lobes.emission = self._emission(inputs["Emission"], inputs["Emission Strength"], notes)
            return lobes
        if kind == "BSDF_DIFFUSE":
            colour, texture = self._colour(inputs["Color"], notes, "Color")
            return Lobes(diffuse=colour, texture=texture)
        if kind in ("BSDF_GLOSSY", "BSDF_ANISOTROPIC"):
            colour, texture = self._colour(inputs["Color"], notes, "Color")
            if texture:
                notes.append("an image on a glossy colour is dropped")
            return Lobes.of(tessra.Material.principled(base_color=colour, metallic=1.0,
                                                       roughness=self._value(inputs["Roughness"], notes)))
        if kind in ("BSDF_GLASS", "BSDF_REFRACTION"):
            colour, texture = self._colour(inputs["Color"], notes, "Color")
            ior = self._value(inputs["IOR"], notes)
            if abs(ior - 1.6) > 0.2:
                notes.append(f"refracts with index 1.6, not {ior:.2f}")
            glass = Lobes.of(tessra.Material.principled(base_color=colour, transmission=1.0,
                                                        roughness=self._value(inputs["Roughness"], notes)))
            if kind == "BSDF_GLASS" and self._value(inputs["Roughness"], []) < SMOOTH:
                glass.reflection = (FRESNEL_MAX,) * 3  # the Fresnel reflection a refraction node leaves out
            return glass
        if kind == "BSDF_TRANSPARENT":
            colour, _ = self._colour(inputs["Color"], notes, "Color")
            notes.append("transparency refracts with index 1.6")
            return Lobes(diffuse=(0, 0, 0), refraction=colour)
        if kind == "EMISSION":
            return Lobes(emission=self._emission(inputs["Color"], inputs["Strength"], notes))
        if kind in ("MIX_SHADER", "ADD_SHADER"):
            first, second = (_linked(i) for i in inputs[-2:])
            a = self._shader(first, notes, depth + 1) if first else Lobes(diffuse=(0, 0, 0))
            b = self._shader(second, notes, depth + 1) if second else Lobes(diffuse=(0, 0, 0))
            if kind == "ADD_SHADER":
                return a.combine(b, 1.0, 1.0, notes)
            f = min(max(self._factor(inputs["Fac"], notes), 0.0), 1.0)
            return a.combine(b, 1.0 - f, f, notes)
        if kind == "HOLDOUT":
            notes.append("a holdout renders black")
            return Lobes(diffuse=(0, 0, 0))
        colour = inputs["Color"] if "Color" in inputs else inputs.get("Base Color")
        rgb, texture = self._colour(colour, notes, "Color") if colour is not None else ((0.8, 0.8, 0.8), None)
        notes.append(f"the {node.bl_label} node becomes a diffuse surface")
        return Lobes(diffuse=rgb, texture=texture)

    def _principled(self, base, metallic, roughness, transmission, specular, texture):
        lobes = Lobes.of(tessra.Material.principled(base_color=base, metallic=metallic, roughness=roughness,
                                                    transmission=transmission, texture=texture))
        # Plastic and varnish reflect their surroundings weakly: about Fresnel's average,
        # which Blender's Specular (0.5 for index 1.5) scales.
        if roughness < SMOOTH and metallic < 1:
            lobes.reflection = tuple(r + FRESNEL_MAX * specular * (1 - metallic) for r in lobes.reflection)
            if metallic == 0:
                lobes.reflection_gloss = 1.0
        # The coat as Cycles' specular layer (Specular 0.5 is a normal reflectance of
        # 0.04): the lights' highlight and, unless the surface mirrors, the room and the
        # world reflected, more at grazing.
        f0, r = lobes.specular_layer
        lobes.specular_layer = (min(f0 * 2 * specular, 1.0), r)
        return lobes

    def _emission(self, colour, strength, notes):
        """Colour x strength as the emitted radiance; an image into the colour is dropped."""
        rgb, texture = self._colour(colour, notes, colour.name)
        if texture:
            notes.append("an image into the emission colour is dropped")
        s = self._value(strength, notes)
        return tuple(max(c * s, 0.0) for c in rgb)

    def _value(self, socket, notes):
        if socket.is_linked:
            notes.append(f"the node driving {socket.name} is dropped, its value {socket.default_value:.3g} used")
        return socket.default_value

    def _factor(self, socket, notes):
        """A mix factor: a Fresnel node counts as its average over the hemisphere."""
        src = _linked(socket)
        if src is not None and src[0].type == "FRESNEL" and not src[0].inputs["IOR"].is_linked:
            f0 = ((src[0].inputs["IOR"].default_value - 1) / (src[0].inputs["IOR"].default_value + 1)) ** 2
            return f0 + (1 - f0) / 21  # Schlick's approximation averaged over cosine-weighted directions
        return self._value(socket, notes)

    def _colour(self, socket, notes, name, depth=0):
        """(RGB, image path or None) of a colour input: an Image Texture, also through Mix
        nodes (the image then alone, whatever the blend), or an RGB node."""
        src = _linked(socket)
        if src is None:
            return tuple(socket.default_value[:3]), None
        node = src[0]
        if node.type == "TEX_IMAGE" and node.image is not None:
            return (1.0, 1.0, 1.0), self._image_path(node.image)
        if node.type == "RGB":
            return tuple(node.outputs[0].default_value[:3]), None
        mix = _mix_inputs(node)
        if mix is not None and depth < 8:
            fac, a, b, blend = mix
            f = fac.default_value if not fac.is_linked else 0.5
            ca, ta = self._colour(a, notes, name, depth + 1)
            cb, tb = self._colour(b, notes, name, depth + 1)
            if ta or tb:
                other, weight = (cb, f) if ta else (ca, 1 - f)
                plain = weight == 0 or (blend == "MULTIPLY" and other == (1.0, 1.0, 1.0))
                if fac.is_linked or not plain or (ta and tb):
                    notes.append(f"the image into {name} is used without its Mix node's blend")
                return (1.0, 1.0, 1.0), ta or tb
            if blend == "MULTIPLY":
                return tuple(x * (1 - f + f * y) for x, y in zip(ca, cb)), None
            if blend == "ADD":
                return tuple(x + f * y for x, y in zip(ca, cb)), None
            if blend != "MIX":
                notes.append(f"the {blend.lower()} blend into {name} is mixed linearly")
            return tuple(x * (1 - f) + y * f for x, y in zip(ca, cb)), None
        notes.append(f"the {node.bl_label} node into {name} is dropped")
        return tuple(socket.default_value[:3]), None

    # Geometry --------------------------------------------------------------------------

    def mesh(self, obj, matrix):
        # An evaluated mesh object's data is its evaluated mesh: read in place, not copied.
        own = obj.type != "MESH"
        mesh = obj.to_mesh() if own else obj.data
        try:
            if mesh is None or not mesh.polygons:
                return
            nv, nl, npoly = len(mesh.vertices), len(mesh.loops), len(mesh.polygons)
            # Read into numpy arrays, which the module reads in place.
            positions = _get(mesh.vertices, "co", numpy.float32, 3 * nv)
            total = _get(mesh.polygons, "loop_total", numpy.int32, npoly)
            start = _get(mesh.polygons, "loop_start", numpy.int32, npoly)
            vertex = _get(mesh.loops, "vertex_index", numpy.int32, nl)
            corners, face = _triangles(mesh, total, start)
            indices = vertex[corners]
            normals, normal_indices = _normals(mesh, positions, corners, face, total, start, vertex)
            slots = [s.material for s in obj.material_slots] or [None]
            materials = [self.material(m) for m in slots]
            mat_idx = None
            if len(slots) > 1:
                per_face = _get(mesh.polygons, "material_index", numpy.int32, npoly)
                mat_idx = numpy.clip(per_face[face], 0, len(slots) - 1).astype(numpy.int32)
            # Coordinates serve images alone.
            uvs = None
            if mesh.uv_layers.active is not None and any(m.texture for m in materials):
                uvs = _get(mesh.uv_layers.active.data, "uv", numpy.float32, 2 * nl)
            self.r.add_mesh(positions, indices, normals=normals, normal_indices=normal_indices, uvs=uvs,
                            uv_indices=corners if uvs is not None else None,
                            material=materials if mat_idx is not None else materials[0],
                            material_indices=mat_idx, transform=_flat(matrix),
                            flip_normals=self._inside_out(obj, matrix, positions, indices, normals,
                                                          normal_indices))
        finally:
            if own:
                obj.to_mesh_clear()

    def _inside_out(self, obj, matrix, positions, indices, normals, corners):
        """Whether the camera sees the back of the mesh's faces: Tessra lights only the side
        a normal faces, Cycles both, and old or imported files hold inside-out meshes. A
        closed mesh's normals should point away from the camera's side of it (outwards
        when the camera is outside, inwards in a room); an open one's at the camera on the
        whole."""
        cam = self.depsgraph.scene.camera
        if cam is None or abs(matrix.determinant()) < 1e-12:
            return False
        eye = tuple(matrix.inverted() @ cam.matrix_world.translation)
        volume, winding, opening = tessra.mesh_facing(positions, indices, normals=normals, normal_indices=corners,
                                                      eye=eye)
        flip = winding > 0.5 * math.copysign(1, volume) if opening < 1e-3 else winding > 0
        if flip and obj.name not in self.flipped:
            self.flipped.add(obj.name)
            self.report({"WARNING"}, f"Tessra: '{obj.name}' faces away from the camera (its normals point "
                                     "inside out); its normals are turned round")
        return flip

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
                self.r.add_sphere_light(radius=light.shadow_soft_size, intensity=intensity, cosine=True,
                                        **common)
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
            self.r.add_rect_light(direction=direction, up=up, width=w, height=h, cosine=True,
                                  intensity=light.energy / (4 * math.pi), **common)
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
                links = bg.inputs["Color"].links
                if links and self._environment(links[0].from_node):
                    colour = (1.0, 1.0, 1.0)
                elif links:
                    self.report({"WARNING"}, f"Tessra: the world's colour comes from a '{links[0].from_node.name}' "
                                             "node, which is not converted; its own colour is used")
        self.r.background = tuple(c * strength for c in colour)

    # Blender's equirectangular map has +Z up and +X in its middle, -Y a quarter to the
    # right; Tessra's image frame has +Y up and -Z in the middle, +X a quarter right.
    _BLENDER_TO_IMAGE = (0, -1, 0, 0, 0, 1, -1, 0, 0)

    def _environment(self, node):
        """Hands an Environment Texture's image to the world; False where it cannot."""
        if node.type != "TEX_ENVIRONMENT" or node.image is None:
            return False
        image = node.image
        if node.projection != "EQUIRECTANGULAR":
            self.report({"WARNING"}, f"Tessra: '{image.name}' is a mirror ball; only equirectangular "
                                     "environments are converted")
            return False
        if node.inputs["Vector"].links:
            self.report({"WARNING"}, f"Tessra: the mapping of '{image.name}' is not converted; it is used unturned")
        w, h = image.size
        channels = image.channels
        if w * h == 0 or channels not in (3, 4):
            self.report({"WARNING"}, f"Tessra: the environment image '{image.name}' has no pixels")
            return False
        pixels = array.array("f", bytes(4 * w * h * channels))
        image.pixels.foreach_get(pixels)
        # Byte images hold their colour space's codes; float ones are linear.
        srgb = not image.is_float and image.colorspace_settings.name == "sRGB"
        self.r.set_environment(pixels, w, h, turn=self._BLENDER_TO_IMAGE, bottom_up=True, srgb=srgb)
        return True

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
            r.reflective_caustics, r.refractive_caustics = s.caustics_reflective, s.caustics_refractive
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
        self.r.pixel_aspect = scene.render.pixel_aspect_x / scene.render.pixel_aspect_y

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
