# Stepping through a folder of photos stored turned, each tagged to show
# upright: PageDown and PageUp replace the document with the next and
# previous image, Home and End go to the first and last; every one shows
# 48 x 32 whatever its stored size. The first photo is dropped after
# start-up, so the first state shows no JPEG between its preview and its
# full resolution.
arg tests/data/small-rgb.png
drop tests/data/orientation/orient-1.jpg
key pagedown
key pagedown
key pagedown
key pagedown
key pagedown
key pagedown
key pagedown
key pagedown
key pageup
key pageup
key home
key pageup
key end
