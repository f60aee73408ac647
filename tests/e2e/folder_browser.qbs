# The open browser in a generated folder: ".." and a subfolder first, then
# the images sorted (a file that is not an image is never listed). Keys move
# the selection and page through the list, Enter enters the subfolder and
# Backspace leaves it, Esc closes the browser; the scroll thumb is dragged;
# a double-click on a row opens that file.
key ctrl+o
key down
key down
key pagedown
key end
key up
key home
key down
key enter
key backspace
key esc
key ctrl+o
key end
down 1029 115
move 1029 300
move 1029 900
move 1029 200
up 1029 200
dclick 200 200
key ctrl+o
key down
key down
key enter
