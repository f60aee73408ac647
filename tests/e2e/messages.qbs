# Messages for what cannot be opened; a file that cannot be read keeps its
# tab without pixels.
arg notes.txt
arg does-not-exist.png
sync 42
drop readme
key ctrl+w
key alt+f4
key 0
