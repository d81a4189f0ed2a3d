#!/usr/bin/env bash
# Builds the product again from a copy of this tree in a folder of another name and depth, for
# both architectures, and compares the executables byte for byte with those `make build` made
# here (the test build's options do not change the product image).
# Usage: reproducible_build.sh SOURCE_DIR ROOT
set -euo pipefail
source_dir=$1
root=$2

work=$(mktemp -d "${TMPDIR:-/tmp}/brivok-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT
second="$work/another/folder/much-longer-name"
mkdir -p "$second"

# The files a checkout of this commit holds, plus new ones not yet committed; never the
# build or dist folders. Outside a git checkout, the tree as it lies without those.
if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
        xargs -0 -I{} sh -c '[ -f "{}" ] && printf "%s\0" "{}"' |
        tar --null -T - -cf "$work/tree.tar")
else
    tar -C "$source_dir" --exclude=./build --exclude=./dist --exclude=node_modules \
        -cf "$work/tree.tar" .
fi
tar -xf "$work/tree.tar" -C "$second"

build() {  # tree arch triple; its output in $work/arch.log
    { cmake -S "$1" -B "$1/build/$2" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$1/cmake/toolchain-$3.cmake" -DCMAKE_BUILD_TYPE=MinSizeRel \
        -DBRIVOK_BUILD_TESTS=OFF "-DBRIVOK_ROOT=$root" && cmake --build "$1/build/$2" -j 2; } >"$work/$2.log" 2>&1
}

# Both architectures at once: the test's time is mostly the compiler's, beside the rest of
# the suite.
build "$second" win32 i686-w64-mingw32 & win32=$!
build "$second" win64 x86_64-w64-mingw32 & win64=$!
wait $win32 || { cat "$work/win32.log"; exit 2; }
wait $win64 || { cat "$work/win64.log"; exit 2; }

status=0
for arch in win32 win64; do
    a="$source_dir/dist/$arch/BrivokButtons.exe"
    b="$second/dist/$arch/BrivokButtons.exe"
    if cmp -s "$a" "$b"; then
        echo "$arch: identical, $(stat -c %s "$a") bytes, sha256 $(sha256sum "$a" | cut -c1-16)"
    else
        status=1
        echo "$arch: the two builds differ ($(stat -c %s "$a") and $(stat -c %s "$b") bytes; is $a from make build of this tree?)"
        cmp -l "$a" "$b" | head -n 20 || true
    fi
done
exit $status
