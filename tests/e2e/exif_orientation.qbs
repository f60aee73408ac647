# Photos the right way up: eight JPEGs of one picture, each stored turned and
# tagged with the EXIF orientation (1 to 8) that shows it upright. Every
# tab shows 48 x 32 with its orientation, and pictures that agree up to the
# JPEG's own loss; then the turned ones are turned back by hand. A PNG opens
# last, so the first state shows no JPEG between its preview and its full
# resolution.
arg tests/data/orientation/orient-1.jpg
arg tests/data/orientation/orient-2.jpg
arg tests/data/orientation/orient-3.jpg
arg tests/data/orientation/orient-4.jpg
arg tests/data/orientation/orient-5.jpg
arg tests/data/orientation/orient-6.jpg
arg tests/data/orientation/orient-7.jpg
arg tests/data/orientation/orient-8.jpg
arg tests/data/small-rgb.png
key ctrl+tab
key ctrl+tab
key ctrl+tab
key ctrl+tab
key ctrl+tab
key ctrl+tab
key ctrl+tab
key ctrl+tab
key ctrl+tab
key ctrl+tab
key r
key ctrl+tab
key h
