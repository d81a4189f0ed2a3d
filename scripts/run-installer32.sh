#!/usr/bin/env bash
# `make run` for the 32-bit release, which this machine's kernel cannot run: the same
# report, made by scripts/run-installer.sh inside the 32-bit guest, plus a picture of the
# box as build/run32-box.png. The first run makes the guest (see tests/vm/guest.sh).
# Usage: run-installer32.sh [/absolute/path/to/a/32-bit/BrivokButtons.exe]
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/tests/vm/guest.sh"
installer=${1:-$here/dist/win32/BrivokButtons.exe}
reader="$here/build/win32/guest-tools/boxreader.exe"
[ -f "$installer" ] || { echo "no such program: $installer" >&2; exit 2; }
[ -f "$reader" ] || { echo "build first: make build32" >&2; exit 2; }

job=$(mktemp -d "${TMPDIR:-/tmp}/brivok-run32.XXXXXX")
trap 'rm -rf "$job"' EXIT
mkdir -p "$job/scripts" "$job/tests/wine" "$job/bin"
cp "$here/scripts/run-installer.sh" "$job/scripts/"
cp "$here/tests/wine/prefix.sh" "$job/tests/wine/"
cp "$installer" "$job/bin/BrivokButtons.exe"
cp "$reader" "$job/bin/boxreader.exe"
cat >"$job/run.sh" <<EOF2
export BRIVOK_WINE_DIR=$BRIVOK_VM_WINE_DIR
export BRIVOK_INSTALLER=\$PWD/bin/BrivokButtons.exe BRIVOK_BOXREADER=\$PWD/bin/boxreader.exe
export BRIVOK_RUN_OUT=\$PWD/out/run
bash scripts/run-installer.sh
EOF2

echo "== $installer in the 32-bit guest (emulated: about a minute)"
out="$here/build/run32"
"$here/tests/vm/run-in-guest.sh" "$job" "$out"
rc=$?
rm -f "$here/build/run32-box.png"
if [ -f "$out/run/box.bmp" ] && command -v convert >/dev/null; then
    convert "$out/run/box.bmp" "$here/build/run32-box.png" && echo "== Picture of the box with its caption bar: build/run32-box.png"
fi
exit $rc
