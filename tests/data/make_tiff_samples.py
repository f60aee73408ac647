#!/usr/bin/env python3
"""Writes the two small TIFF files the scenario test tests/e2e/tiff_files.qbs
opens: a classic little-endian TIFF of 320 x 200 RGB in separate planes,
PackBits strips of 16 rows, and a big-endian BigTIFF of 300 x 180 grey with
alpha in Deflate-compressed 64 x 64 tiles with the horizontal predictor.
Written by hand with struct and zlib; run it from the repository root with
any python3."""
import struct
import zlib

def packbits(data):
    out = bytearray()
    i = 0
    while i < len(data):
        run = 1
        while i + run < len(data) and run < 128 and data[i + run] == data[i]:
            run += 1
        if run >= 3:
            out += struct.pack("b", 1 - run) + bytes([data[i]])
            i += run
            continue
        j = i
        while j < len(data) and j - i < 128:
            if j + 2 < len(data) and data[j] == data[j + 1] == data[j + 2]:
                break
            j += 1
        out += struct.pack("b", j - i - 1) + data[i:j]
        i = j
    return bytes(out)

def tiff(path, big, be, fields, chunks):
    """fields: (tag, type, values) with the chunk offsets written as None."""
    e = ">" if be else "<"
    sizes = {1: "B", 3: "H", 4: "I", 16: "Q"}
    out = bytearray((b"MM" if be else b"II") + struct.pack(e + "H", 43 if big else 42))
    out += struct.pack(e + "HHQ", 8, 0, 0) if big else struct.pack(e + "I", 0)
    offsets = []
    for c in chunks:
        offsets.append(len(out))
        out += c
    inline = 8 if big else 4
    body = []
    for tag, typ, values in fields:
        if values is None:
            values = offsets
        raw = b"".join(struct.pack(e + sizes[typ], v) for v in values)
        if len(raw) > inline:
            if len(out) % 2:
                out += b"\0"
            pos = len(out)
            out += raw
            raw = struct.pack(e + ("Q" if big else "I"), pos)
        body.append((tag, typ, len(values), raw.ljust(inline, b"\0")))
    if len(out) % 2:
        out += b"\0"
    ifd = len(out)
    out[8 if big else 4:16 if big else 8] = struct.pack(e + ("Q" if big else "I"), ifd)
    out += struct.pack(e + ("Q" if big else "H"), len(body))
    for tag, typ, count, raw in body:
        out += struct.pack(e + "HH", tag, typ) + struct.pack(e + ("Q" if big else "I"), count) + raw
    out += bytes(inline)
    open(path, "wb").write(bytes(out))

# Strips: flat 20 x 20 squares of many colours, each plane on its own.
W, H, R = 320, 200, 16
strips = []
for plane in range(3):
    for y0 in range(0, H, R):
        rows = bytearray()
        for y in range(y0, min(H, y0 + R)):
            for x in range(W):
                bx, by = x // 20, y // 20
                rows.append(((bx * 16, by * 25, 200 if (bx + by) % 2 else 40)[plane]) & 255)
        strips.append(packbits(bytes(rows)))
tiff("tests/data/strips-rgb.tif", False, False,
     [(256, 3, [W]), (257, 3, [H]), (258, 3, [8, 8, 8]), (259, 3, [32773]), (262, 3, [2]), (273, 4, None),
      (277, 3, [3]), (278, 3, [R]), (279, 4, [len(s) for s in strips]), (284, 3, [2])], strips)

# Tiles: grey rings with alpha falling off to the right, differenced along
# each row (grey and alpha apart) and deflated.
W, H, T = 300, 180, 64
tiles = []
for ty in range(0, H, T):
    for tx in range(0, W, T):
        t = bytearray()
        for y in range(ty, ty + T):
            row = bytearray()
            for x in range(tx, tx + T):
                g = ((x - 150) ** 2 + (y - 90) ** 2) // 40 % 256
                a = 255 - min(x, 299) * 200 // 299
                row += bytes((g, a))
            t += bytes([row[i] if i < 2 else (row[i] - row[i - 2]) & 255 for i in range(len(row))])
        tiles.append(zlib.compress(bytes(t), 9))
tiff("tests/data/tiles-grey-alpha.tif", True, True,
     [(256, 3, [W]), (257, 3, [H]), (258, 3, [8, 8]), (259, 3, [8]), (262, 3, [1]), (277, 3, [2]),
      (317, 3, [2]), (322, 3, [T]), (323, 3, [T]), (324, 16, None), (325, 4, [len(t) for t in tiles]),
      (338, 3, [2])], tiles)
