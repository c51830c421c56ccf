#!/usr/bin/env bash
# Creates, once, the Wine prefix in which Windows programs see the test guest's hidraw devices:
#   prepare-prefix.sh [--32] [PREFIX]
# 64-bit by default (PREFIX default: $KSV_WG_PREFIX or <repo>/.cache/wine-guest/prefix); with
# --32 a 32-bit one, made by 32-bit Wine (wine32:i386) with WINEARCH=win32, for 32-bit programs
# (PREFIX default: $KSV_WG_PREFIX32 or <repo>/.cache/wine-guest/prefix-32).
#
# Made on the host, where it takes seconds (under the guest's emulated CPU it takes over a
# minute). Registry settings for Wine's HID bus (winebus):
#   "Enable SDL" = 0    with the default, the SDL bus fails to load and the udev/hidraw bus
#                       never starts: only Wine's own mouse and keyboard are listed;
#   "DisableInput" = 1  otherwise /dev/input/mice is listed as a HID device 0000:0000.
# The prefix is complete when this ends: Wine's processes have exited and the registry is on
# disk. It is made again when the installed Wine changes (a prefix from another Wine version
# would be updated on its first use, which in the guest takes minutes). Quick when up to date.
# Prints the prefix's path on stdout.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
wineserver=/usr/lib/wine/wineserver64
inf=/usr/share/wine/wine.inf   # Wine compares the prefix's update stamp with this file

die() {
  echo "prepare-prefix.sh: $*" >&2
  exit 1
}

if [ "${1:-}" = --32 ]; then
  shift
  prefix=${1:-${KSV_WG_PREFIX32:-$repo/.cache/wine-guest/prefix-32}}
  wine=/usr/lib/wine/wine
  export WINEARCH=win32
  package=wine32
else
  prefix=${1:-${KSV_WG_PREFIX:-$repo/.cache/wine-guest/prefix}}
  wine=/usr/lib/wine/wine64
  export WINEARCH=win64
  package=wine64
fi

[ -x "$wine" ] || die "$wine not found (install $package: tests/install-deps.sh)"
[ -f "$inf" ] || die "$inf not found"

mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")

# What the prefix was made for: the Wine build and the wine.inf it was set up from.
want_stamp=$(
  "$wine" --version
  dpkg-query -W -f='${Package} ${Version}\n' wine64 wine32 libwine 2>/dev/null || true
  stat -c '%Y %s' "$inf"
  echo "WINEARCH=$WINEARCH"
  echo 'winebus: Enable SDL=0 DisableInput=1'
)
stamp=$prefix.stamp

exec 9>"$prefix.lock"
flock 9

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want_stamp" ] && [ -f "$prefix/system.reg" ]; then
  echo "$prefix"
  exit 0
fi

rm -rf "$prefix" "$stamp"
log=$prefix.log
: >"$log"
export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree,mshtml='   # no Mono or Gecko installer
export DISPLAY=
unset WAYLAND_DISPLAY

start=$SECONDS
# Output to a file: Wine's background processes keep their inherited stdout open.
run() {
  "$@" >>"$log" 2>&1 </dev/null || {
    cat "$log" >&2
    "$wineserver" -k 2>/dev/null || true
    die "failed: $*"
  }
}
run "$wine" wineboot --init
key='HKLM\System\CurrentControlSet\Services\winebus'
run "$wine" reg add "$key" /v 'Enable SDL' /t REG_DWORD /d 0 /f
run "$wine" reg add "$key" /v DisableInput /t REG_DWORD /d 1 /f
# Wait for wineserver to save the registry and exit (it lingers a few seconds after the last
# process); force it if it does not.
timeout 60 "$wineserver" -w || "$wineserver" -k 2>/dev/null || true

grep -q '"Enable SDL"=dword:00000000' "$prefix/system.reg" || die "registry not saved: Enable SDL"
grep -q '"DisableInput"=dword:00000001' "$prefix/system.reg" || die "registry not saved: DisableInput"
[ "$(tr -d "\r\n" <"$prefix/.update-timestamp" 2>/dev/null)" = "$(stat -c %Y "$inf")" ] ||
  die "prefix update stamp does not match $inf"

printf '%s\n' "$want_stamp" >"$stamp"
echo "prepare-prefix.sh: prefix made in $((SECONDS - start)) s ($(du -sh "$prefix" | cut -f1))" >&2
echo "$prefix"
