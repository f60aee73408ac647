# A JPEG dropped after start-up: its preview and its second stage run in one
# paint, and the screen must end with the full-resolution pass (the frame
# check compares the window on screen with the last frame). Then the same
# zoomed in twice and after a pan.
drop tests/data/stripes.jpg
frame
key plus
key plus
frame
key left
frame
