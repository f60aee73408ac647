#!/usr/bin/env bash
# One window for every file opened, on Windows (under Wine, on a virtual
# screen): a second start of quorbel.exe with files sends them to the running
# window with WM_COPYDATA and ends with 0; the window opens them (its title
# shows the last one) and stays the only one; --new-window opens a second
# window. A window in test mode refuses hand-overs: a start beside it opens
# its own window, and the next start goes to that one. Titles are read from
# the X windows Wine makes.
# Usage: wine-handover.sh WINE_RUN QUORBEL_EXE WORK_DIR IMAGE
set -u
wine_run=$1
exe=$2
work=$3
image=$4
rm -rf "$work"
mkdir -p "$work"
for n in a b c t; do cp "$image" "$work/$n.png"; done
win() { local p="Z:$work/$1"; echo "${p//\//\\}"; }

cat > "$work/run.sh" <<INNER
#!/usr/bin/env bash
set -u
status=0
titles() { xwininfo -root -tree 2>/dev/null | grep -o '"[^"]* - Quorbel"' | sort; }
wait_titles() {
    for _ in \$(seq 1 120); do
        [ "\$(titles | tr '\n' ' ')" = "\$1" ] && return 0
        sleep 0.25
    done
    echo "FAIL waiting for windows: \$1; seen: \$(titles | tr '\n' ' ')"
    status=1
}
"$wine_run" "$exe" --test '$(win t.png)' &
wait_titles '"t.png - Quorbel" '
"$wine_run" "$exe" '$(win a.png)' &
first=\$!
wait_titles '"a.png - Quorbel" "t.png - Quorbel" ' && echo "ok   the test-mode window took no hand-over"
timeout 60 "$wine_run" "$exe" '$(win b.png)' '$(win c.png)'
rc=\$?
if [ \$rc -ne 0 ]; then echo "FAIL second start: exit \$rc"; status=1; else echo "ok   second start: exit 0"; fi
wait_titles '"c.png - Quorbel" "t.png - Quorbel" ' && echo "ok   one window, showing c.png"
timeout 60 "$wine_run" "$exe" '$(win b.png)'
wait_titles '"b.png - Quorbel" "t.png - Quorbel" ' && echo "ok   b.png was open in it already"
"$wine_run" "$exe" --new-window '$(win a.png)' &
wait_titles '"a.png - Quorbel" "b.png - Quorbel" "t.png - Quorbel" ' && echo "ok   --new-window opens its own window"
"$wine_run" --stop
wait \$first 2>/dev/null
exit \$status
INNER
chmod +x "$work/run.sh"
xvfb-run -a -s "-screen 0 1280x900x24" "$work/run.sh"
