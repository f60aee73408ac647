# Embedded colour profiles: one picture stored plainly, tagged with an
# Adobe RGB-like matrix/TRC profile (converted to sRGB, so its picture
# differs from the plain one), and tagged with a LUT-based profile (shown
# as stored, the same picture as the plain one, and "profile ignored" in
# the status); the same picture as a CMYK JPEG; then the tagged one turned,
# which keeps its conversion.
arg tests/data/icc/cmyk.jpg
arg tests/data/icc/plain.png
arg tests/data/icc/adobe-rgb.png
arg tests/data/icc/lut-profile.png
key ctrl+tab
key ctrl+tab
key ctrl+tab
key ctrl+tab
key ctrl+tab
key ctrl+tab
key ctrl+tab
key r
