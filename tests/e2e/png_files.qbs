# Real PNG files: an RGB image, one with transparent, half-transparent and
# opaque columns over the checkerboard, and a three-frame animation stepped
# with . and , and then played on timer ticks (frame delays of 1/0, 1/3 and
# 10/100 of a second, so 20, 330 and 100 ms).
arg tests/data/small-rgb.png
arg tests/data/alpha-steps.png
arg tests/data/three-frames.png
key period
key period
key period
key comma
key 1
key equals
key space
timer 1000
timer 1010
timer 1020
timer 1200
timer 1360
timer 1470
key space
key ctrl+tab
key ctrl+tab
key 0
