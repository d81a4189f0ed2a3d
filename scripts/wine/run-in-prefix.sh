#!/usr/bin/env bash
# Runs a Windows test program under Wine in a fresh throwaway prefix, on a virtual X
# display unless BRIVOK_NO_DISPLAY is set. CTest calls it as the cross-compiling emulator.
# Output goes to files first: Wine's helper processes outlive the program and would keep
# a pipe open. A run still going after BRIVOK_RUN_LIMIT seconds (below CTest's own limit)
# says what was alive in its prefix, and the prefix is ended.
set -u
here=$(dirname "${BASH_SOURCE[0]}")
. "$here/harness.sh"

brivok_new_prefix || { echo "run-in-prefix: cannot copy the template prefix" >&2; exit 125; }
trap brivok_drop_prefix EXIT
out="$BRIVOK_PREFIX/.stdout"
err="$BRIVOK_PREFIX/.stderr"
if [ -n "${BRIVOK_NO_DISPLAY:-}" ]; then
    run=(env -u DISPLAY "$WINELOADER" "$@")
else
    # End the prefix's processes while the display still exists, so that none of them
    # complains about a lost X connection.
    run=("$here/with-display.sh" bash -c '"$WINELOADER" "$@"; rc=$?; "$BRIVOK_WINESERVER" -k; exit $rc'
         brivok-run "$@")
fi
brivok_with_limit "${BRIVOK_RUN_LIMIT:-280}" "$BRIVOK_PREFIX/.limit" "${run[@]}" >"$out" 2>"$err" </dev/null
rc=$?
cat "$out"
cat "$err" >&2
[ "$rc" = 124 ] && sed 's/^the run/run-in-prefix: the run/' "$BRIVOK_PREFIX/.limit" >&2
exit $rc
