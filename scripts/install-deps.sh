#!/usr/bin/env bash
# Installs what a job needs from Debian's packages (and, for the tests, the npm registry).
# Quick when everything is already present.
# Usage: install-deps.sh build | run | run32 | test
#   build: the cross compilers, GoogleTest's sources and the signing tools (`make build`,
#          `make release`)
#   run:   and Wine with a virtual display (`make run`, `make bench`)
#   run32: and what makes and enters the 32-bit root (`make run32`)
#   test:  all of these, and Chromium and the debugger
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
job=${1:-test}

build=(cmake ninja-build make python3 mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
       binutils-mingw-w64 googletest osslsigncode openssl)
run=(wine wine64 xvfb imagemagick)
# The 32-bit root (tests/wow64): made from Debian's packages, entered in a namespace.
run32=(mmdebstrap debian-archive-keyring util-linux iproute2)
# Native stacks of a run that hangs (scripts/wine/alive.sh).
test=(x11-apps chromium gdb)
case $job in
build) pkgs=("${build[@]}") ;;
run) pkgs=("${build[@]}" "${run[@]}") ;;
# The root brings its own Wine; this machine turns the box's picture into a PNG.
run32) pkgs=("${build[@]}" "${run32[@]}" imagemagick) ;;
test) pkgs=("${build[@]}" "${run[@]}" "${run32[@]}" "${test[@]}")
    # The machine may bring its own Node.js with npm; take Debian's only when there is none.
    command -v npm >/dev/null 2>&1 || pkgs+=(nodejs npm) ;;
*) echo "usage: $0 build | run | run32 | test" >&2; exit 2 ;;
esac
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  sudo_=""; [ "$(id -u)" = 0 ] || sudo_=sudo
  $sudo_ apt-get update -qq
  $sudo_ apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ "$job" = test ] && [ ! -d "$here/tests/browser/node_modules/playwright-core" ]; then
  (cd "$here/tests/browser" && npm ci --no-audit --no-fund --silent)
fi
