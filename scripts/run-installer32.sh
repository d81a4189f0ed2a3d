#!/usr/bin/env bash
# `make run` for the 32-bit release, which this machine's kernel cannot run: the same
# report, made by scripts/run-installer.sh inside the 32-bit root (its 32-bit processes
# translated by qemu-i386), plus a picture of the box as build/run32-box.png. The first run
# makes the root (see scripts/wine/root32.sh).
# Usage: run-installer32.sh [/absolute/path/to/a/32-bit/BrivokButtons.exe]
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/wine/root32.sh"
installer=$(realpath "${1:-$here/dist/win32/BrivokButtons.exe}")
reader="$here/build/win64/tools32/boxreader.exe"
[ -f "$installer" ] || { echo "no such program: $installer" >&2; exit 2; }
[ -f "$reader" ] || { echo "build first: make build" >&2; exit 2; }
brivok_root32

out="$here/build/run32"
rm -rf "$out" "$here/build/run32-box.png" && mkdir -p "$out"
binds=("$here" "rw:$out")
case $installer in "$here"/*) ;; *) binds+=("$(dirname "$installer")") ;; esac
echo "== $installer in the 32-bit root"
brivok_root32_enter "$BRIVOK_ROOT32" "${binds[@]}" -- \
    env BRIVOK_WINE_DIR="$BRIVOK_ROOT32_WINE_DIR" BRIVOK_INSTALLER="$installer" \
        BRIVOK_BOXREADER="$reader" BRIVOK_RUN_OUT="$out" bash "$here/scripts/run-installer.sh"
rc=$?
if [ -f "$out/box.bmp" ] && command -v convert >/dev/null; then
    convert "$out/box.bmp" "$here/build/run32-box.png" && echo "== Picture of the box with its caption bar: build/run32-box.png"
fi
exit $rc
