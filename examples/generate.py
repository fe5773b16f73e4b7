#!/usr/bin/env python3
"""Writes the model files and the texture of the bundled examples (run from anywhere).

cornell-box.obj: the Cornell box with the published dimensions in millimetres (the scene
files scale it to metres); every face carries its own normal, facing the room, so that
Assimp keeps the edges sharp. materials.obj: a floor, a back wall and three spheres
(mirror, metal, glass). checker.png: the floor texture. atrium.gltf: a glTF 2.0 room lit by
one spot through the ceiling and a dim lamp, with its camera, for indirect light on an
imported model.
"""
import base64
import json
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def sub(a, b):
    return [a[i] - b[i] for i in range(3)]


def cross(a, b):
    return [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]]


def unit(a):
    n = math.sqrt(sum(x * x for x in a))
    return [x / n for x in a]


class Obj:
    def __init__(self, mtl):
        self.lines = ["mtllib " + mtl]
        self.v = self.vn = self.vt = 0

    def quad(self, name, material, pts, towards=None, away=None, uvs=None):
        n = unit(cross(sub(pts[1], pts[0]), sub(pts[2], pts[0])))
        centre = [sum(p[i] for p in pts) / 4 for i in range(3)]
        ref = towards if towards is not None else away
        side = sum(n[i] * (ref[i] - centre[i]) for i in range(3))
        if (towards is not None and side < 0) or (away is not None and side > 0):
            n = [-x for x in n]
        self.lines += ["o " + name, "usemtl " + material]
        for p in pts:
            self.lines.append("v %g %g %g" % tuple(p))
        self.lines.append("vn %.6f %.6f %.6f" % tuple(n))
        self.vn += 1
        if uvs:
            for uv in uvs:
                self.lines.append("vt %g %g" % uv)
            self.lines.append("f " + " ".join("%d/%d/%d" % (self.v + k + 1, self.vt + k + 1, self.vn)
                                              for k in range(4)))
            self.vt += 4
        else:
            self.lines.append("f " + " ".join("%d//%d" % (self.v + k + 1, self.vn) for k in range(4)))
        self.v += 4

    def sphere(self, name, material, c, r, rings=12, segments=24):
        self.lines += ["o " + name, "usemtl " + material]
        base, nbase = self.v, self.vn
        for i in range(rings + 1):
            th = math.pi * i / rings
            for j in range(segments):
                ph = 2 * math.pi * j / segments
                n = (math.sin(th) * math.cos(ph), math.cos(th), math.sin(th) * math.sin(ph))
                self.lines.append("v %.4g %.4g %.4g" % (c[0] + r * n[0], c[1] + r * n[1], c[2] + r * n[2]))
                self.lines.append("vn %.4f %.4f %.4f" % n)
        idx = lambda i, j: i * segments + (j % segments) + 1
        corner = lambda k: "%d//%d" % (base + k, nbase + k)
        for i in range(rings):
            for j in range(segments):
                a, b, d, e = idx(i, j), idx(i, j + 1), idx(i + 1, j + 1), idx(i + 1, j)
                if i > 0:
                    self.lines.append("f %s %s %s" % (corner(a), corner(b), corner(d)))
                if i < rings - 1:
                    self.lines.append("f %s %s %s" % (corner(a), corner(d), corner(e)))
        self.v += (rings + 1) * segments
        self.vn += (rings + 1) * segments

    def write(self, path):
        with open(path, "w") as f:
            f.write("\n".join(self.lines) + "\n")


