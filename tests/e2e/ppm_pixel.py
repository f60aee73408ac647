"""Reads pixels of a screenshot in PPM form (8 or 16 bits a sample).

ppm_pixel.py FILE X Y    prints the pixel at (X, Y) as rrggbb
ppm_pixel.py FILE --check  checks the viewer window drawn at (120, 80)
ppm_pixel.py FILE --text X0 Y0 X1 Y1 NAME  checks that text (light pixels)
                                           is drawn in that screen rectangle
"""
import sys


def load(path):
    data = open(path, 'rb').read()
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b'#':
            pos = data.index(b'\n', pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    pos += 1
    if fields[0] != b'P6':
        raise SystemExit('not a binary PPM')
    width, height, maxval = int(fields[1]), int(fields[2]), int(fields[3])
    size = 2 if maxval > 255 else 1
    return data[pos:], width, height, size


def pixel(image, x, y):
    body, width, height, size = image
    if not (0 <= x < width and 0 <= y < height):
        return 'outside'
    o = (y * width + x) * 3 * size
    return '%02x%02x%02x' % tuple(body[o + k * size] for k in range(3))


def check(image):
    def window(x, y):
        return pixel(image, 120 + x, 80 + y)
    checks = [
        ('caption band', window(600, 30), {'252526'}),
        ('first tab (inactive)', window(106 + 120, 20), {'373737'}),
        ('second tab (active)', window(286 + 120, 20), {'1e1e1e'}),
        ('new-tab button', window(466 + 15, 9), {'373737'}),
        ('status bar', window(300, 690), {'252526'}),
        ('outside the window', pixel(image, 1200, 850), {'000000'}),
    ]
    failed = False
    for name, got, want in checks:
        ok = got in want
        failed |= not ok
        print(('ok   ' if ok else 'FAIL ') + name + ': ' + got)
    area = window(200, 200)
    ok = area in ('2a2a2a', '363636')
    failed |= not ok
    print(('ok   ' if ok else 'FAIL ') + 'checkerboard around the image: ' + area)
    # The active image (the disc, 256 x 256 at 100 %) sits at the centre of
    # the image area, (520, 352): its middle is an opaque orange-red.
    centre = window(520, 352)
    r, g, b = int(centre[0:2], 16), int(centre[2:4], 16), int(centre[4:6], 16)
    ok = r > 220 and 40 < g < 160 and b < 80
    failed |= not ok
    print(('ok   ' if ok else 'FAIL ') + 'the image at the centre: ' + centre)
    return 1 if failed else 0


def text_drawn(image, x0, y0, x1, y1, name):
    light = 0
    for y in range(y0, y1):
        for x in range(x0, x1):
            p = pixel(image, x, y)
            if p != 'outside' and min(int(p[k:k + 2], 16) for k in (0, 2, 4)) >= 0x90:
                light += 1
    ok = light >= 20
    print(('ok   ' if ok else 'FAIL ') + name + ': %d light pixels' % light)
    return 0 if ok else 1


if __name__ == '__main__':
    image = load(sys.argv[1])
    if sys.argv[2] == '--check':
        sys.exit(check(image))
    if sys.argv[2] == '--text':
        x0, y0, x1, y1 = (int(v) for v in sys.argv[3:7])
        sys.exit(text_drawn(image, x0, y0, x1, y1, sys.argv[7]))
    print(pixel(image, int(sys.argv[2]), int(sys.argv[3])))
