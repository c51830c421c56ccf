#!/bin/bash
# Prepares everything the test guest needs (see tests/vm/README.md):
#   - Debian packages: qemu-system-x86, busybox-static and the tools used
#     here, through tests/install-deps.sh (apt-get only when missing);
#   - the Debian kernel package linux-image-amd64 depends on, downloaded and
#     unpacked (never installed) into the cache;
#   - the uncompressed ELF vmlinux (QEMU boots it through its PVH entry, which
#     is about twice as fast as booting the bzImage under TCG);
#   - an initramfs: static busybox, tests/vm/guest-init.sh as /init, and the
#     kernel modules the guest loads, with a modules.dep made by busybox depmod.
#   - with --with-udev: the unpacked udev package, for run-in-guest.sh --udev.
#   - with --with-usbip: the unpacked usbip package (usbipd, usbip), the
#     libwrap0 it links and usb.ids, for run-in-guest.sh --usbip.  Unpacked, not installed:
#     the usbip package asks for a newer linux-libc-dev than the build uses.
#
# Idempotent and fast when nothing changed.  Safe to run concurrently (flock).
#
# Usage: tests/vm/setup.sh [--cache DIR] [--with-udev] [--with-usbip] [--force] [--quiet]
#   --cache DIR   cache directory (default: $KSV_VM_CACHE, else <repo>/.cache/vm)
#   --with-udev   also download and unpack the udev package
#   --with-usbip  also download and unpack the usbip, libwrap0 and usb.ids packages
#   (both are laid over the guest's root as overlay layers, not copied into it)
#   --force       fetch the current kernel package again, rebuild everything
#   --quiet       print nothing but errors
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
cache=${KSV_VM_CACHE:-$repo/.cache/vm}
with_udev=0
with_usbip=0
force=0
quiet=0

while [ $# -gt 0 ]; do
    case $1 in
        --cache) cache=$2; shift 2 ;;
        --cache=*) cache=${1#*=}; shift ;;
        --with-udev) with_udev=1; shift ;;
        --with-usbip) with_usbip=1; shift ;;
        --force) force=1; shift ;;
        --quiet) quiet=1; shift ;;
        -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) echo "setup.sh: unknown option: $1" >&2; exit 2 ;;
    esac
done

# Load order matters only for modprobe's output; modules.dep resolves the
# dependencies anyway.  virtio_console: COMMAND's output leaves through a
# virtio-serial port, which is far faster than a serial port under TCG.
# USB: dummy_hcd pairs virtual host and device controllers, so that a configfs
# gadget with f_hid (libcomposite, usb_f_hid) is a USB HID device to usbhid;
# the usbip modules serve such devices over TCP and attach them (vhci-hcd).
modules=(virtio_pci_modern_dev virtio_pci_legacy_dev virtio_ring virtio virtio_pci
         virtio_console 9pnet 9pnet_virtio netfs fscache 9p overlay hid uhid hid-generic
         usb-common usbcore udc-core configfs libcomposite usb_f_hid usbhid dummy_hcd
         usbip-core usbip-host vhci-hcd usbip-vudc)
# Load-time parameters. f_hid makes at most 4 HID functions at a time: one
# gadget each, on 4 device controllers.
declare -A module_args=([dummy_hcd]="num=4")

log() { [ "$quiet" = 1 ] || echo "setup.sh: $*" >&2; }
die() { echo "setup.sh: error: $*" >&2; exit 1; }

mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
exec 9>"$cache/.lock"
flock 9

# --- packages ---------------------------------------------------------------
apt_updated=0
apt_update() {
    if [ "$apt_updated" = 0 ]; then
        log "apt-get update"
        DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2
        apt_updated=1
    fi
}
# Packages (the guest's QEMU and busybox, the decompressors, flock): tests/install-deps.sh, the
# one place that installs them; quick when all are there.
bash "$repo/tests/install-deps.sh" >&2 || die "tests/install-deps.sh failed"

# Prints the name of the package $1 depends on (first Depends: line).
depends_of() {
    apt-cache depends "$1" 2>/dev/null | awk '$1 == "Depends:" { print $2; exit }'
}

