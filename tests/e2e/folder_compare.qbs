# Compare with real files: a PNG against a JPEG of another size, then two
# copies of the PNG (their difference is black), through every mode, with
# the divider dragged, zoomed and panned.
arg stripes.jpg
arg copy-01.png
arg copy-02.png
key c
key m
key m
key m
frame
key m
key ctrl+shift+tab
key c
key c
key m
key m
key m
frame
key m
down 520 300
move 600 300
up 600 300
key m
down 700 352
move 700 200
up 700 200
key m
key equals
key equals
key left
key up
frame
key m
key 0
