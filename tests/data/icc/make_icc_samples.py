#!/usr/bin/env python3
# Writes the small tagged PNG files of the colour scenario: one picture
# (saturated primaries, greys and a gradient, 48 x 32) stored plainly,
# tagged with a hand-made Adobe RGB-like matrix/TRC profile (converted to
# sRGB when shown), and tagged with a profile whose A2B0 table we do not
# convert (shown as stored, "profile ignored"). Run from this folder.
import struct
import zlib

def be32(v):
    return struct.pack(">I", v & 0xFFFFFFFF)

def s15(v):
    return be32(int(round(v * 65536)))

def tag_xyz(x, y, z):
    return b"XYZ " + be32(0) + s15(x) + s15(y) + s15(z)

def tag_gamma(g):
    return b"curv" + be32(0) + be32(1) + struct.pack(">H", int(round(g * 256))) + b"\0\0"

def profile(tags):
    header = bytearray(128)
    header[8:12] = be32(0x04300000)
    header[12:16] = b"mntr"
    header[16:20] = b"RGB "
    header[20:24] = b"XYZ "
    header[36:40] = b"acsp"
    header[68:80] = s15(0.9642) + s15(1.0) + s15(0.8249)
    table = be32(len(tags))
    data = b""
    offset = 128 + 4 + 12 * len(tags)
    for name, body in tags:
        table += name + be32(offset + len(data)) + be32(len(body))
        data += body
        while len(data) % 4:
            data += b"\0"
    p = bytearray(bytes(header) + table + data)
    p[0:4] = be32(len(p))
    return bytes(p)

ADOBE = [(b"wtpt", tag_xyz(0.9642, 1.0, 0.8249)),
         (b"rXYZ", tag_xyz(0.60974, 0.31111, 0.01947)),
         (b"gXYZ", tag_xyz(0.20528, 0.62567, 0.06087)),
         (b"bXYZ", tag_xyz(0.14919, 0.06322, 0.74457)),
         (b"rTRC", tag_gamma(2.2)), (b"gTRC", tag_gamma(2.2)), (b"bTRC", tag_gamma(2.2))]
# The same with an A2B0 (an 'mAB ' table, its contents beside the point).
LUT = ADOBE + [(b"A2B0", b"mAB " + be32(0) + bytes([3, 3, 0, 0]) + bytes(24))]

def chunk(kind, body):
    return be32(len(body)) + kind + body + be32(zlib.crc32(kind + body))

def png(w, h, rows, icc=None):
    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
    if icc is not None:
        out += chunk(b"iCCP", b"profile\0\0" + zlib.compress(icc, 9))
    raw = b"".join(b"\0" + bytes(r) for r in rows)
    return out + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")

W, H = 48, 32
colours = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 0), (0, 255, 255), (255, 0, 255)]
rows = []
for y in range(H):
    row = []
    for x in range(W):
        if y < 16:
            r, g, b = colours[x // 8]
        else:
            v = x * 255 // (W - 1)
            r, g, b = (v, v, v) if y < 24 else (v, 128, 255 - v)
        row += [r, g, b]
    rows.append(row)

open("plain.png", "wb").write(png(W, H, rows))
open("adobe-rgb.png", "wb").write(png(W, H, rows, profile(ADOBE)))
open("lut-profile.png", "wb").write(png(W, H, rows, profile(LUT)))

try:
    from PIL import Image
except ImportError:
    Image = None
if Image is not None:
    cmyk = Image.new("CMYK", (W, H))
    cmyk.putdata([(255 - r, 255 - g, 255 - b, 40 if y >= 24 else 0)
                  for y, row in enumerate(rows) for r, g, b in zip(row[0::3], row[1::3], row[2::3])])
    cmyk.save("cmyk.jpg", quality=92)
