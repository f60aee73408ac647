# A generated animated WebP (tests/data/four-frames.webp, 48 x 32, looping
# twice): a full lossy frame, a translucent lossless square blended over it,
# a lossy frame with alpha cleared to transparent afterwards, and a small
# lossless frame drawn without blending; 40, 100, 60 and 250 ms, so 4, 10,
# 6 and 25 hundredths. Stepped with . past the last frame and back with ,
# (going back composes again from frame 0), played on timer ticks and
# paused; then the other tab, a lossy still with an alpha plane.
arg tests/data/lossy-alpha-80x60.webp
arg tests/data/four-frames.webp
key period
key period
key period
key period
key comma
key comma
key space
timer 1000
timer 1050
timer 1160
timer 1230
timer 1490
key space
key comma
key ctrl+tab