def cornell():
    room = [278, 274, 280]
    o = Obj("cornell-box.mtl")
    o.quad("floor", "white", [[552.8, 0, 0], [0, 0, 0], [0, 0, 559.2], [549.6, 0, 559.2]], towards=room)
    o.quad("ceiling", "white", [[556, 548.8, 0], [556, 548.8, 559.2], [0, 548.8, 559.2], [0, 548.8, 0]],
           towards=room)
    o.quad("back", "white", [[549.6, 0, 559.2], [0, 0, 559.2], [0, 548.8, 559.2], [556, 548.8, 559.2]],
           towards=room)
    o.quad("right", "green", [[0, 0, 559.2], [0, 0, 0], [0, 548.8, 0], [0, 548.8, 559.2]], towards=room)
    o.quad("left", "red", [[552.8, 0, 0], [549.6, 0, 559.2], [556, 548.8, 559.2], [556, 548.8, 0]], towards=room)
    short = [[130, 65], [82, 225], [240, 272], [290, 114]]
    tall = [[423, 247], [265, 296], [314, 456], [472, 406]]
    for name, foot, h in (("short_block", short, 165), ("tall_block", tall, 330)):
        centre = [sum(p[0] for p in foot) / 4, h / 2, sum(p[1] for p in foot) / 4]
        o.quad(name + "_top", "white", [[x, h, z] for x, z in foot], away=centre)
        for k in range(4):
            (x0, z0), (x1, z1) = foot[k], foot[(k + 1) % 4]
            o.quad("%s_side%d" % (name, k), "white", [[x0, 0, z0], [x0, h, z0], [x1, h, z1], [x1, 0, z1]],
                   away=centre)
    o.write(os.path.join(HERE, "cornell-box.obj"))
    with open(os.path.join(HERE, "cornell-box.mtl"), "w") as f:
        f.write("newmtl white\nKd 0.73 0.73 0.73\nillum 1\n\n"
                "newmtl red\nKd 0.63 0.065 0.05\nillum 1\n\n"
                "newmtl green\nKd 0.14 0.45 0.091\nillum 1\n")


def materials():
    o = Obj("materials.mtl")
    o.quad("floor", "floor", [[-3, 0, -3], [3, 0, -3], [3, 0, 3], [-3, 0, 3]], towards=[0, 1, 0],
           uvs=[(0, 4), (4, 4), (4, 0), (0, 0)])
    o.quad("wall", "wall", [[-3, 0, -3], [3, 0, -3], [3, 3, -3], [-3, 3, -3]], towards=[0, 1, 0])
    o.sphere("mirror_ball", "mirror", [-1.3, 0.6, -0.6], 0.6)
    o.sphere("metal_ball", "metal", [0, 0.6, -1.2], 0.6)
    o.sphere("glass_ball", "glass", [1.3, 0.6, -0.3], 0.6)
    o.write(os.path.join(HERE, "materials.obj"))
    with open(os.path.join(HERE, "materials.mtl"), "w") as f:
        f.write("newmtl floor\nKd 0.8 0.8 0.8\nmap_Kd checker.png\nillum 1\n\n"
                "newmtl wall\nKd 0.6 0.65 0.75\nillum 1\n\n"
                "newmtl mirror\nKd 0.05 0.05 0.05\nKs 0.9 0.9 0.9\nNs 200\nillum 3\n\n"
                "newmtl metal\nKd 0.2 0.12 0.05\nKs 0.9 0.6 0.3\nNs 60\nillum 3\n\n"
                "newmtl glass\nKd 0.02 0.02 0.02\nKs 0.5 0.5 0.5\nNs 300\nd 0.1\nTf 1 1 1\nNi 1.5\nillum 7\n")


