#!/usr/bin/env bash
# Runs a command on a virtual X display of its own. Xvfb picks a free display number itself
# and reports it once it is ready (-displayfd), so runs side by side never race for one.
set -u
coproc XVFB { exec Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null; }
if ! read -r -t 60 number <&"${XVFB[0]}"; then
    echo "with-display: Xvfb reported no display within 60 s" >&2
    kill "$XVFB_PID" 2>/dev/null
    exit 125
fi
xvfb=$XVFB_PID
DISPLAY=":$number" "$@"
rc=$?
kill "$xvfb" 2>/dev/null
wait "$xvfb" 2>/dev/null
exit $rc
