# Stepping through the folder of the active tab with the browser hidden:
# PageDown and PageUp go to the next and previous image in the browser's
# order, Home and End to the first and last; at either end the document
# stays and the message line says so; every image on the way opens in the
# tab, the lossy WebP included. With the browser shown the keys move its
# selection instead. A comparison stays on
# while its first document is replaced.
arg copy-05.png
arg small-rgb.png
key pagedown
key pagedown
key pagedown
key pageup
key pageup
key pageup
key pageup
key pagedown
key pagedown
key home
key pageup
key pagedown
key end
key end
key ctrl+o
key pagedown
key esc
key c
key pagedown
key pageup
key pageup
key m
key home
key c
key ctrl+tab
key pageup
