# A generated four-frame GIF (tests/data/four-frames.gif, 32 x 24, looping
# forever): a red screen with a white border, a green square with a
# transparent cross (disposal 2), interlaced blue stripes hanging off the
# bottom right corner (disposal 3) and a small white square, with delays of
# 0, 5, 25 and 10 hundredths, so 20, 50, 250 and 100 ms. Stepped with . past
# the last frame and back with , (going back composes again from frame 0),
# then played on timer ticks and paused.
arg tests/data/four-frames.gif
key period
key period
key period
key period
key comma
key comma
key space
timer 1000
timer 1100
timer 1260
timer 1370
timer 1395
timer 1450
key space
key comma
