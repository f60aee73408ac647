#!/usr/bin/env bash
# Starts the X11 program on a private virtual screen with two images from its
# command line, takes a screenshot of the screen and checks what a person
# would see: the window at its place, the caption band, two tabs (the second
# one active), the image area with the decoded image at its centre, and the
# texts drawn. The screenshot stays in the build folder.
# Usage: x11-screenshot.sh QUORBEL OUT_DIR IMAGE1 IMAGE2
set -u
exe=$1
out=$2
shift 2
mkdir -p "$out"
here=$(cd "$(dirname "$0")" && pwd)

cat > "$out/shoot-x11.sh" <<INNER
#!/usr/bin/env bash
"$exe" ${@@Q} &
pid=\$!
for i in \$(seq 1 60); do
    sleep 0.25
    xwd -root -silent | xwdtopnm 2>/dev/null > "$out/x11-window.ppm.part" || continue
    mv "$out/x11-window.ppm.part" "$out/x11-window.ppm"
    # The caption band's background at (120 + 600, 80 + 30) once drawn.
    px=\$(python3 "$here/ppm_pixel.py" "$out/x11-window.ppm" 720 110)
    [ "\$px" = "252526" ] && sleep 0.5 && break
done
xwd -root -silent | xwdtopnm 2>/dev/null > "$out/x11-window.ppm"
kill \$pid
wait \$pid
INNER
chmod +x "$out/shoot-x11.sh"
"$here/with-xvfb.sh" "$out/shoot-x11.sh"
pnmtopng < "$out/x11-window.ppm" > "$out/x11-window.png" 2>/dev/null

status=0
python3 "$here/ppm_pixel.py" "$out/x11-window.ppm" --check || status=1
# Texts: the tab names and the status line are drawn in light grey over the
# dark bands.
python3 "$here/ppm_pixel.py" "$out/x11-window.ppm" --text 232 92 380 112 'first tab name' || status=1
python3 "$here/ppm_pixel.py" "$out/x11-window.ppm" --text 900 750 1150 772 'status line' || status=1
exit $status
