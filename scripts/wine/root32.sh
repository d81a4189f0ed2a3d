# Sourced by the 32-bit runners. This kernel runs no 32-bit code, so the 32-bit release runs
# in a Debian root of its own (Wine with its 32-bit half, qemu-user), entered in a user
# namespace whose own binfmt_misc instance hands i386 programs to the root's qemu-i386: only
# the 32-bit processes are translated, and nothing is registered with the whole machine.
# The root, with a booted 64-bit prefix, is made once and kept under BRIVOK_ROOT32_CACHE in a
# folder named by a hash of what goes into it.

brivok_root32_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
: "${BRIVOK_ROOT32_CACHE:=${XDG_CACHE_HOME:-$HOME/.cache}/brivok-buttons/root32}"
# The bookworm qemu-user (7.2) is too slow for Wine and crashes in it; backports has 10.x.
BRIVOK_ROOT32_PACKAGES=wine,wine64,wine32:i386,qemu-user/bookworm-backports,xvfb,python3,mount
# Where the booted prefix lies in the root (the harness.sh layout: template/ plus copies).
BRIVOK_ROOT32_WINE_DIR=/var/lib/brivok/wine

brivok_root32_fail() { echo "32-bit root: $*" >&2; exit 3; }

# Bump when the making changes in a way the packages and sources do not show.
BRIVOK_ROOT32_RECIPE=1
BRIVOK_ROOT32_SOURCES=("deb http://deb.debian.org/debian bookworm main"
                       "deb http://deb.debian.org/debian bookworm-backports main")

brivok_root32_key() {
    { echo "$BRIVOK_ROOT32_RECIPE $BRIVOK_ROOT32_PACKAGES ${BRIVOK_ROOT32_SOURCES[*]}"
      cat "$brivok_root32_here/harness.sh"; } | sha256sum | cut -c1-16
}

# brivok_root32_enter ROOT [BIND...] -- COMMAND...
# Runs COMMAND in ROOT as its root user, with no network but loopback. Each BIND, an
# absolute folder of this machine, appears at the same path inside, read-only, or writable
# when written rw:FOLDER, whatever the order given and however they nest. Exits with
# COMMAND's status, or 3 with the reason when the kernel or the sandbox refuses a step.
brivok_root32_enter() {
    local root=$1
    shift
    local binds=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do binds+=("$1"); shift; done
    shift
    unshare --user --map-root-user --mount --net true 2>/dev/null ||
        brivok_root32_fail "a user namespace with its own mounts and network was refused" \
            "(unshare --user --map-root-user --mount --net; this kernel or sandbox refuses it)"
    unshare --user --map-root-user --mount --net --propagation private -- \
        bash -s "$root" "${#binds[@]}" "${binds[@]}" "$@" <<'ENTER'
root=$1 nbinds=$2
shift 2
binds=("${@:1:$nbinds}")
shift "$nbinds"
refused() { echo "32-bit root: $* (this kernel or sandbox refuses it)" >&2; exit 3; }
ip link set lo up 2>/dev/null || refused "bringing up the loopback device of a network namespace"
mount --rbind /dev "$root/dev" || refused "binding /dev"
mount --rbind /proc "$root/proc" || refused "binding /proc"
mount -t tmpfs tmpfs "$root/tmp" || refused "a tmpfs for /tmp"
mount -t tmpfs tmpfs "$root/run" || refused "a tmpfs for /run"
# Parents before children: a folder bound after one inside it would hide that one (a
# read-only program folder above the clone hid the writable report folder). Sorted by the
# folder, a folder comes before every folder inside it.
mapfile -d '' -t binds < <(for bind in "${binds[@]}"; do printf '%s\t%s\0' "${bind#rw:}" "$bind"; done |
    LC_ALL=C sort -z | cut -z -f 2-)
for bind in "${binds[@]}"; do
    case $bind in
    rw:*) bind=${bind#rw:}
        mkdir -p "$root$bind" && mount --bind "$bind" "$root$bind" || refused "binding $bind" ;;
    *) mkdir -p "$root$bind" && mount --bind "$bind" "$root$bind" &&
        mount -o remount,bind,ro "$root$bind" || refused "binding $bind read-only" ;;
    esac
