# Save as JPEG: Ctrl+S proposes a name from the file's, F5 to F8 change the
# options, Enter saves into the file's folder. A name typed without its
# extension gets ".jpg"; saving over an existing file asks once, then
# replaces it; Esc leaves the form. A GIF saves the frame shown, a WebP its
# image, a PNG and a JPEG theirs.
arg small-rgb.png
arg stripes.jpg
arg four-frames.gif
arg lossless-600x400.webp
key ctrl+s
key f6
key enter
key ctrl+shift+tab
key period
key period
key ctrl+s
key f5
key f8
key f8
key enter
key ctrl+shift+tab
key ctrl+s
key f6
key f7
key f8
key f8
key enter
key ctrl+shift+tab
key ctrl+s
key backspace
key backspace
key backspace
key backspace
key x
key enter
key ctrl+s
key backspace
key backspace
key backspace
key backspace
key x
key enter
key enter
key ctrl+s
key 0x50
key esc
