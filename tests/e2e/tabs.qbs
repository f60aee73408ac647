# Several tabs: switching, moving, closing, and reopening a path.
arg proc-100x100.png
arg proc-200x100.png
arg proc-300x100.png
arg proc-400x100.png
key ctrl+tab
key ctrl+shift+tab
key ctrl+pageup
key ctrl+shift+pageup
key ctrl+shift+pageup
key ctrl+shift+pagedown
key ctrl+w
key ctrl+w
drop proc-600x60.png
drop proc-500x50.png | proc-200x100.png
key ctrl+w
key ctrl+w
key ctrl+w
key ctrl+w
key ctrl+tab
