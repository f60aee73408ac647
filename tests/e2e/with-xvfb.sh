#!/usr/bin/env bash
# Runs a command on a private virtual X screen (1280 x 900, 24 bits). The
# server picks a free display number itself (-displayfd), so parallel runs
# never collide; it is ended, by its own process id, when the command ends.
# The server does not reset when its last client leaves, so a command may
# connect again and again. QB_XVFB_ARGS adds server options (for instance
# "-extension MIT-SHM").
# Usage: with-xvfb.sh COMMAND [ARG...]
set -u
dir=$(mktemp -d)
# shellcheck disable=SC2086
Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp -noreset ${QB_XVFB_ARGS:-} 3>"$dir/display" 2>"$dir/log" &
server=$!
for _ in $(seq 1 200); do
    [ -s "$dir/display" ] && break
    kill -0 $server 2>/dev/null || break
    sleep 0.05
done
if [ ! -s "$dir/display" ]; then
    echo "with-xvfb: the virtual screen did not start" >&2
    cat "$dir/log" >&2
    kill $server 2>/dev/null
    rm -rf "$dir"
    exit 69
fi
export DISPLAY=":$(head -n1 "$dir/display")"
"$@"
status=$?
kill $server 2>/dev/null
wait $server 2>/dev/null
rm -rf "$dir"
exit $status
