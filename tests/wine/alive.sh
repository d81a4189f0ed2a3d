#!/usr/bin/env bash
# What is still running in the prefix WINEPREFIX names, for a run that ended on a time
# limit: each process with its command line, the windows that are up (a message box shows
# as a #32770 window), then the stack of every Windows thread that Wine's debugger can give.
set -u
echo "== processes of $WINEPREFIX still alive"
for environ in /proc/[0-9]*/environ; do
    pid=${environ#/proc/}; pid=${pid%/environ}
    [ "$pid" = $$ ] && continue
    if { tr '\0' '\n' <"$environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
        echo "$pid: $({ tr '\0' ' ' </proc/"$pid"/cmdline; } 2>/dev/null)"
    fi
done
echo "== windows"
timeout 60 "$WINELOADER" winedbg --command "info wnd" 2>&1 | head -100
echo "== Windows threads"
timeout 60 "$WINELOADER" winedbg --command "info process" 2>&1
timeout 120 "$WINELOADER" winedbg --command "bt all" 2>&1 | head -400
