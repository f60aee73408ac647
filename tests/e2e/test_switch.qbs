# --test may stand anywhere and any number of times; the other arguments
# still open, in order.
arg proc-10x10
arg --test
arg proc-20x20.png
arg --test
arg proc-30x30.gif
key ctrl+tab
