# Two TIFF files: RGB in separate planes and PackBits strips, and a
# big-endian BigTIFF of grey with alpha in Deflate tiles with the predictor;
# each zoomed in and panned, then the second shown again and fitted.
arg tests/data/strips-rgb.tif
arg tests/data/tiles-grey-alpha.tif
size 640 400
key equals
key equals
key right
key down
key ctrl+tab
key equals
key equals
key equals
key left
key up
key ctrl+tab
key 0
