#!/usr/bin/env bash
# Runs a Windows test program under Wine in a fresh throwaway prefix, on a virtual X
# display unless BRIVOK_NO_DISPLAY is set. CTest calls it as the cross-compiling emulator.
# Output goes to files first: Wine's helper processes outlive the program and would keep
# a pipe open.
set -u
. "$(dirname "${BASH_SOURCE[0]}")/prefix.sh"

brivok_new_prefix
trap brivok_drop_prefix EXIT
export BRIVOK_TEST_PREFIX_UNIX="$BRIVOK_PREFIX"

out="$BRIVOK_PREFIX/.stdout"
err="$BRIVOK_PREFIX/.stderr"
if [ -n "${BRIVOK_NO_DISPLAY:-}" ]; then
    env -u DISPLAY "$WINELOADER" "$@" >"$out" 2>"$err" </dev/null
    rc=$?
else
    # End the prefix's processes while the display still exists, so that none of them
    # complains about a lost X connection.
    xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash -c \
        '"$WINELOADER" "$@"; rc=$?; "$BRIVOK_WINESERVER" -k; exit $rc' brivok-run "$@" \
        >"$out" 2>"$err" </dev/null
    rc=$?
fi
cat "$out"
cat "$err" >&2
exit $rc
