#!/usr/bin/env bash
# Installs what the build and the tests need from Debian's packages and the npm registry.
# Quick when everything is already present.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

pkgs=(cmake ninja-build make python3 mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
      binutils-mingw-w64 wine wine64 xvfb xauth x11-apps imagemagick googletest chromium
      osslsigncode openssl
      # native stacks of a run that hangs (tests/wine/alive.sh)
      gdb
      # the 32-bit root (tests/wow64): made from Debian's packages, entered in a namespace
      mmdebstrap debian-archive-keyring util-linux iproute2)
# The machine may bring its own Node.js with npm; take Debian's only when there is none.
command -v npm >/dev/null 2>&1 || pkgs+=(nodejs npm)
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

if [ -f "$here/tests/browser/package.json" ] && [ ! -d "$here/tests/browser/node_modules/playwright-core" ]; then
  (cd "$here/tests/browser" && npm ci --no-audit --no-fund --silent)
fi
