# A synthetic 4000 x 3000 image: fitted on open, then zoomed, panned and
# refitted with the keyboard.
arg proc-4000x3000.png
key equals
key equals
key numplus
key minus
key numminus
key shift+equals
key 1
key left
key left
key up
key right
key down
key down
key 0
key shift+0
key ctrl+numplus
