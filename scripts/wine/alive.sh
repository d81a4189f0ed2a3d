#!/usr/bin/env bash
# What is still running in the prefix WINEPREFIX names, for a run that ended on a time
# limit: each process with its command line, the windows that are up (a message box shows
# as a #32770 window), then the stack of every Windows thread that Wine's debugger can give,
# and the native stacks of the programs under test (where Wine's debugger stops at a call
# into the Unix side).
set -u
echo "== processes of $WINEPREFIX still alive"
programs=
for environ in /proc/[0-9]*/environ; do
    pid=${environ#/proc/}; pid=${pid%/environ}
    [ "$pid" = $$ ] && continue
    if { tr '\0' '\n' <"$environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
        line=$({ tr '\0' ' ' </proc/"$pid"/cmdline; } 2>/dev/null)
        echo "$pid: $line"
        case ${line%% *} in [Cc]:\\windows\\*) ;; *.exe | *.EXE) programs+=" $pid" ;; esac
    fi
done
echo "== windows"
timeout 60 "$WINELOADER" winedbg --command "info wnd" 2>&1 | head -100
echo "== Windows threads"
timeout 60 "$WINELOADER" winedbg --command "info process" 2>&1
timeout 120 "$WINELOADER" winedbg --command "bt all" 2>&1 | head -400
for pid in $programs; do
    echo "== native stacks of $pid"
    command -v gdb >/dev/null && timeout 60 gdb -p "$pid" -batch -ex "thread apply all bt 15" 2>&1 |
        grep -E '^(Thread |#)' | head -150
done
