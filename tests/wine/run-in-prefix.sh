#!/usr/bin/env bash
# Runs a Windows test program under Wine in a fresh throwaway prefix, on a virtual X
# display unless BRIVOK_NO_DISPLAY is set. CTest calls it as the cross-compiling emulator.
# Output goes to files first: Wine's helper processes outlive the program and would keep
# a pipe open. A run still going after BRIVOK_RUN_LIMIT seconds (below CTest's own limit)
# says what was alive in its prefix, and the prefix is ended.
set -u
here=$(dirname "${BASH_SOURCE[0]}")
. "$here/prefix.sh"

brivok_boot_template
BRIVOK_PREFIX=$(mktemp -d "$BRIVOK_WINE_DIR/prefix.XXXXXX")
trap brivok_drop_prefix EXIT
# Wine's own programs and libraries (over a gigabyte) are only ever read: they are linked
# from the template, everything else is copied.
template="$BRIVOK_WINE_DIR/template"
tar -C "$template" --exclude=./drive_c/windows --exclude=./.booted -cf - . | tar -C "$BRIVOK_PREFIX" -xf -
cp -al "$template/drive_c/windows" "$BRIVOK_PREFIX/drive_c/windows"
find "$BRIVOK_PREFIX/drive_c/windows" -type f -links +1 ! \( -iname '*.dll' -o -iname '*.exe' \
    -o -iname '*.drv' -o -iname '*.sys' -o -iname '*.ocx' -o -iname '*.cpl' -o -iname '*.acm' \
    -o -iname '*.tlb' \) -exec sh -c 'for f; do cp -p "$f" "$f.copy" && mv -f "$f.copy" "$f"; done' sh {} +
export WINEPREFIX="$BRIVOK_PREFIX" HOME="$BRIVOK_PREFIX/home"
export BRIVOK_TEST_PREFIX_UNIX="$BRIVOK_PREFIX"

out="$BRIVOK_PREFIX/.stdout"
err="$BRIVOK_PREFIX/.stderr"
if [ -n "${BRIVOK_NO_DISPLAY:-}" ]; then
    env -u DISPLAY "$WINELOADER" "$@" >"$out" 2>"$err" </dev/null &
else
    # End the prefix's processes while the display still exists, so that none of them
    # complains about a lost X connection.
    "$here/with-display.sh" bash -c '"$WINELOADER" "$@"; rc=$?; "$BRIVOK_WINESERVER" -k; exit $rc' \
        brivok-run "$@" >"$out" 2>"$err" </dev/null &
fi
run=$!
limit=${BRIVOK_RUN_LIMIT:-280}
(
    sleep "$limit" & trap 'kill $! 2>/dev/null; exit 0' TERM; wait $!
    echo "run-in-prefix: the run did not end within $limit s"
    "$here/alive.sh"
    "$BRIVOK_WINESERVER" -k
) >"$BRIVOK_PREFIX/.limit" 2>&1 &
watchdog=$!
wait "$run"
rc=$?
kill "$watchdog" 2>/dev/null
wait "$watchdog" 2>/dev/null
cat "$out"
cat "$err" >&2
if [ -s "$BRIVOK_PREFIX/.limit" ]; then
    cat "$BRIVOK_PREFIX/.limit" >&2
    [ "$rc" = 0 ] && rc=124
fi
exit $rc
