#!/usr/bin/env bash
# The end-to-end driver's 32-bit cases on a 32-bit build, all in one boot of the guest,
# each in a fresh copy of the booted prefix, two at a time. Fails when any case fails, and when the
# guest cannot be made or does not come back.
# Usage: e2e-in-guest.sh INSTALLER TOOLS_DIR OUT_DIR
set -u
here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/tests/vm/guest.sh"
[ $# -eq 3 ] || { echo "usage: $0 INSTALLER TOOLS_DIR OUT_DIR" >&2; exit 2; }
[ -f "$1" ] && [ -f "$2/boxreader.exe" ] || { echo "missing $1 or $2/boxreader.exe: make build" >&2; exit 2; }

job=$(mktemp -d "${TMPDIR:-/tmp}/brivok-e2e32.XXXXXX")
trap 'rm -rf "$job"' EXIT
mkdir -p "$job/tests/e2e" "$job/tests/wine" "$job/tests/support" "$job/bin"
cp "$here/tests/e2e/installer_paths.py" "$job/tests/e2e/"
cp "$here/tests/support/pe_image.py" "$job/tests/support/"
cp "$here/tests/wine/prefix.sh" "$here/tests/wine/with-display.sh" "$here/tests/wine/alive.sh" "$job/tests/wine/"
cp "$1" "$job/bin/BrivokButtons.exe"
cp -r "$2" "$job/tools"
# Two cases at a time, each with its own prefix, wineserver and display: the guest has two
# processors and a case spends most of its time in one emulated Wine process.
cat >"$job/run.sh" <<EOF2
export BRIVOK_WINE_DIR=$BRIVOK_VM_WINE_DIR
driver=tests/e2e/installer_paths.py
cases=\$(python3 \$driver --list32 | tr ';' ' ')
mkdir -p cases
for case in \$cases; do echo \$case; done | xargs -P 2 -I{} bash -c '
    start=\$SECONDS
    python3 '\$driver' --case {} --installer bin/BrivokButtons.exe --boxreader tools/boxreader.exe \\
        >cases/{}.log 2>&1
    echo \$? >cases/{}.status
    echo "   (\$((SECONDS - start)) s)" >>cases/{}.log'
status=0
for case in \$cases; do
    cat cases/\$case.log
    [ "\$(cat cases/\$case.status 2>/dev/null)" = 0 ] || status=1
done
exit \$status
EOF2
# The emulator takes whatever processor time the rest of the suite, which runs beside it and
# measures bounds of its own, leaves; it has the machine to itself once that is done.
nice -n 10 "$here/tests/vm/run-in-guest.sh" "$job" "$3" 1200
