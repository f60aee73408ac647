#!/usr/bin/env bash
# Starts quorbel.exe under Wine on a virtual screen with two images from its
# command line, takes a screenshot of the screen and checks what a person
# would see: the window at its place, the caption band, two tabs (the second
# one active) and the image area. The screenshot stays in the build folder.
# Usage: window-screenshot.sh WINE_RUN QUORBEL_EXE OUT_DIR IMAGE1 IMAGE2
set -u
wine_run=$1
exe=$2
out=$3
shift 3
mkdir -p "$out"
here=$(cd "$(dirname "$0")" && pwd)
args=()
for f in "$@"; do args+=("Z:${f//\//\\}"); done

cat > "$out/shoot.sh" <<INNER
#!/usr/bin/env bash
"$wine_run" "$exe" ${args[@]@Q} &
for i in \$(seq 1 60); do
    sleep 0.5
    xwd -root -silent | xwdtopnm 2>/dev/null > "$out/window.ppm.part" || continue
    # The caption band's background at (120 + 600, 80 + 30) once drawn.
    mv "$out/window.ppm.part" "$out/window.ppm"
    px=\$(python3 "$here/ppm_pixel.py" "$out/window.ppm" 720 110)
    [ "\$px" = "252526" ] && sleep 1 && break
done
xwd -root -silent | xwdtopnm 2>/dev/null > "$out/window.ppm"
"$wine_run" --stop
INNER
chmod +x "$out/shoot.sh"
xvfb-run -a -s "-screen 0 1280x900x24" "$out/shoot.sh"
pnmtopng < "$out/window.ppm" > "$out/window.png" 2>/dev/null

python3 "$here/ppm_pixel.py" "$out/window.ppm" --check
