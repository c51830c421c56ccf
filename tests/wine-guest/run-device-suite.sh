#!/usr/bin/env bash
# The device suite of the Windows DLL against virtual HID devices: Wine in the test guest.
#   run-device-suite.sh LINUX_BUILD WINDOWS_BUILD
#
# LINUX_BUILD provides ksv-virtual-module and the Linux device_suite (whose --print-devices gives
# the device table); WINDOWS_BUILD, 64-bit or 32-bit, provides bin/device_suite.exe next to
# bin/KSVHidApi.dll. The guest boots, makes the modules, and runs device_suite.exe under Wine of
# the program's width, with the prefix from prepare-prefix.sh for that width (read-only from the
# host; its changes stay in the guest's overlay), so the
# DLL's discovery and exchanges go through Wine's SetupAPI, HID.DLL and overlapped I/O down to
# hidraw. Prints the suite's output; the exit status is the suite's.
#
# Environment: KSV_WG_TIMEOUT (whole guest run, default 600 s), KSV_WG_WAIT (seconds the suite
# waits for Wine to list the modules, default 240), KSV_WG_BEDS (the beds of with-modules.sh, one
# Wine run each in the same guest, default uhid; uhid,usb1,usb2 adds the USB modules),
# KSV_WG_WATCH_CYCLES (modules that come and go for the check of KSVHidWatch.dll after the suite on
# the uhid bed; default 10 for a 64-bit program, 0 for a 32-bit one), KSV_WG_PREFIX and KSV_WG_PREFIX32 (see prepare-prefix.sh).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)

[ $# -eq 2 ] || {
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
}
linux=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
timeout_s=${KSV_WG_TIMEOUT:-600}
wait_s=${KSV_WG_WAIT:-240}
beds=${KSV_WG_BEDS:-uhid}

virtual_module=$linux/tools/virtual-module/ksv-virtual-module
linux_suite=$linux/tests/device/device_suite
exe=$windows/bin/device_suite.exe
for f in "$virtual_module" "$linux_suite" "$exe" "$windows/bin/KSVHidApi.dll" \
  "$windows/bin/KSVHidWatch.dll"; do
  [ -f "$f" ] || {
    echo "run-device-suite.sh: $f not found (build both trees first)" >&2
    exit 1
  }
done

bits=$("$repo/tests/wine/pe-bits.sh" "$exe") || {
  echo "run-device-suite.sh: $exe is not a Windows program" >&2
  exit 1
}
if [ "$bits" = 32 ]; then
  prefix=$("$here/prepare-prefix.sh" --32)
else
  prefix=$("$here/prepare-prefix.sh")
fi
watch_cycles=${KSV_WG_WATCH_CYCLES:-$([ "$bits" = 64 ] && echo 10 || echo 0)}
# Shared with other runs, exclusive for prepare-prefix.sh: the prefix is not remade under a guest.
exec 8<"$prefix.lock"
flock -s 8

start=$SECONDS
status=0
# The program's own limit leaves time to print its output and end Wine before the guest's.
"$repo/tests/vm/run-in-guest.sh" --udev --timeout "$timeout_s" -- \
  "$repo/tests/device/with-modules.sh" --beds "$beds" "$virtual_module" "$linux_suite" -- \
  "$here/in-guest.sh" "$prefix" "$((timeout_s - 60))" "$exe" --wait-seconds "$wait_s" \
  --watch-cycles "$watch_cycles" ||
  status=$?
echo "run-device-suite.sh: guest run ($bits-bit Wine) $((SECONDS - start)) s, status $status"
exit "$status"
