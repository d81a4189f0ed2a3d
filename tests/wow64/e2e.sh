#!/usr/bin/env bash
# The end-to-end driver's cases on a 32-bit build in the 32-bit root (scripts/wine/root32.sh), two at a time,
# each in a fresh prefix copy; reports in order. Fails when a case fails or the root does.
# Usage: e2e.sh INSTALLER TOOLS_DIR CASE...
set -u
here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/scripts/wine/root32.sh"
[ $# -ge 3 ] || { echo "usage: $0 INSTALLER TOOLS_DIR CASE..." >&2; exit 2; }
installer=$(realpath "$1") tools=$(realpath "$2")
shift 2
[ -f "$installer" ] && [ -f "$tools/boxreader.exe" ] ||
    { echo "missing $installer or $tools/boxreader.exe: make build" >&2; exit 2; }
brivok_root32

reports=$(mktemp -d "${TMPDIR:-/tmp}/brivok-e2e32.XXXXXX")
trap 'rm -rf "$reports"' EXIT
start=$SECONDS
brivok_root32_enter "$BRIVOK_ROOT32" "$here" "$(dirname "$installer")" "$tools" "rw:$reports" -- \
    env BRIVOK_WINE_DIR="$BRIVOK_ROOT32_WINE_DIR" bash -c '
        reports=$1 driver=$2/tests/e2e/installer_paths.py installer=$3 tools=$4
        shift 4
        printf "%s\n" "$@" | xargs -P 2 -I{} bash -c "
            start=\$SECONDS
            python3 $driver --case {} --unsigned --installer $installer --boxreader $tools/boxreader.exe \
                >$reports/{}.log 2>&1
            echo \$? >$reports/{}.status
            echo \"   (\$((SECONDS - start)) s)\" >>$reports/{}.log"
    ' brivok-e2e32 "$reports" "$here" "$installer" "$tools" "$@"
entered=$?
status=0
for case in "$@"; do
    cat "$reports/$case.log" 2>/dev/null
    verdict=$(cat "$reports/$case.status" 2>/dev/null)
    [ -n "$verdict" ] || echo "== $case: the driver did not finish"
    # 77: skipped, with the reason in its report (as CTest takes it)
    [ "$verdict" = 0 ] || [ "$verdict" = 77 ] || status=1
done
echo "(32-bit root: $((SECONDS - start)) s for $# case(s))"
[ $entered -eq 3 ] && exit 3
# One case, skipped: say so to CTest.
[ $# -eq 1 ] && [ "$verdict" = 77 ] && exit 77
exit $status
