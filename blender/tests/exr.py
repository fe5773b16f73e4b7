"""Reads the OpenEXR files the Blender test compares, so that it needs no image library:
single-part scanline images, uncompressed or zip, half or float channels.
read(path) gives (width, height, {channel: array of floats, row 0 at the top})."""
import array
import itertools
import struct
import zlib

_LINES = {0: 1, 2: 1, 3: 16}  # scanlines per block: none, zips, zip
_SIZE = {1: 2, 2: 4}  # bytes per value: half, float


def read(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x76\x2f\x31\x01" or data[5] & 0x1e:
        raise ValueError(f"{path}: not a single-part scanline OpenEXR file")
    pos, attrs = 8, {}

    def text():
        nonlocal pos
        end = data.index(b"\0", pos)
        s, pos = data[pos:end].decode(), end + 1
        return s

    while data[pos]:
        name, _ = text(), text()
        (size,) = struct.unpack_from("<i", data, pos)
        attrs[name] = data[pos + 4:pos + 4 + size]
        pos += 4 + size
    pos += 1
    channels, chlist, p = [], attrs["channels"], 0
    while chlist[p]:
        end = chlist.index(b"\0", p)
        channels.append((chlist[p:end].decode(), struct.unpack_from("<i", chlist, end + 1)[0]))
        p = end + 17
    compression = attrs["compression"][0]
    if compression not in _LINES or any(k not in _SIZE for _, k in channels):
        raise ValueError(f"{path}: compression {compression} or a channel type is not supported")
    x0, y0, x1, y1 = struct.unpack("<4i", attrs["dataWindow"])
    width, height, lines = x1 - x0 + 1, y1 - y0 + 1, _LINES[compression]
    rows = {}
    for offset in struct.unpack_from(f"<{(height + lines - 1) // lines}Q", data, pos):
        y, size = struct.unpack_from("<2i", data, offset)
        block = data[offset + 8:offset + 8 + size]
        n = min(lines, y1 + 1 - y)
        if size < n * width * sum(_SIZE[k] for _, k in channels):
            # Zip: deflate, then a byte predictor, then the two halves interleaved.
            t = bytes(itertools.accumulate(zlib.decompress(block), lambda a, b: (a + b - 128) & 255))
            u = bytearray(len(t))
            u[0::2], u[1::2] = t[:(len(t) + 1) // 2], t[(len(t) + 1) // 2:]
            block = bytes(u)
        q = 0
        for line in range(y, y + n):
            for name, kind in channels:
                rows[name, line] = struct.unpack_from(f"<{width}{'e' if kind == 1 else 'f'}", block, q)
                q += width * _SIZE[kind]
    return width, height, {name: array.array("f", itertools.chain.from_iterable(rows[name, y] for y in range(y0, y1 + 1)))
                           for name, _ in channels}
