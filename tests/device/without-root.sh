#!/usr/bin/env bash
# Modules for a user without root, in the test guest with udevd running:
#   without-root.sh VIRTUAL_MODULE KSVHID LIBRARY RULE
# With the udev rule installed, a plugdev member lists, opens and exchanges with a module, and still
# cannot open a node that is not a module. Without it the same user counts no module, and
# `ksvhid diagnose` says why. A module locked by another process shows that process; a module
# without a serial number and a device with other IDs show their reasons.
set -uo pipefail

virtual_module=$1
ksvhid_built=$2
library=$3
rule=$4
user=ksvuser
uid=4711
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# expect_output WHAT TEXT OUTPUT: OUTPUT contains TEXT.
expect_output() {
  if [[ "$3" != *"$2"* ]]; then
    fail "$1: no \"$2\" in:"$'\n'"$3"
  else
    echo "ok: $1"
  fi
}

# The user: a member of plugdev, not of root's groups. The guest's /etc is a throw-away overlay.
echo "$user:x:$uid:$uid::/tmp:/bin/sh" >>/etc/passwd
echo "$user:x:$uid:" >>/etc/group
sed -i -E '/^plugdev:/{s/:$/:'"$user"'/;t;s/$/,'"$user"'/}' /etc/group
as_user() { setpriv --reuid="$user" --regid="$user" --init-groups -- "$@"; }

# ksvhid and the library where any user may run them, whatever the build tree's permissions.
bin=$(mktemp -d)
cp "$ksvhid_built" "$library" "$bin/"
ln -s "$(basename "$library")" "$bin/libKSVHidApi.so.1" 2>/dev/null || true
chmod -R a+rX "$bin"
ksvhid() { LD_LIBRARY_PATH="$bin" "$bin/ksvhid" "$@"; }
export -f ksvhid
export bin

vm_pid=
start_devices() {
  local log
  log=$(mktemp)
  "$virtual_module" --control none \
    module:vid=0x17fe,pid=0x82cd,serial=KSV-U-1 \
    module:vid=0x10c4,pid=0x82cd,serial=KSV-U-2 \
    module:vid=0x17fe,pid=0x82cd,serial=,id=noserial \
    keyboard:vid=0x1209,pid=0x0001,serial=KB-1 >"$log" 2>&1 &
  vm_pid=$!
  for _ in $(seq 1 200); do
    grep -q '^ready' "$log" && break
    sleep 0.05
  done
  grep -q '^ready' "$log" || { echo "virtual devices not ready:"; cat "$log"; exit 1; }
  udevadm settle --timeout=30
}
stop_devices() {
  kill -TERM "$vm_pid" 2>/dev/null
  wait "$vm_pid" 2>/dev/null
  udevadm settle --timeout=30
}
# The hidraw node of the device whose serial number (HID unique ID) is $1.
node_of() {
  local uevent
  for uevent in /sys/class/hidraw/hidraw*/device/uevent; do
    if grep -qx "HID_UNIQ=$1" "$uevent"; then
      echo "/dev/$(basename "$(dirname "$(dirname "$uevent")")")"
      return
    fi
  done
}

# --- With the rule -----------------------------------------------------------------------------
cp "$rule" /etc/udev/rules.d/
udevadm control --reload
start_devices
module=$(node_of KSV-U-1)
held=$(node_of KSV-U-2)
keyboard=$(node_of KB-1)
expect_output "module node for plugdev" "root:plugdev 660" "$(stat -c '%U:%G %a' "$module")"
[ "$failures" = 0 ] || udevadm info --attribute-walk "$module" | head -40

out=$(as_user bash -c 'ksvhid list' 2>&1)
expect_output "user lists the modules" $'3 modules (mode 0)\n  0  KSV-U-1\n  1  KSV-U-2\n  2  (serial number unreadable)' "$out"
out=$(as_user bash -c 'ksvhid send KSV-U-1 01 02 03' 2>&1) || fail "user's exchange failed"
expect_output "user exchanges with a module" $'result: 1 reply (report ID 1)\nreply (63 bytes):\n  00   01 02 03 00 00' "$out"
if as_user bash -c "exec 3<>'$keyboard'" 2>/dev/null; then
  fail "the user opened the keyboard's node $keyboard"
else
  echo "ok: user cannot open a node that is not a module"
fi

# A module locked by another process; a module without a serial number; a device with other IDs.
flock -o "$held" sleep 600 &
holder=$!
# flock runs its command once it holds the lock; a slow guest may take seconds to get there.
# A /proc file's size is always 0, so its content is read, not tested with -s; it has no line
# end, so read's status says nothing.
children=/proc/$holder/task/$holder/children
child=
for _ in $(seq 1 600); do
  read -r child _ <"$children" 2>/dev/null
  [ -n "$child" ] && break
  sleep 0.05
done
[ -n "$child" ] || { echo "flock holds no lock:"; cat /proc/locks; }
out=$(as_user bash -c 'ksvhid diagnose' 2>&1) || fail "diagnose failed"
expect_output "diagnose: the lock's holder" \
  "$held  10c4:82cd  KSV-U-2"$'\n'"      not a module: in use by another program: PID $holder (flock -o $held sleep 600)" "$out"
expect_output "diagnose: serial number unreadable" \
  $'17fe:82cd  (serial number unreadable)\n      module: serial number unreadable' "$out"
out=$(ksvhid diagnose --json 2>&1)
expect_output "diagnose as root: other IDs" \
  "\"path\":\"$keyboard\",\"ids\":\"1209:0001\",\"module\":false,\"serial\":\"KB-1\",\"serial_hex\":\"4b422d31\",\"reason\":\"other_ids\"" "$out"
expect_output "diagnose --json: the holder" "\"holder\":{\"pid\":$holder,\"command\":\"flock -o $held sleep 600\"}" "$out"
kill "$child" 2>/dev/null
wait "$holder" 2>/dev/null
stop_devices

# --- Without the rule --------------------------------------------------------------------------
rm -f "/etc/udev/rules.d/$(basename "$rule")"
udevadm control --reload
start_devices
module=$(node_of KSV-U-1)
out=$(as_user bash -c 'ksvhid list' 2>&1)
expect_output "without the rule the user counts no module" "0 modules (mode 0)" "$out"
out=$(as_user bash -c 'ksvhid diagnose' 2>&1) || fail "diagnose failed"
expect_output "diagnose names the rule" \
  "$module  17fe:82cd  KSV-U-1"$'\n'"      not a module: access denied: this user may not open it (install the udev rule 70-ksvhid.rules" "$out"
stop_devices

echo "$failures failed"
[ "$failures" = 0 ]