# Downloads package $1 (current candidate) into $2 and prints the .deb's path.
download_deb() {
    local pkg=$1 dir=$2
    mkdir -p "$dir"
    rm -f "$dir"/*.deb
    # Package lists older than the mirror name files it no longer has: refresh them once.
    (cd "$dir" && apt-get download -qq -o APT::Sandbox::User=root "$pkg" >&2) \
        || { apt_update && (cd "$dir" && apt-get download -qq -o APT::Sandbox::User=root "$pkg" >&2); } \
        || die "apt-get download $pkg failed"
    ls "$dir"/*.deb
}

# --- kernel -----------------------------------------------------------------
# Once a kernel is cached it is kept (asking apt-cache costs half a second);
# --force picks up a newer kernel package.
kpkg=
if [ "$force" = 0 ] && [ -f "$cache/kernel.env" ]; then
    kpkg=$(sed -n 's/^KSV_VM_KPKG=//p' "$cache/kernel.env")
    [ -f "$cache/kernel-${kpkg#linux-image-}/.done" ] || kpkg=
fi
if [ -z "$kpkg" ]; then
    kpkg=$(depends_of linux-image-amd64)
    if [ -z "$kpkg" ]; then   # no package lists yet (fresh machine)
        apt_update
        kpkg=$(depends_of linux-image-amd64)
    fi
fi
[ -n "$kpkg" ] || die "cannot determine the kernel package (apt-cache depends linux-image-amd64)"
kver=${kpkg#linux-image-}
kdir=$cache/kernel-$kver

# .done holds the module list the directory was made for.
if [ "$force" = 1 ] || [ "$(cat "$kdir/.done" 2>/dev/null)" != "${modules[*]}" ]; then
    start=$SECONDS
    rm -rf "$kdir"
    mkdir -p "$kdir/root"
    deb=$(download_deb "$kpkg" "$kdir/deb")
    log "unpacking $(basename "$deb")"
    patterns=("./boot/vmlinuz-$kver" "./lib/modules/$kver/modules.builtin" "./lib/modules/$kver/modules.order")
    for m in "${modules[@]}"; do
        # Module files use '-' or '_' interchangeably; match both, compressed or not.
        g=$(printf '%s' "$m" | sed 's/[-_]/[-_]/g')
        patterns+=("./lib/modules/$kver/kernel/*/$g.ko*")
    done
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$kdir/root" --wildcards "${patterns[@]}"
    rm -rf "$kdir/deb"

    # Decompress modules if the package ships them compressed.
    find "$kdir/root/lib/modules" -name '*.ko.xz' -exec xz -d {} +
    find "$kdir/root/lib/modules" -name '*.ko.zst' -exec zstd -q -d --rm {} +
    find "$kdir/root/lib/modules" -name '*.ko.gz' -exec gzip -d {} +
    for m in "${modules[@]}"; do
        g=$(printf '%s' "$m" | sed 's/[-_]/[-_]/g')
        [ -n "$(find "$kdir/root/lib/modules/$kver" -name "$g.ko" -print -quit)" ] \
            || die "module $m not found in $kpkg"
    done
    busybox depmod -b "$kdir/root" "$kver"

    # Find the compressed payload in the bzImage and unpack the ELF image.
    img=$kdir/root/boot/vmlinuz-$kver
    found=0
    # name : magic (tr escapes) : replacement of the same length minus one
    for entry in 'xz:\3757zXZ\000:abcde' 'zstd:(\265/\375:xxx' 'gzip:\037\213\010:xy'; do
        IFS=: read -r name magic repl <<<"$entry"
        case $name in
            xz) cmd=(xz -dc) ;;
            zstd) cmd=(zstd -dc) ;;
            gzip) cmd=(gzip -dc) ;;
        esac
        for pos in $(tr "$magic\n$repl" "\n$repl=" < "$img" | grep -abo "^$repl" | cut -d: -f1); do
            # Trailing data after the stream makes the decompressors complain: ignore.
            tail -c+"$pos" "$img" | "${cmd[@]}" > "$kdir/vmlinux" 2>/dev/null || true
            if [ "$(head -c4 "$kdir/vmlinux" | od -An -c | tr -d ' ')" = '177ELF' ]; then
                found=1
                break 2
            fi
        done
    done
    [ "$found" = 1 ] || die "no ELF kernel found inside $img"
    log "kernel $kver ready ($((SECONDS - start)) s)"
    echo "${modules[*]}" > "$kdir/.done"
fi

