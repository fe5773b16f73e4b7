#!/usr/bin/env python3
"""Writes the model files and the texture of the bundled examples (run from anywhere).

cornell-box.obj: the Cornell box with the published dimensions in millimetres (the scene
files scale it to metres); every face carries its own normal, facing the room, so that
Assimp keeps the edges sharp. materials.obj: a floor, a back wall and three spheres
(mirror, metal, glass). checker.png: the floor texture.
"""
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
    checker(os.path.join(HERE, "checker.png"))