def atrium():
    """A room open at the front: the spot lights a patch of the floor, everything else
    sees light that bounced."""
    meshes = {"plaster": ([0.8, 0.78, 0.74], []), "terracotta": ([0.75, 0.3, 0.15], []),
              "teal": ([0.1, 0.45, 0.5], []), "stone": ([0.55, 0.55, 0.5], [])}

    def quad(material, pts, inward):
        n = unit(cross(sub(pts[1], pts[0]), sub(pts[2], pts[0])))
        centre = [sum(p[i] for p in pts) / 4 for i in range(3)]
        if sum(n[i] * (inward[i] - centre[i]) for i in range(3)) < 0:
            n = [-x for x in n]
            pts = pts[::-1]
        meshes[material][1].append((pts, n))

    W, H, D = 3.0, 3.2, 6.0
    room = [0, 1.5, -2]
    quad("stone", [[-W, 0, -D], [W, 0, -D], [W, 0, 1], [-W, 0, 1]], room)
    quad("plaster", [[-W, H, -D], [W, H, -D], [W, H, 1], [-W, H, 1]], room)
    quad("plaster", [[-W, 0, -D], [W, 0, -D], [W, H, -D], [-W, H, -D]], room)
    quad("terracotta", [[-W, 0, -D], [-W, 0, 1], [-W, H, 1], [-W, H, -D]], room)
    quad("teal", [[W, 0, -D], [W, 0, 1], [W, H, 1], [W, H, -D]], room)
    for cx, cz, h in ((-1.6, -3.8, 2.2), (1.5, -4.2, 1.1), (0.4, -2.4, 0.6)):
        r = 0.35
        c = [cx, h / 2, cz]
        corners = [[cx - r, cz - r], [cx + r, cz - r], [cx + r, cz + r], [cx - r, cz + r]]
        quad("plaster", [[x, h, z] for x, z in corners], [cx, h + 1, cz])
        for k in range(4):
            (x0, z0), (x1, z1) = corners[k], corners[(k + 1) % 4]
            mid = [(x0 + x1) / 2, h / 2, (z0 + z1) / 2]
            quad("plaster", [[x0, 0, z0], [x1, 0, z1], [x1, h, z1], [x0, h, z0]],
                 [2 * mid[0] - c[0], h / 2, 2 * mid[2] - c[2]])

    blob, views, accessors, gltf_meshes, materials = bytearray(), [], [], [], []
    for name, (colour, quads) in meshes.items():
        pos, nor, idx = [], [], []
        for pts, n in quads:
            base = len(pos) // 3
            for p in pts:
                pos += p
                nor += n
            idx += [base, base + 1, base + 2, base, base + 2, base + 3]
        attrs = {}
        for key, data, fmt, kind in (("POSITION", pos, "f", "VEC3"), ("NORMAL", nor, "f", "VEC3"),
                                     (None, idx, "H", "SCALAR")):
            offset = len(blob)
            blob += struct.pack("<%d%s" % (len(data), fmt), *data)
            while len(blob) % 4:
                blob.append(0)
            views.append({"buffer": 0, "byteOffset": offset, "byteLength": len(data) * struct.calcsize(fmt)})
            acc = {"bufferView": len(views) - 1, "componentType": 5126 if fmt == "f" else 5123, "type": kind,
                   "count": len(data) // (3 if kind == "VEC3" else 1)}
            if key == "POSITION":
                acc["min"] = [min(data[i::3]) for i in range(3)]
                acc["max"] = [max(data[i::3]) for i in range(3)]
            accessors.append(acc)
            if key:
                attrs[key] = len(accessors) - 1
        materials.append({"name": name, "pbrMetallicRoughness": {"baseColorFactor": colour + [1.0],
                                                                 "metallicFactor": 0.0, "roughnessFactor": 1.0}})
        gltf_meshes.append({"name": name, "primitives": [{"attributes": attrs, "indices": len(accessors) - 1,
                                                          "material": len(materials) - 1}]})
    nodes = [{"name": name, "mesh": i} for i, name in enumerate(meshes)]
    nodes.append({"name": "Skylight", "translation": [0.3, 3.1, -2.6], "rotation": [-0.7071068, 0, 0, 0.7071068],
                  "extensions": {"KHR_lights_punctual": {"light": 0}}})
    nodes.append({"name": "Lamp", "translation": [-2.2, 2.4, -0.5],
                  "extensions": {"KHR_lights_punctual": {"light": 1}}})
    nodes.append({"name": "Eye", "camera": 0, "translation": [0.2, 1.5, 3.2], "rotation": [-0.0784591, 0, 0, 0.9969173]})
    doc = {
        "asset": {"version": "2.0", "generator": "examples/generate.py"},
        "extensionsUsed": ["KHR_lights_punctual"],
        "extensions": {"KHR_lights_punctual": {"lights": [
            {"type": "spot", "color": [1.0, 0.92, 0.8], "intensity": 60.0,
             "spot": {"innerConeAngle": 0.25, "outerConeAngle": 0.4}},
            {"type": "point", "color": [0.7, 0.8, 1.0], "intensity": 0.3}]}},
        "scene": 0, "scenes": [{"nodes": list(range(len(nodes)))}],
        "nodes": nodes,
        "cameras": [{"type": "perspective", "perspective": {"yfov": 0.9, "aspectRatio": 1.5, "znear": 0.05}}],
        "meshes": gltf_meshes, "materials": materials, "accessors": accessors, "bufferViews": views,
        "buffers": [{"byteLength": len(blob),
                     "uri": "data:application/octet-stream;base64," + base64.b64encode(bytes(blob)).decode()}],
    }
    with open(os.path.join(HERE, "atrium.gltf"), "w") as f:
        json.dump(doc, f, indent=1)
        f.write("\n")


def checker(path, size=64, cells=8):
    rows = []
    for y in range(size):
        row = bytearray([0])
        for x in range(size):
            light = ((x * cells // size) + (y * cells // size)) % 2 == 0
            row += bytes((225, 220, 205) if light else (60, 62, 70))
        rows.append(bytes(row))
    chunk = lambda t, d: struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d) & 0xFFFFFFFF)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    cornell()
    materials()
    atrium()
    checker(os.path.join(HERE, "checker.png"))
