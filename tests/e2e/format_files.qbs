# One file of each format decoded by the new still decoders: a BMP with alpha
# masks, an icon whose largest entry is a PNG, a binary PPM, a PAM with
# alpha, a QOI and an RLE TGA (tests/data/make_format_samples.py writes them).
# Each is shown at fit and at 100 %, and the BMP is compared with the PAM
# (the same picture) in the difference view.
arg tests/data/alpha-96x64.bmp
arg tests/data/icon-96x64.ico
arg tests/data/photo-96x64.ppm
arg tests/data/alpha-96x64.pam
arg tests/data/alpha-96x64.qoi
arg tests/data/rle-96x64.tga
key ctrl+tab
key 1
key ctrl+tab
key 1
key ctrl+tab
key 1
key ctrl+tab
key 1
key ctrl+tab
key 1
key ctrl+tab
key 1
key ctrl+tab
key 0
key ctrl+tab
key ctrl+tab
key ctrl+tab
key c
key m
key m
key m
key c
