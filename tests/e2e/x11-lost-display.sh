#!/usr/bin/env bash
# The X11 program without its X server: with no display it does not start,
# and when the server goes away under it, it ends; both times with a clear
# message and exit code 2.
# Usage: x11-lost-display.sh QUORBEL
set -u
exe=$1
dir=$(mktemp -d)
status=0

env -u DISPLAY "$exe" 2>"$dir/none.err"
rc=$?
if [ $rc -eq 2 ] && grep -q "cannot open the X display" "$dir/none.err"; then
    echo "ok   no display: exit 2, $(cat "$dir/none.err")"
else
    echo "FAIL no display: exit $rc, $(cat "$dir/none.err")"
    status=1
fi

Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$dir/display" 2>/dev/null &
server=$!
for _ in $(seq 1 200); do [ -s "$dir/display" ] && break; sleep 0.05; done
DISPLAY=":$(head -n1 "$dir/display")" "$exe" proc-800x600 2>"$dir/lost.err" &
viewer=$!
sleep 1.5
kill -9 $server
wait $server 2>/dev/null
for _ in $(seq 1 100); do kill -0 $viewer 2>/dev/null || break; sleep 0.05; done
if kill -0 $viewer 2>/dev/null; then
    echo "FAIL lost display: the program still runs"
    kill -9 $viewer
    status=1
fi
wait $viewer
rc=$?
if [ $rc -eq 2 ] && grep -q "lost the connection to the X server" "$dir/lost.err"; then
    echo "ok   lost display: exit 2, $(cat "$dir/lost.err")"
else
    echo "FAIL lost display: exit $rc, $(cat "$dir/lost.err")"
    status=1
fi
rm -rf "$dir"
exit $status
