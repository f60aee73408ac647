# Replacing a file asks once for that one file. Two saves make
# small-rgb.jpg in the folder and in sub; then, after the warning for the
# folder's file, entering sub (Down, Right) and pressing Enter asks about
# sub's file instead of replacing it, and a second Enter replaces it. After
# the warning in sub, going back up (Left) asks about the parent's file
# again; Down and Up back to the same row ask again too; Esc leaves.
arg small-rgb.png
key ctrl+s
key enter
key ctrl+s
key down
key right
key enter
key ctrl+s
key enter
key down
key right
key enter
key enter
key ctrl+s
key down
key right
key enter
key left
key enter
key down
key up
key enter
key esc
