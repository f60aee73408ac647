# Turning and mirroring: R turns the active image a quarter clockwise, Shift+R
# counter-clockwise, H mirrors it left to right. On the 600 x 400 WebP with
# fit on, each turn re-fits the exchanged size; at 100 % and panned away
# from the middle, the image point at the centre stays there. The JPEG's
# full-resolution tiles turn as its preview does.
arg tests/data/stripes.jpg
arg tests/data/lossless-600x400.webp
key r
key r
key shift+r
key h
key 1
key right
key down
key r
key h
key shift+r
key shift+r
key 0
key ctrl+tab
key 1
key r
key equals
key h
key ctrl+tab
