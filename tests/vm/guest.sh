# Sourced by the 32-bit runners: a Debian amd64 guest whose kernel runs 32-bit code, with
# Wine (64-bit and 32-bit halves) and a booted prefix baked in, emulated with TCG.
#
# The guest is made once from Debian's packages and kept outside the clone under
# BRIVOK_VM_CACHE, in a folder named by a hash of what goes into it (this file, the
# guest's init and the prefix setup), so changing any of them makes a new one.

here_vm=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
: "${BRIVOK_VM_CACHE:=${XDG_CACHE_HOME:-$HOME/.cache}/brivok-buttons/guest32}"
# Fixed limits: a guest that has not powered off by then is stopped and reported.
: "${BRIVOK_VM_BAKE_SECONDS:=900}"
BRIVOK_VM_PACKAGES=linux-image-amd64,initramfs-tools,mount,wine,wine64,wine32:i386,xvfb,xauth,python3
# Where the baked prefix lies in the guest (the prefix.sh layout: template/ plus copies).
BRIVOK_VM_WINE_DIR=/var/lib/brivok/wine

brivok_vm_key() {
    cat "$here_vm/guest.sh" "$here_vm/guest-init.sh" "$here_vm/../wine/prefix.sh" |
        sha256sum | cut -c1-16
}

brivok_vm_fail() {
    echo "32-bit guest: $*" >&2
    exit 3
}

# brivok_vm_boot IMAGE_MODE JOB_DIR OUT_DIR SECONDS
# Boots the guest with JOB_DIR (holding run.sh) on its second disk; fills OUT_DIR with what
# the job left (log, status, its files). IMAGE_MODE "snapshot" keeps the image unchanged.
brivok_vm_boot() {
    local mode=$1 job=$2 out=$3 seconds=$4 dir=$BRIVOK_VM_DIR
    local work
    work=$(mktemp -d "${TMPDIR:-/tmp}/brivok-guest.XXXXXX")
    tar -cf "$work/in.tar" -C "$job" . || { rm -rf "$work"; brivok_vm_fail "cannot pack the job"; }
    truncate -s 256M "$work/out.img"
    local root_drive="file=$dir/root.img,format=raw,if=virtio"
    [ "$mode" = snapshot ] && root_drive+=",snapshot=on"
    # The default qemu64 processor: with "max" the guest kernel oopses in wineboot.
    timeout -k 10 "$seconds" qemu-system-x86_64 -accel tcg -cpu qemu64 -m 3G -smp 2 \
        -kernel "$dir/vmlinuz" -initrd "$dir/initrd.img" \
        -append "root=/dev/vda rw init=/sbin/brivok-init console=ttyS0 panic=1 quiet" \
        -drive "$root_drive" \
        -drive "file=$work/in.tar,format=raw,if=virtio,readonly=on" \
        -drive "file=$work/out.img,format=raw,if=virtio" \
        -nic none -no-reboot -display none -monitor none -serial "file:$work/console.log" \
        </dev/null >"$work/qemu.log" 2>&1
    local rc=$?
    mkdir -p "$out"
    cp "$work/console.log" "$out/console.log" 2>/dev/null
    if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
        tail -n 20 "$work/console.log" >&2
        rm -rf "$work"
        brivok_vm_fail "the guest did not power off within $seconds s (stopped; console above)"
    fi
    if [ $rc -ne 0 ] || ! tar -xf "$work/out.img" -C "$out" 2>/dev/null || [ ! -f "$out/status" ]; then
        cat "$work/qemu.log" >&2
        tail -n 20 "$work/console.log" >&2
        rm -rf "$work"
        brivok_vm_fail "the guest brought no result back (emulator exit $rc; console above)"
    fi
    rm -rf "$work"
}

