#!/bin/bash
# First and only process of the 32-bit guest: unpacks the job from the second disk, runs
# it, writes what it left in out/ as a tar onto the third disk and powers the machine off.
# If anything here dies the kernel panics, and with panic=1 and -no-reboot the emulator
# ends: the host sees a missing result, never a hang.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8
# The initramfs hands over /proc, /sys and /dev already mounted.
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
hostname brivok-guest

job=/var/tmp/brivok-job
rm -rf "$job" && mkdir -p "$job/out"
if tar -xf /dev/vdb -C "$job"; then
    (cd "$job" && bash ./run.sh) >"$job/out/log" 2>&1 </dev/null
    echo $? >"$job/out/status"
else
    echo "guest: no job on the second disk" >"$job/out/log"
    echo 2 >"$job/out/status"
fi
# Whatever the job left running (wineserver, Xvfb) goes, so that the root can be made
# read-only and left clean when it is written to (as when the prefix is baked in).
kill -KILL -1 2>/dev/null
sleep 1
tar -cf /dev/vdc -C "$job/out" .
rm -rf "$job"
sync
mount -o remount,ro /
sync
# RB_POWER_OFF straight from here: the sysrq route returns before the machine is off.
python3 -c 'import ctypes; ctypes.CDLL(None).reboot(0x4321fedc)'
