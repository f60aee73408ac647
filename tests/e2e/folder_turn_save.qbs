# Save as JPEG after a turn writes the pixels as shown: the 40 x 30 PNG turned
# a quarter saves as a 30 x 40 JPEG, which opens upright with no turn of its
# own.
arg small-rgb.png
key r
key ctrl+s
key enter
drop small-rgb.jpg
key ctrl+tab
key h
key ctrl+s
key backspace
key backspace
key backspace
key backspace
key m
key enter
drop small-rgbm.jpg
