#!/usr/bin/env bash
# The Debian packages installed and used in the test guest (check-debian.sh starts it there, with
# udevd running; the guest's root is a throw-away overlay):
#   debian-guest.sh DIST VIRTUAL-MODULE WORK
# A module is attached first, then the three packages are installed with dpkg -i: the rule they
# bring, applied by their maintainer script, lets a plugdev member who is not root list and
# exchange with it through the installed ksvhid. C consumers built with pkg-config and with
# find_package(KSVHidApi) exchange with it. dpkg -r removes every file the packages brought.
set -euo pipefail

dist=$1 virtual_module=$2 work=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
here=$root/tests/release
# shellcheck source=tests/release/lib.sh
source "$here/lib.sh"
packages=(libksvhidapi1 libksvhidapi-dev ksvhid)
debs=()
for package in "${packages[@]}"; do
  debs+=("$(ls "$dist/${package}"_*.deb)")
done
user=ksvrelease
# The consumer's lines for one exchange with the module below: 0x10 0x20 0x30 XORed with 0xff.
module_lines=("major 1" "minor 3" "build 170" "modules 1" "module DEB-1" "result 1"
  "reply ef df cf ff")

# The user: a member of plugdev only (the guest's /etc is a throw-away overlay).
echo "$user:x:4712:4712::/tmp:/bin/sh" >>/etc/passwd
echo "$user:x:4712:" >>/etc/group
sed -i -E '/^plugdev:/{s/:$/:'"$user"'/;t;s/$/,'"$user"'/}' /etc/group
as_user() { setpriv --reuid="$user" --regid="$user" --init-groups -- "$@"; }

# man-db's trigger would index every manual page of the system, minutes under the guest's
# emulated processor; the packages' own steps (ldconfig, the udev rule) still run.
rm -f /var/lib/man-db/auto-update

log=$work/virtual-module.log
"$virtual_module" --control none 'module:vid=0x17fe,pid=0x82cd,serial=DEB-1,xor=0xff' >"$log" 2>&1 &
module_pid=$!
for _ in $(seq 1 200); do
  grep -q '^ready' "$log" && break
  sleep 0.05
done
udevadm settle --timeout=30

not_yet_for_user() {  # before the packages: the node is root's alone, as on a stock system
  local node
  node=$(grep -l '^HID_UNIQ=DEB-1$' /sys/class/hidraw/hidraw*/device/uevent | head -n1)
  node=/dev/$(basename "$(dirname "$(dirname "$node")")")
  ! as_user sh -c "exec 3<'$node'" 2>/dev/null
}
installed() {
  dpkg -i "${debs[@]}" && udevadm settle --timeout=30 &&
    for package in "${packages[@]}"; do
      [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$package")" = "ii " ] || return 1
    done
}
user_lists() {
  local output
  output=$(as_user ksvhid list)
  grep -qE '^ +0 +DEB-1$' <<<"$output" || { echo "$output"; return 1; }
}
user_exchanges() {
  local output
  output=$(as_user ksvhid send DEB-1 10 20 30)
  grep -q 'result: 1 reply (report ID 1)' <<<"$output" &&
    grep -qE '^ +00 +ef df cf ff' <<<"$output" || { echo "$output"; return 1; }
}
pkg_config_consumer() {
  local output
  gcc -Wall -Wextra -Werror "$here/consumer/consumer.c" $(pkg-config --cflags --libs KSVHidApi) \
    -o "$work/consumer-pkg-config" &&
    output=$(as_user "$work/consumer-pkg-config" DEB-1) &&
    expect_lines "$output" "${module_lines[@]}"
}
cmake_consumer() {
  local output
  cmake -S "$here/consumer" -B "$work/consumer-cmake" -G Ninja >/dev/null &&
    cmake --build "$work/consumer-cmake" >/dev/null &&
    output=$(as_user "$work/consumer-cmake/consumer" DEB-1) &&
    expect_lines "$output" "${module_lines[@]}"
}
# Every file and link the packages hold is gone (directories may stay when others use them).
removed() {
  local left=()
  dpkg -r "${packages[@]}" >/dev/null || return 1
  for deb in "${debs[@]}"; do
    while read -r path; do
      path=${path#.}
      [ -e "$path" ] || [ -L "$path" ] && [ ! -d "$path" ] && left+=("$path")
    done < <(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$')
  done
  [ ${#left[@]} -eq 0 ] || { printf 'left behind: %s\n' "${left[@]}"; return 1; }
}

chmod 0755 "$work"
check "debian: before the packages, the user cannot open the module's node" not_yet_for_user
check "debian: dpkg -i installs the three packages" installed
check "debian: with the packaged rule a plugdev member lists the module" user_lists
check "debian: ... and exchanges with it through the installed ksvhid" user_exchanges
check "debian: a C consumer built with pkg-config exchanges" pkg_config_consumer
check "debian: a C consumer built with find_package(KSVHidApi) exchanges" cmake_consumer
check "debian: dpkg -r leaves none of the packages' files behind" removed
kill "$module_pid" 2>/dev/null || true
wait "$module_pid" 2>/dev/null || true
