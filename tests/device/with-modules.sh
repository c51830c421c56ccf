#!/usr/bin/env bash
# Runs COMMAND while the device suite's virtual modules exist (inside the test guest):
#   with-modules.sh VIRTUAL_MODULE DEVICE_SUITE -- COMMAND [ARGS...]
# DEVICE_SUITE --print-devices gives the device descriptions; the modules are removed when
# COMMAND ends. The exit status is COMMAND's.
set -euo pipefail

virtual_module=$1
suite=$2
shift 2
[ "${1:-}" = "--" ] && shift

mapfile -t devices <<<"$("$suite" --print-devices)"
log=$(mktemp)
"$virtual_module" --control none "${devices[@]}" >"$log" 2>&1 &
vm_pid=$!
cleanup() {
  kill -TERM "$vm_pid" 2>/dev/null || true
  wait "$vm_pid" 2>/dev/null || true
  rm -f "$log"
}
trap cleanup EXIT

for _ in $(seq 1 200); do
  grep -q '^ready' "$log" && break
  if ! kill -0 "$vm_pid" 2>/dev/null; then
    echo "ksv-virtual-module ended early:"; cat "$log"; exit 1
  fi
  sleep 0.05
done
grep -q '^ready' "$log" || { echo "virtual modules not ready:"; cat "$log"; exit 1; }
grep '^added' "$log" || true

status=0
"$@" || status=$?
exit "$status"
