#!/usr/bin/env bash
# Runs a job in a fresh boot of the 32-bit guest (made first if the cache has none) and
# brings its results back: JOB_DIR holds run.sh and what it needs, OUT_DIR receives what
# run.sh leaves in out/ plus its log. Prints the log; exits with run.sh's status, or 3
# with the reason when the guest cannot be made or does not come back in time.
# Usage: run-in-guest.sh JOB_DIR OUT_DIR [SECONDS]
set -u
. "$(dirname "${BASH_SOURCE[0]}")/guest.sh"
[ $# -ge 2 ] && [ -f "$1/run.sh" ] || { echo "usage: $0 JOB_DIR OUT_DIR [SECONDS]" >&2; exit 2; }
brivok_vm_image
rm -rf "$2"
start=$SECONDS
brivok_vm_boot snapshot "$1" "$2" "${3:-600}"
cat "$2/log"
echo "(guest: $((SECONDS - start)) s from boot to power-off)" >&2
exit "$(cat "$2/status")"
