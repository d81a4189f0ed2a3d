#!/usr/bin/env bash
# Times the installer against a reference program that does only the waits an installer
# run cannot avoid (two browser instances, the icon download, the 200 ms pause, one
# message box attempt), alternately, in one booted prefix without a display. Both fetch
# the icon from a server on 127.0.0.1: the installer runs from a copy of the built image
# whose web root is swapped for that server's, as the end-to-end driver's cases run it.
# BENCH_RUNS (default 10) runs of each; BENCH_PORT (default 18765) for the server.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/wine/harness.sh"
runs=${BENCH_RUNS:-10}
port=${BENCH_PORT:-18765}

reference="$here/build/win64/tests/tools/bench_reference.exe"
icon="$here/build/win64/generated/BrivokButtons.ico"
[ -f "$reference" ] && [ -f "$icon" ] || { echo "build first: make build" >&2; exit 2; }

bench="$here/build/bench"
mkdir -p "$bench"
# The copy and its root (the built root's length, padded with a path segment where shorter).
variant=$(cd "$here/tests/e2e" && python3 -c 'import sys; from runner import root_variant
print(*root_variant(*sys.argv[1:]), sep="\n")' "$here/dist/win64/BrivokButtons.exe" "http://127.0.0.1:$port/")
{ read -r installer; read -r root; } <<<"$variant"
icon_path="/${root#http://127.0.0.1:$port/}files/bin_brivok_favicon.ico"
echo "== The installer for $root: $installer"

serve="$bench/www"
mkdir -p "$(dirname "$serve$icon_path")"
cp "$icon" "$serve$icon_path"
python=$(python3 -c 'import sys; print(sys.executable)')
"$python" -m http.server --bind 127.0.0.1 --directory "$serve" "$port" >"$bench/server.log" 2>&1 &
server=$!

brivok_new_prefix
cleanup() {
    kill "$server" 2>/dev/null || true
    brivok_drop_prefix
    rm -rf "$(dirname "$installer")"
}
trap cleanup EXIT
unset DISPLAY
# One wineserver for the whole benchmark, so that no run pays for starting it.
"$BRIVOK_WINESERVER" -p
for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
done

windows_path() { echo "Z:${1//\//\\}"; }
icon_url="http://127.0.0.1:$port$icon_path"

# Milliseconds of one run; the program's output goes to a file, since Wine's helper
# processes may keep a pipe open after it ends.
time_run() {
    local start end
    start=$(date +%s%N)
    "$WINELOADER" "$@" >"$bench/run.out" 2>&1 </dev/null || true
    end=$(date +%s%N)
    echo $(( (end - start) / 1000000 ))
}

echo "== Warming up"
time_run "$(windows_path "$installer")" >/dev/null
time_run "$(windows_path "$reference")" "$icon_url" >/dev/null

installer_times=()
reference_times=()
for i in $(seq "$runs"); do
    installer_times+=("$(time_run "$(windows_path "$installer")")")
    reference_times+=("$(time_run "$(windows_path "$reference")" "$icon_url")")
    echo "   run $i: installer ${installer_times[-1]} ms, reference ${reference_times[-1]} ms"
done

downloads=$(grep -c "GET $icon_path" "$bench/server.log" || true)
"$python" - "$downloads" "$runs" "${installer_times[*]}" "${reference_times[*]}" \
    "$here/dist/win32/BrivokButtons.exe" "$here/dist/win64/BrivokButtons.exe" <<'PY'
import os, statistics, sys
downloads, runs = int(sys.argv[1]), int(sys.argv[2])
installer = [int(t) for t in sys.argv[3].split()]
reference = [int(t) for t in sys.argv[4].split()]
mi, mr = statistics.median(installer), statistics.median(reference)
print(f"== Median of {runs} runs: installer {mi:.0f} ms, reference {mr:.0f} ms, "
      f"ratio {mi / mr:.3f} (target at most 1.10)")
print(f"   icon downloads seen by the server: {downloads} (expected {2 * (runs + 1)})")
for path in sys.argv[5:]:
    size = os.path.getsize(path) if os.path.exists(path) else None
    print(f"   {os.path.relpath(path)}: {size if size is not None else 'missing'} bytes")
PY