done
# A binfmt_misc instance of this user namespace's own (kernel 6.7 and later): registering
# with it changes nothing outside. F opens the interpreter now, from outside the root. It is
# mounted on the namespace's own /run, which goes with it.
binfmt=$root/run/binfmt
mkdir "$binfmt" && mount -t binfmt_misc binfmt_misc "$binfmt" ||
    refused "a binfmt_misc instance of a user namespace's own (Linux 6.7 or later)"
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
echo ":brivok-i386:M::$magic:$mask:$root/usr/bin/qemu-i386:F" >"$binfmt/register" ||
    refused "registering qemu-i386 for i386 programs"
exec chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
    LANG=C.UTF-8 HOME=/root PYTHONDONTWRITEBYTECODE=1 "$@" </dev/null
ENTER
}

# Makes the root unless the cache has it; sets BRIVOK_ROOT32. Under a lock, so that runs
# side by side make it once.
brivok_root32() {
    BRIVOK_ROOT32="$BRIVOK_ROOT32_CACHE/$(brivok_root32_key)/root"
    mkdir -p "$BRIVOK_ROOT32_CACHE" || brivok_root32_fail "cannot make $BRIVOK_ROOT32_CACHE"
    (
        flock 9
        if [ -f "$BRIVOK_ROOT32/../ready" ]; then
            touch "$BRIVOK_ROOT32/../used"
            # Prefix copies of runs that were killed (a run takes minutes, never hours).
            find "$BRIVOK_ROOT32$BRIVOK_ROOT32_WINE_DIR" -mindepth 1 -maxdepth 1 -type d \
                ! -name template -mmin +120 -exec rm -rf {} +
            exit 0
        fi
        command -v mmdebstrap >/dev/null || brivok_root32_fail "mmdebstrap is missing (run make deps)"
        # Other roots (another clone may use one) go once unused for a day; half-made ones too.
        local old
        for old in "$BRIVOK_ROOT32_CACHE"/*/; do
            [ "$old" = "$BRIVOK_ROOT32_CACHE/$(brivok_root32_key)/" ] && continue
            [ -n "$(find "$old" -maxdepth 1 -name used -mmin -1440)" ] || rm -rf "$old"
        done
        local dir start=$SECONDS
        dir=$(dirname "$BRIVOK_ROOT32")
        local log="$dir/make.log"
        echo "32-bit root: making it once in $dir (about 5 minutes)" >&2
        rm -rf "$dir" && mkdir -p "$dir" || brivok_root32_fail "cannot make $dir"
        # The release's own archive and its backports only: the security and updates archives
        # change daily and were once caught mid-sync, with an index of the wrong size.
        mmdebstrap --variant=apt --architectures=amd64,i386 --include="$BRIVOK_ROOT32_PACKAGES" \
            --aptopt='Acquire::Retries "3"' bookworm "$BRIVOK_ROOT32" "${BRIVOK_ROOT32_SOURCES[@]}" \
            >"$log" 2>&1 ||
            { tail -n 30 "$log" >&2; brivok_root32_fail "mmdebstrap failed (log: $log)"; }
        rm -rf "$BRIVOK_ROOT32"/var/cache/apt/archives/*.deb "$BRIVOK_ROOT32"/var/lib/apt/lists/*
        [ -x "$BRIVOK_ROOT32/usr/bin/qemu-i386" ] || brivok_root32_fail "no qemu-i386 in the root"
        echo "32-bit root: packages done after $((SECONDS - start)) s; booting the prefix" >&2
        mkdir -p "$BRIVOK_ROOT32/opt/brivok"
        cp "$brivok_root32_here/harness.sh" "$BRIVOK_ROOT32/opt/brivok/harness.sh"
        brivok_root32_enter "$BRIVOK_ROOT32" -- bash -c "
            export BRIVOK_WINE_DIR=$BRIVOK_ROOT32_WINE_DIR
            . /opt/brivok/harness.sh
            brivok_boot_template && test -d \"\$BRIVOK_WINE_DIR/template/drive_c/windows/syswow64\"
        " >>"$log" 2>&1 ||
            { cat "$BRIVOK_ROOT32$BRIVOK_ROOT32_WINE_DIR/template-boot.log" >>"$log" 2>/dev/null
              tail -n 30 "$log" >&2; brivok_root32_fail "booting the prefix failed (log: $log)"; }
        cat "$BRIVOK_ROOT32$BRIVOK_ROOT32_WINE_DIR/template-boot.log" >>"$log"
        touch "$dir/ready" "$dir/used"
        echo "32-bit root: ready after $((SECONDS - start)) s ($(du -sh "$dir" | cut -f1))" >&2
    ) 9>"$BRIVOK_ROOT32_CACHE/lock" || exit $?
}
