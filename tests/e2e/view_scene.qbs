# The scene of a synthetic 5000 x 3100 image through the zoom range: level,
# exact tiles and residency at each step, wheel zooms about a point, pans to
# the edges, and back to fit.
arg proc-5000x3100
key 1
wheel 100 100 120
wheel 100 100 120
wheel 100 100 120
wheel 100 100 120
wheel 900 600 120
wheel 900 600 120
wheel 900 600 120
wheel 900 600 120
wheel 900 600 120
wheel 900 600 120
wheel 900 600 120
wheel 900 600 120
wheel 900 600 120
wheel 900 600 120
wheel 900 600 120
wheel 500 400 -120
wheel 500 400 -120
wheel 500 400 -120
wheel 500 400 -120
wheel 500 400 -120
wheel 500 400 -120
wheel 500 400 -120
wheel 500 400 -120
wheel 500 400 -120
wheel 500 400 -120
wheel 500 400 -120
wheel 500 400 -120
wheel 500 400 -120
wheel 500 400 -120
wheel 500 400 -120
wheel 500 400 -120
wheel 500 400 -120
wheel 500 400 -120
wheel 500 400 -120
wheel 500 400 -120
wheel 500 400 -120
key 1
down 500 300
move 2500 2000
up 2500 2000
down 500 300
move -4000 -3000
up -4000 -3000
key 0
