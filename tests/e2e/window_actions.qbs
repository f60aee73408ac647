# Pointer work on the window: tabs clicked, dragged and closed by their close
# box, the image panned, fitted by a double-click, zoomed by the wheel about
# the pointer and panned with Shift+wheel, the window dragged and resized
# down to its minimum, maximised from the caption band, and a real mouse
# click that test mode ignores.
arg proc-3000x2000.png
arg proc-800x600.png
arg proc-640x480.png
frame
# Click the first tab (tabs start at x 106, 180 pixels apart).
down 150 20
up 150 20
# Drag it over the third tab: the order follows.
down 150 20
move 330 20
move 500 20
up 500 20
# The close box of the first tab (at 80 + 180 = 260).
down 265 20
up 265 20
# Pan the image by dragging, then fit it with a double-click.
down 500 400
move 420 350
up 420 350
dclick 500 400
up 500 400
# Wheel: two notches in about a point, one in two halves, then Shift pans.
wheel 300 200 240
wheel 300 200 60
wheel 300 200 60
wheel 300 200 -120 shift
# Real input is ignored in test mode.
rawdown 150 20
rawup 150 20
# Resize from the left edge past the minimum width.
down 1 300
move 900 300
up 900 300
frame
# Move the window by its caption band (between Open and the tabs).
down 95 20
move 135 60
up 135 60
# Maximise and restore by double-clicks on the caption band.
dclick 95 20
up 95 20
frame
dclick 95 20
up 95 20
sync 42
key alt+f4
