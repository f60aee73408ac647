# WebP files: a lossless 600 x 400 image with a half-transparent band, shown
# at fit, at 100 %, zoomed in and out so its tiles serve several pyramid
# levels, and panned; then a lossy file, decoded and shown like the other.
arg tests/data/lossless-600x400.webp
arg tests/data/lossy-64x48.webp
key ctrl+tab
key 1
key equals
key equals
key right
key down
key minus
key minus
key minus
key minus
key minus
key minus
key minus
key 0
key ctrl+tab
