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
p9opts=trans=virtio,version=9p2000.L,msize=512000
mkdir -p /lower /ovl /newroot
mount -t 9p -o "$p9opts,cache=loose,ro" ksvroot /lower || fail "mounting the host root share"
mount -t tmpfs -o mode=0755,size=80% ovl /ovl || fail "mounting the overlay tmpfs"
mkdir -p /ovl/upper /ovl/work
mount -t overlay -o lowerdir=/lower,upperdir=/ovl/upper,workdir=/ovl/work overlay /newroot \
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
mount -t 9p -o "$p9opts,cache=none" ksvctl "$R$ctl" || fail "mounting the control share"

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

# Optional udevd from an unpacked udev package (run-in-guest.sh --udev):
# the package tree is copied into the throw-away overlay, i.e. "installed"
# in the guest only.
if [ -f "$R$ctl/udev-root" ]; then
    udevroot=$(cat "$R$ctl/udev-root")
    # GNU tar from the host: /lib and /bin may be symlinks (merged /usr).
    chroot "$R" /bin/sh -c 'tar -C "$1" -c . | tar -C / -x --keep-directory-symlink' sh "$udevroot" \
        || fail "installing udev into the overlay"
    chroot "$R" /usr/bin/env SYSTEMD_IGNORE_CHROOT=1 /lib/systemd/systemd-udevd --daemon \
        || fail "starting udevd"
    # Devices that exist already (none of ours yet): only what HID users look at.
    chroot "$R" /usr/bin/env SYSTEMD_IGNORE_CHROOT=1 udevadm trigger --action=add \
        --subsystem-match=hid --subsystem-match=hidraw --subsystem-match=input \
        --subsystem-match=misc >/dev/null 2>&1
    chroot "$R" /usr/bin/env SYSTEMD_IGNORE_CHROOT=1 udevadm settle --timeout=30 \
        || say "udevadm settle timed out"
fi

# Optional usbip tools (run-in-guest.sh --usbip): installed into the overlay
# the same way; ldconfig makes their libwrap0 known.
if [ -f "$R$ctl/usbip-root" ]; then
    usbiproot=$(cat "$R$ctl/usbip-root")
    chroot "$R" /bin/sh -c 'tar -C "$1" -c . | tar -C / -x --keep-directory-symlink && ldconfig' \
        sh "$usbiproot" || fail "installing usbip into the overlay"
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
