#!/usr/bin/env bash
# Runs the built 64-bit installer once in a throwaway Wine prefix under a virtual display:
# prints the message box's caption, text and icon, how the process ran and the exit code,
# saves a picture of the box with its caption bar as build/run-box.png and lists what the
# run installed. BRIVOK_INSTALLER, BRIVOK_BOXREADER and BRIVOK_RUN_OUT name other files
# (`make run32` runs this script inside the 32-bit root that way, and turns the picture
# into a PNG on the host).
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/wine/harness.sh"

installer="${BRIVOK_INSTALLER:-$here/dist/win64/BrivokButtons.exe}"
reader="${BRIVOK_BOXREADER:-$here/build/win64/tests/tools/boxreader.exe}"
[ -f "$installer" ] && [ -f "$reader" ] || { echo "build first: make build" >&2; exit 2; }

brivok_new_prefix
trap brivok_drop_prefix EXIT
brivok_use_virtual_desktop 1024x768 || { echo "cannot set up the virtual desktop" >&2; exit 2; }
user_dir=$(ls -d "$WINEPREFIX"/drive_c/users/*/ | grep -v /Public/ | head -n 1)
before="$WINEPREFIX/.before"
touch "$before"
sleep 1

out="${BRIVOK_RUN_OUT:-$here/build/run}"
mkdir -p "$out"
rm -f "$out"/box.bmp
# With BRIVOK_RUN_OUT the caller makes the picture (in the 32-bit root the clone is read-only).
[ -n "${BRIVOK_RUN_OUT:-}" ] || rm -f "$here/build/run-box.png"

brivok_with_limit 240 "$out/limit.txt" "$here/scripts/wine/with-display.sh" bash -c '
    "$WINELOADER" "$1" >"$3/installer.out" 2>&1 &
    pid=$!
    "$WINELOADER" "$2" "Z:${3//\//\\}\\box.bmp" >"$3/box.txt" 2>&1
    echo $? >"$3/reader-code"
    wait $pid
    echo $? >"$3/exit-code"
    "$BRIVOK_WINESERVER" -k
' brivok-run "$installer" "$reader" "$out" </dev/null
[ $? = 124 ] && cat "$out/limit.txt"

echo "== Message box"
cat "$out/box.txt"
echo "== Exit code: $(cat "$out/exit-code" 2>/dev/null || echo none)"
picture=0
if [ "$(cat "$out/reader-code" 2>/dev/null)" = 0 ] && [ -f "$out/box.bmp" ]; then
    picture=1
    if [ -z "${BRIVOK_RUN_OUT:-}" ]; then
        convert "$out/box.bmp" "$here/build/run-box.png" &&
            echo "== Picture of the box with its caption bar: build/run-box.png" || picture=0
    fi
fi

echo "== Files the run created or changed in the user's profile"
(cd "$user_dir" && find . -newer "$before" -type f ! -path './AppData/Local/Microsoft/Windows/INetCache/*' \
    ! -path './Temp/*' | sed 's|^\./||' | sort) || true
cache=$(cd "$user_dir" && find . -newer "$before" -type f -path '*INetCache*' | wc -l)
echo "   (and $cache file(s) in the URL cache)"
for f in "$user_dir"/Favorites/*/*.url; do
    [ -f "$f" ] || continue
    [ "$f" -nt "$before" ] || continue
    echo "-- ${f#$user_dir}"
    sed 's/\r$//' "$f" | cut -c1-160
done
echo "== Links order value"
if "$WINELOADER" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\MenuOrder\Favorites\Links' \
        /v Order >"$out/order.txt" 2>&1; then
    tr -d '\r' <"$out/order.txt" | grep -v '^$'
else
    echo "   (none)"
fi
if [ "$picture" = 0 ]; then
    echo "FAILED: no picture of the box with its caption bar was made (see the picture line above)" >&2
    exit 3
fi
exit "$(cat "$out/exit-code" 2>/dev/null || echo 1)"
