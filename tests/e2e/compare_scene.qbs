# Compare of two synthetic images of different sizes: side by side, the two
# overlays and difference (C starts, M cycles), B following A's zoom and
# pan, the divider dragged, the active tab switched away and back, and
# compare ended by closing B.
arg proc-4000x3000
arg proc-1000x800.png
arg proc-300x300
key ctrl+tab
key ctrl+tab
key c
key m
key m
key m
key m
key equals
key equals
key right
key m
down 520 300
move 700 300
up 700 300
key m
key m
key ctrl+tab
key ctrl+shift+tab
key 1
key m
key m
key m
key ctrl+tab
key ctrl+w
key c
