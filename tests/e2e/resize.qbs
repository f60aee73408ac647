# The fitted view follows the window; a zoomed one keeps its zoom.
arg proc-2000x1000
size 1600 900
size 640 320
key equals
size 1040 700
key 0
size 2000 1200
