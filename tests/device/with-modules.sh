#!/usr/bin/env bash
# Runs COMMAND while the device suite's virtual modules exist (inside the test guest):
#   with-modules.sh [--beds BED,...] VIRTUAL_MODULE DEVICE_SUITE -- COMMAND [ARGS...]
# BED is uhid (the default), usb1 or usb2: uhid devices, or one of the two sets of USB modules
# (configfs gadgets on dummy_hcd; the kernel makes at most 4 at a time). COMMAND runs once per bed,
# with KSV_DEVICE_BED naming it; DEVICE_SUITE --print-devices gives that bed's device descriptions.
# KSV_MODULE_CONTROL names ksv-virtual-module's control FIFO ("unplug ID" takes a module off the
# bus). The modules are removed when COMMAND ends. The exit status is the first failing run's.
set -euo pipefail

beds=uhid
if [ "${1:-}" = "--beds" ]; then
  beds=$2
  shift 2
fi
virtual_module=$1
suite=$2
shift 2
[ "${1:-}" = "--" ] && shift

work=$(mktemp -d)
vm_pid=
stop_modules() {
  if [ -n "$vm_pid" ]; then
    kill -TERM "$vm_pid" 2>/dev/null || true
    wait "$vm_pid" 2>/dev/null || true
    vm_pid=
  fi
}
trap 'stop_modules; rm -rf "$work"' EXIT

status=0
IFS=, read -r -a bed_list <<<"$beds"
for bed in "${bed_list[@]}"; do
  export KSV_DEVICE_BED=$bed KSV_MODULE_CONTROL=$work/control-$bed
  backend=()
  [ "$bed" = uhid ] || backend=(--usb)
  mapfile -t devices <<<"$("$suite" --print-devices)"
  log=$work/$bed.log
  start=$SECONDS
  "$virtual_module" "${backend[@]}" --control "$KSV_MODULE_CONTROL" "${devices[@]}" >"$log" 2>&1 &
  vm_pid=$!
  for _ in $(seq 1 400); do
    grep -q '^ready' "$log" && break
    if ! kill -0 "$vm_pid" 2>/dev/null; then
      echo "ksv-virtual-module ended early:"; cat "$log"; exit 1
    fi
    sleep 0.05
  done
  grep -q '^ready' "$log" || { echo "virtual modules not ready:"; cat "$log"; exit 1; }
  echo "=== bed $bed: modules made in $((SECONDS - start)) s"
  grep '^added' "$log" || true
  run_status=0
  "$@" || run_status=$?
  if [ "$run_status" != 0 ]; then
    echo "=== bed $bed: ksv-virtual-module's answers after ready:"
    sed '1,/^ready/d' "$log" | tail -n 40
  fi
  [ "$status" != 0 ] || status=$run_status
  stop_modules
  echo "=== bed $bed: $((SECONDS - start)) s, status $run_status"
done
exit "$status"
