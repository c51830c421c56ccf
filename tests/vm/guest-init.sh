#!/bin/busybox sh
# /init of the test guest (see tests/vm/README.md).
#
# Mounts the host's root filesystem (virtio-9p, read-only) under a tmpfs
# overlay, mounts the per-run control share and any writable shares, and runs
# the host-generated /run/ksv-vm/run.sh inside a chroot of it.  The command's
# output leaves through the virtio-serial port ksv.out; the exit code is reported on
# the console (first serial port) as a marker line that run-in-guest.sh looks
# for.  Anything going wrong before the command starts is reported as
# "KSV-VM-FAILED: <reason>".

export PATH=/bin:/sbin:/usr/bin:/usr/sbin
/bin/busybox mkdir -p /proc /sys /dev /tmp /bin /sbin /usr/bin /usr/sbin
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

console=/dev/ttyS0
say() { echo "ksv-vm: $*" > "$console"; }
finish() {
    sync
    poweroff -f
    sleep 5   # poweroff -f does not return; guard against it failing anyway
    echo o > /proc/sysrq-trigger
}
fail() {
    echo "KSV-VM-FAILED: $*" > "$console"
    finish
}

# --- kernel modules ---------------------------------------------------------
# /etc/ksv-modules is written by setup.sh (one module per line, load order,
# its load-time parameters after its name).
while read -r module args; do
    modprobe "$module" $args || fail "loading kernel module $module"
done < /etc/ksv-modules

# --- root: host / (9p, read-only) + tmpfs upper ------------------------------
# The per-run control share comes first: it says which optional trees (udev, usbip,
# unpacked on the host by setup.sh) lie over the host's root as further read-only
# layers, so that they are "installed" in the guest without a copy.
p9opts=trans=virtio,version=9p2000.L,msize=512000
mkdir -p /lower /ovl /newroot /ctl
mount -t 9p -o "$p9opts,cache=none" ksvctl /ctl || fail "mounting the control share"
mount -t 9p -o "$p9opts,cache=loose,ro" ksvroot /lower || fail "mounting the host root share"
mount -t tmpfs -o mode=0755,size=80% ovl /ovl || fail "mounting the overlay tmpfs"
mkdir -p /ovl/upper /ovl/work
# Each tree is a share of its own (tag ksvudev, ksvusbip): a layer may not lie inside another.
layers=/lower
for tree in udev usbip; do
    if [ -f "/ctl/$tree-root" ]; then
        mkdir -p "/layers/$tree"
        mount -t 9p -o "$p9opts,cache=loose,ro" "ksv$tree" "/layers/$tree" \
            || fail "mounting the $tree share"
        layers="/layers/$tree:$layers"
    fi
done
mount -t overlay -o "lowerdir=$layers,upperdir=/ovl/upper,workdir=/ovl/work" overlay /newroot \
    || fail "mounting the overlay root"

R=/newroot
mount -t proc proc "$R/proc" || fail "mounting /proc"
mount -t sysfs sysfs "$R/sys" || fail "mounting /sys"
mount -t configfs configfs "$R/sys/kernel/config" || fail "mounting configfs"
mount -t devtmpfs devtmpfs "$R/dev" || fail "mounting /dev"
mkdir -p "$R/dev/pts" "$R/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$R/dev/pts"
mount -t tmpfs -o mode=1777 shm "$R/dev/shm"
mount -t tmpfs -o mode=0755 run "$R/run" || fail "mounting /run"

ctl=/run/ksv-vm
mkdir -p "$R$ctl"
mount --move /ctl "$R$ctl" || fail "moving the control share"

# Writable shares: line N of rw-paths (0-based) is the guest path of tag ksvrwN.
if [ -f "$R$ctl/rw-paths" ]; then
    n=0
    while IFS= read -r path; do
        mkdir -p "$R$path" 2>/dev/null
        mount -t 9p -o "$p9opts,cache=none" "ksvrw$n" "$R$path" \
            || fail "mounting writable share $path"
        n=$((n + 1))
    done < "$R$ctl/rw-paths"
fi

ip link set lo up 2>/dev/null
hostname ksv-vm

# Optional udevd (run-in-guest.sh --udev), from the udev layer of the root.
if [ -f "$R$ctl/udev-root" ]; then
    chroot "$R" /usr/bin/env SYSTEMD_IGNORE_CHROOT=1 /lib/systemd/systemd-udevd --daemon \
        || fail "starting udevd"
    # Devices that exist already (none of ours yet): only what HID users look at.
    chroot "$R" /usr/bin/env SYSTEMD_IGNORE_CHROOT=1 udevadm trigger --action=add \
        --subsystem-match=hid --subsystem-match=hidraw --subsystem-match=input \
        --subsystem-match=misc >/dev/null 2>&1
    chroot "$R" /usr/bin/env SYSTEMD_IGNORE_CHROOT=1 udevadm settle --timeout=30 \
        || say "udevadm settle timed out"
fi

# The virtio-serial port named ksv.out (a plain character device, no tty).
out=
for port in /sys/class/virtio-ports/*; do
    [ "$(cat "$port/name" 2>/dev/null)" = ksv.out ] && out=/dev/${port##*/}
done
[ -n "$out" ] && [ -c "$out" ] || fail "no virtio-serial port ksv.out"

echo "KSV-VM-STARTED (uptime $(cut -d" " -f1 /proc/uptime) s)" > "$console"
# The command sees a pipe (not a tty) on stdout/stderr, as under CTest.
mkfifo /tmp/out
(cat /tmp/out > "$out"; : > /tmp/out.done) &
chroot "$R" /bin/bash "$ctl/run.sh" < /dev/null > /tmp/out 2>&1
rc=$?
# Processes the command left behind (daemons, forgotten '&' jobs) may still
# hold its output open: give them a moment, then end them.
i=0
while [ ! -e /tmp/out.done ] && [ $i -lt 20 ]; do
    sleep 0.05
    i=$((i + 1))
done
if [ ! -e /tmp/out.done ]; then
    say "ending the processes the command left behind"
    kill -TERM -1 2>/dev/null
    sleep 0.2
    kill -KILL -1 2>/dev/null
fi
sync
echo "KSV-VM-EXIT-CODE: $rc" > "$console"
finish