# --- initramfs --------------------------------------------------------------
# Rebuilt whenever the init script, this script, busybox or the kernel changed.
stamp=$( (cat "$here/guest-init.sh" "$here/setup.sh"; echo "$kver"; dpkg-query -W busybox-static) | sha256sum | cut -c1-16)
initrd=$cache/initramfs-$stamp.cpio
if [ "$force" = 1 ] || [ ! -f "$initrd" ]; then
    tmp=$(mktemp -d "$cache/initramfs.XXXXXX")
    trap 'rm -rf "$tmp"' EXIT
    mkdir -p "$tmp"/{bin,dev,etc,proc,sys,lib/modules}
    cp "$(command -v busybox)" "$tmp/bin/busybox"
    ldd "$tmp/bin/busybox" >/dev/null 2>&1 && die "busybox is not static (install busybox-static)"
    cp -a "$kdir/root/lib/modules/$kver" "$tmp/lib/modules/"
    install -m 0755 "$here/guest-init.sh" "$tmp/init"
    for m in "${modules[@]}"; do
        printf '%s %s\n' "$m" "${module_args[$m]:-}"
    done > "$tmp/etc/ksv-modules"
    (cd "$tmp" && find . -mindepth 1 | LC_ALL=C sort | busybox cpio -o -H newc -R 0:0 2>/dev/null) > "$initrd.part"
    mv "$initrd.part" "$initrd"
    rm -rf "$tmp"
    trap - EXIT
    find "$cache" -maxdepth 1 -name 'initramfs-*.cpio' ! -name "$(basename "$initrd")" -delete
    log "initramfs $(basename "$initrd") ready"
fi

# --- udev (optional) --------------------------------------------------------
# The guest stacks an unpacked tree over the host's root as an overlay layer. Where the host's
# /bin, /sbin and /lib are links into /usr, a tree's own top-level folders of those names would
# hide the links: their content moves under usr/ so that the layers merge.
merge_into_usr() {  # ROOT
    local d
    for d in bin sbin lib lib64; do
        if [ -d "$1/$d" ] && [ ! -L "$1/$d" ] && [ -L "/$d" ]; then
            mkdir -p "$1/usr/$d"
            cp -a "$1/$d/." "$1/usr/$d/"
            rm -rf "${1:?}/$d"
        fi
    done
}
udev_root=
if [ "$with_udev" = 1 ]; then
    udev_root=$cache/udev/root
    if [ "$force" = 1 ] || [ ! -f "$cache/udev/.layer" ]; then
        rm -rf "$cache/udev"
        mkdir -p "$udev_root"
        # udevadm links against the host's libsystemd-shared: take the udev
        # build of the installed systemd when the archive still has it.
        sysver=$(dpkg-query -W -f='${Version}' systemd 2>/dev/null || true)
        if [ -n "$sysver" ] && apt-cache show "udev=$sysver" >/dev/null 2>&1; then
            deb=$(download_deb "udev=$sysver" "$cache/udev/deb")
        else
            deb=$(download_deb udev "$cache/udev/deb")
        fi
        dpkg-deb -x "$deb" "$udev_root"
        merge_into_usr "$udev_root"
        rm -rf "$cache/udev/deb"
        touch "$cache/udev/.layer"
        log "udev unpacked"
    fi
elif [ -f "$cache/udev/.layer" ]; then
    udev_root=$cache/udev/root
fi

# --- usbip (optional) -------------------------------------------------------
usbip_root=
if [ "$with_usbip" = 1 ]; then
    usbip_root=$cache/usbip/root
    if [ "$force" = 1 ] || [ ! -f "$cache/usbip/.layer" ]; then
        rm -rf "$cache/usbip"
        mkdir -p "$usbip_root"
        for pkg in usbip libwrap0 usb.ids; do
            deb=$(download_deb "$pkg" "$cache/usbip/deb")
            dpkg-deb -x "$deb" "$usbip_root"
        done
        merge_into_usr "$usbip_root"
        rm -rf "$cache/usbip/deb"
        touch "$cache/usbip/.layer"
        log "usbip unpacked"
    fi
elif [ -f "$cache/usbip/.layer" ]; then
    usbip_root=$cache/usbip/root
fi

# --- result -----------------------------------------------------------------
env_file=$cache/kernel.env
{
    printf 'KSV_VM_KPKG=%q\n' "$kpkg"
    printf 'KSV_VM_KERNEL=%q\n' "$kdir/vmlinux"
    printf 'KSV_VM_INITRD=%q\n' "$initrd"
    printf 'KSV_VM_UDEV_ROOT=%q\n' "$udev_root"
    printf 'KSV_VM_USBIP_ROOT=%q\n' "$usbip_root"
} > "$env_file.part"
mv "$env_file.part" "$env_file"
log "ready: $env_file"
