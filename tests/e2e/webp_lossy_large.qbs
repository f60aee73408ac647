# A lossy WebP too large to decode within one paint: it decodes a band of
# rows per paint, and once settled it shows at fit, at 100 % at its centre,
# panned towards its bottom right, and at fit again, as any other image.
arg tests/data/lossy-2000x1400.webp
key 1
key right
key right
key down
key down
key 0
