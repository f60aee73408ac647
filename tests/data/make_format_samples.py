#!/usr/bin/env python3
"""Writes the small sample files of the formats the scenario tests open
(tests/e2e/format_files.qbs): a 32-bit BMP with alpha masks, an icon with a
PNG and a BMP entry, a binary PPM, a PAM with alpha, a QOI and an RLE TGA;
and eight JPEGs of one picture stored turned and tagged with the EXIF
orientation that shows each upright (tests/data/orientation/).
Pillow writes what it can; QOI and the icon's directory are written here.
Run it from the repository root with Debian's python3 (python3-pil)."""
import io
import struct
import sys

from PIL import Image

W, H = 96, 64


def picture(alpha):
    im = Image.new("RGBA" if alpha else "RGB", (W, H))
    px = im.load()
    for y in range(H):
        for x in range(W):
            r = (x * 255) // (W - 1)
            g = (y * 255) // (H - 1)
            b = ((x // 8 + y // 8) % 2) * 200 + 30
            if alpha:
                a = 255 if x < W // 2 else 64 + (y * 191) // (H - 1)
                px[x, y] = (r, g, b, a)
            else:
                px[x, y] = (r, g, b)
    return im


def bmp_v5(im):
    # BI_BITFIELDS with an alpha mask in a 124-byte header, bottom-up rows.
    rows = b"".join(
        b"".join(struct.pack("<BBBB", *(lambda p: (p[2], p[1], p[0], p[3]))(im.getpixel((x, y)))) for x in range(W))
        for y in reversed(range(H)))
    header = struct.pack("<IiiHHIIiiII", 124, W, H, 1, 32, 3, len(rows), 2835, 2835, 0, 0)
    header += struct.pack("<IIII", 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000)
    header += b"BGRs" + bytes(36) + bytes(12) + struct.pack("<IIII", 4, 0, 0, 0)
    offset = 14 + len(header)
    return b"BM" + struct.pack("<IHHI", offset + len(rows), 0, 0, offset) + header + rows


def qoi(im):
    out = bytearray(b"qoif" + struct.pack(">IIBB", W, H, 4, 0))
    index = [(0, 0, 0, 0)] * 64
    prev = (0, 0, 0, 255)
    run = 0
    pixels = [im.getpixel((x, y)) for y in range(H) for x in range(W)]
    for i, p in enumerate(pixels):
        if p == prev:
            run += 1
            if run == 62 or i == len(pixels) - 1:
                out.append(0xC0 | (run - 1))
                run = 0
            continue
        if run:
            out.append(0xC0 | (run - 1))
            run = 0
        h = (p[0] * 3 + p[1] * 5 + p[2] * 7 + p[3] * 11) % 64
        if index[h] == p:
            out.append(h)
        else:
            index[h] = p
            if p[3] == prev[3]:
                dr, dg, db = [((p[k] - prev[k] + 128) & 255) - 128 for k in range(3)]
                if -2 <= dr <= 1 and -2 <= dg <= 1 and -2 <= db <= 1:
                    out.append(0x40 | ((dr + 2) << 4) | ((dg + 2) << 2) | (db + 2))
                elif -32 <= dg <= 31 and -8 <= dr - dg <= 7 and -8 <= db - dg <= 7:
                    out += bytes([0x80 | (dg + 32), ((dr - dg + 8) << 4) | (db - dg + 8)])
                else:
                    out += bytes([0xFE, p[0], p[1], p[2]])
            else:
                out += bytes([0xFF, *p])
        prev = p
    return bytes(out + b"\0" * 7 + b"\1")


def ico(big, small):
    png = io.BytesIO()
    big.save(png, "PNG")
    png = png.getvalue()
    # The small entry: a 32-bit DIB with the doubled height and its AND mask.
    sw, sh = small.size
    rows = b"".join(
        b"".join(struct.pack("<BBBB", *(lambda p: (p[2], p[1], p[0], p[3]))(small.getpixel((x, y)))) for x in range(sw))
        for y in reversed(range(sh)))
    mask = bytes(((sw + 31) // 32) * 4 * sh)
    dib = struct.pack("<IiiHHIIiiII", 40, sw, sh * 2, 1, 32, 0, 0, 0, 0, 0, 0) + rows + mask
    entries = [(big.size, png, 32), ((sw, sh), dib, 32)]
    out = bytearray(struct.pack("<HHH", 0, 1, len(entries)))
    offset = 6 + 16 * len(entries)
    for (w, h), data, bits in entries:
        out += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, bits, len(data), offset)
        offset += len(data)
    for _, data, _ in entries:
        out += data
    return bytes(out)


def oriented_photos(folder):
    # Eight JPEGs of one upright 48 x 32 picture, each stored turned so that
    # its EXIF orientation (1 to 8) shows it upright again.
    import os
    os.makedirs(folder, exist_ok=True)
    upright = Image.new("RGB", (48, 32), (230, 230, 230))
    px = upright.load()
    for y in range(32):
        for x in range(48):
            if x < 8 or (y < 8 and x < 40) or (12 <= y < 18 and x < 28):  # an F
                px[x, y] = (200, 30, 30)
            elif x >= 40 and y >= 24:
                px[x, y] = (30, 30, 200)
    store = {1: None, 2: Image.FLIP_LEFT_RIGHT, 3: Image.ROTATE_180, 4: Image.FLIP_TOP_BOTTOM,
             5: Image.TRANSPOSE, 6: Image.ROTATE_90, 7: Image.TRANSVERSE, 8: Image.ROTATE_270}
    for o, op in store.items():
        im = upright if op is None else upright.transpose(op)
        exif = Image.Exif()
        exif[0x0112] = o
        im.save(f"{folder}/orient-{o}.jpg", quality=95, exif=exif.tobytes())


def main(folder):
    rgba = picture(True)
    rgb = picture(False)
    open(f"{folder}/alpha-96x64.bmp", "wb").write(bmp_v5(rgba))
    open(f"{folder}/icon-96x64.ico", "wb").write(ico(rgba, rgba.resize((24, 16))))
    rgb.save(f"{folder}/photo-96x64.ppm")
    with open(f"{folder}/alpha-96x64.pam", "wb") as f:
        f.write(b"P7\nWIDTH 96\nHEIGHT 64\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n" + rgba.tobytes())
    open(f"{folder}/alpha-96x64.qoi", "wb").write(qoi(rgba))
    rgba.save(f"{folder}/rle-96x64.tga", compression="tga_rle")
    oriented_photos(f"{folder}/orientation")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "tests/data")
