# An interlaced PNG (every Adam7 pass present) shown at fit, zoomed in about
# a point and panned.
arg tests/data/interlaced.png
wheel 520 352 360
wheel 540 360 120
key left
key 1
