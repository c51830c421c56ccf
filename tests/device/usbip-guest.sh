#!/usr/bin/env bash
# A module on "another machine" over USB/IP, inside the test guest and over 127.0.0.1 only:
#   usbip-guest.sh VIRTUAL_MODULE KSVHID
# ksv-virtual-module makes a USB module on the usbip-vudc controller, usbipd serves it, and
# `usbip attach` brings it back through vhci-hcd as an ordinary local USB device. The library
# (through ksvhid) lists it, opens it and exchanges with it; then the module is detached while a
# handle is open and exchanges run on it: the exchange in flight and every later one give -255.
# Needs the guest's usbip kernel modules and run-in-guest.sh --usbip (usbipd and usbip).
set -euo pipefail

virtual_module=$1
ksvhid=$2
serial=KSV-IP-1
udc=usbip-vudc.0
work=$(mktemp -d)
pids=()
cleanup() {
  usbip detach -p "${port:-0}" >/dev/null 2>&1 || true
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  for log in "$work"/*.log; do
    echo "--- $(basename "$log")"
    cat "$log"
  done
  exit 1
}
pass() { echo "[pass] $*"; }
# wait_for SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# usbipd listens on every address: the guest has no interface but loopback, and tcp_wrappers
# (hosts.allow, hosts.deny: the guest's throw-away overlay) admit 127.0.0.1 only.
interfaces=$(ls /sys/class/net | tr '\n' ' ')
[ "$interfaces" = "lo " ] || fail "the guest has interfaces besides lo: $interfaces"
echo "usbipd: 127.0.0.1" >/etc/hosts.allow
echo "usbipd: ALL" >/etc/hosts.deny
pass "network: loopback only, usbipd admits 127.0.0.1 only"

# The server: usbipd in device mode serves the gadgets bound to usbip-vudc.
usbipd --device >"$work/usbipd.log" 2>&1 &
pids+=($!)
wait_for 10 usbip list -r 127.0.0.1 >/dev/null 2>&1 || fail "usbipd does not answer on 127.0.0.1"

# The module; it reports "added" once its hidraw node exists, that is once it is attached.
"$virtual_module" --usb --control none \
  "module:vid=0x17fe,pid=0x82cd,serial=$serial,xor=0x5a,udc=$udc" >"$work/module.log" 2>&1 &
pids+=($!)
# The client: attach as soon as the gadget is bound and exported.
start=$SECONDS
wait_for 60 usbip attach -r 127.0.0.1 -d "$udc" >"$work/attach.log" 2>&1 ||
  fail "usbip attach -r 127.0.0.1 -d $udc"
wait_for 60 grep -q '^added' "$work/module.log" || fail "no hidraw node for the attached module"
port=$(usbip port | sed -n 's/^Port \([0-9]*\): <Port in Use>.*/\1/p' | head -n 1)
[ -n "$port" ] || fail "usbip port shows no attached device"
pass "attached through vhci-hcd on port $port after $((SECONDS - start)) s: $(grep '^added' "$work/module.log")"

if [ -e /proc/net/if_inet6 ]; then
  # The same server refuses ::1, which hosts.allow does not name.
  if usbip list -r ::1 >/dev/null 2>&1; then fail "usbipd answered ::1"; fi
  wait_for 5 grep -q 'denied access from ::1' "$work/usbipd.log" || fail "no denial of ::1 logged"
  pass "usbipd refuses ::1"
fi

# The library sees an ordinary local module.
"$ksvhid" list --json >"$work/list.log"
grep -q "\"serial\":\"$serial\"" "$work/list.log" || fail "ksvhid list does not name $serial"
pass "listed: $(cat "$work/list.log")"

"$ksvhid" send "$serial" 11 22 33 --repeat 100 --json >"$work/send.log" ||
  fail "exchanges with the attached module"
# Reply: the command XORed with 0x5a, zero bytes included.
grep -q '"result":1,' "$work/send.log" && grep -q '"results":{"1":100}' "$work/send.log" &&
  grep -q '"reply":"4b7869\(5a\)\{60\}"' "$work/send.log" || fail "exchange results"
pass "100 exchanges: $(grep -o '"round_trip_ms":{[^}]*}' "$work/send.log")"

# Detach under an open handle while exchanges run on it.
timeout 120 "$ksvhid" send "$serial" 44 --repeat 5000 --json >"$work/detach.log" 2>&1 &
sender=$!
sleep 1
usbip detach -p "$port" >"$work/usbip-detach.log" 2>&1 || fail "usbip detach -p $port"
port=
status=0
wait "$sender" || status=$?
[ "$status" = 1 ] || fail "ksvhid send after the detach: exit status $status, not 1"
grep -q '"result":-255,' "$work/detach.log" || fail "the last exchange after the detach is not -255"
grep -q '"reply":null' "$work/detach.log" || fail "a reply was written after the detach"
# Every exchange gave 1 or -255: the detach shows as nothing else, in flight or afterwards.
results=$(grep -o '"results":{[^}]*}' "$work/detach.log")
[[ $results =~ ^\"results\":\{\"-255\":[0-9]+,\"1\":[0-9]+\}$ ]] ||
  fail "results besides 1 and -255: $results"
pass "detach under an open handle: $results"
echo "usbip-guest.sh: all passed"