# Makes the guest unless the cache has it; sets BRIVOK_VM_DIR. Under a lock, so that
# parallel tests build it once.
brivok_vm_image() {
    BRIVOK_VM_DIR="$BRIVOK_VM_CACHE/$(brivok_vm_key)"
    mkdir -p "$BRIVOK_VM_CACHE" || brivok_vm_fail "cannot make $BRIVOK_VM_CACHE"
    (
        flock 9
        [ -f "$BRIVOK_VM_DIR/ready" ] && exit 0
        for tool in mmdebstrap mke2fs qemu-system-x86_64; do
            command -v "$tool" >/dev/null || brivok_vm_fail "$tool is missing (run make deps)"
        done
        echo "32-bit guest: making it once in $BRIVOK_VM_DIR (about 10 minutes)" >&2
        local start=$SECONDS log="$BRIVOK_VM_CACHE/build.log"
        rm -rf "$BRIVOK_VM_DIR" && mkdir -p "$BRIVOK_VM_DIR/root"
        # i386 beside amd64: the guest kernel runs 32-bit code, which this host's cannot. The
        # release's own archive only: the security and updates archives that mmdebstrap adds
        # by default change daily and were once caught mid-sync, with an index of the wrong size.
        mmdebstrap --variant=apt --architectures=amd64,i386 --include="$BRIVOK_VM_PACKAGES" \
            --aptopt='Acquire::Retries "3"' \
            bookworm "$BRIVOK_VM_DIR/root" "deb http://deb.debian.org/debian bookworm main" >"$log" 2>&1 ||
            { tail -n 30 "$log" >&2; brivok_vm_fail "mmdebstrap failed (log: $log)"; }
        local root=$BRIVOK_VM_DIR/root
        install -m 755 "$here_vm/guest-init.sh" "$root/sbin/brivok-init"
        cp -L "$root"/boot/vmlinuz-* "$BRIVOK_VM_DIR/vmlinuz" &&
            cp -L "$root"/boot/initrd.img-* "$BRIVOK_VM_DIR/initrd.img" ||
            brivok_vm_fail "no kernel or initrd in the guest's /boot"
        rm -rf "$root"/var/cache/apt/archives/*.deb "$root"/var/lib/apt/lists/*
        # Room for the baked prefix and a few copies of it; the file is sparse.
        mke2fs -q -t ext4 -d "$root" -E lazy_itable_init=0,lazy_journal_init=0 \
            "$BRIVOK_VM_DIR/root.img" 12G >>"$log" 2>&1 ||
            { tail -n 30 "$log" >&2; brivok_vm_fail "mke2fs failed (log: $log)"; }
        rm -rf "$root"
        echo "32-bit guest: packages and image done after $((SECONDS - start)) s; booting the prefix" >&2

        # Boot the prefix inside the guest, written into the image itself.
        local job="$BRIVOK_VM_DIR/bake"
        mkdir -p "$job"
        cp "$here_vm/../wine/prefix.sh" "$job/prefix.sh"
        cat >"$job/run.sh" <<BAKE
set -e
export BRIVOK_WINE_DIR=$BRIVOK_VM_WINE_DIR
. ./prefix.sh
brivok_boot_template
cp "\$BRIVOK_WINE_DIR/template-boot.log" out/ || true
test -f "\$BRIVOK_WINE_DIR/template/.booted"
test -d "\$BRIVOK_WINE_DIR/template/drive_c/windows/syswow64"
du -sh "\$BRIVOK_WINE_DIR/template"
BAKE
        brivok_vm_boot write "$job" "$BRIVOK_VM_DIR/bake-out" "$BRIVOK_VM_BAKE_SECONDS"
        cat "$BRIVOK_VM_DIR/bake-out/log" >>"$log"
        [ "$(cat "$BRIVOK_VM_DIR/bake-out/status")" = 0 ] ||
            { cat "$BRIVOK_VM_DIR/bake-out/log" >&2; brivok_vm_fail "booting the prefix in the guest failed (log: $log)"; }
        rm -rf "$job" "$BRIVOK_VM_DIR/bake-out"
        touch "$BRIVOK_VM_DIR/ready"
        echo "32-bit guest: ready after $((SECONDS - start)) s" >&2
    ) 9>"$BRIVOK_VM_CACHE/lock" || exit $?
}
