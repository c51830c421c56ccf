#!/usr/bin/env bash
# Record and replay across systems: the recorder DLL under Wine in the test guest records the
# record_replay script against the uhid bed's modules; the recording then replays with the same
# results in the Linux simulator (in the guest) and in the Windows simulator under plain Wine (on
# this host). A recording is not tied to the system it was made on.
#   record-replay.sh LINUX_BUILD WINDOWS_BUILD
#
# LINUX_BUILD provides ksv-virtual-module, tests/device/record_replay and simulator/; WINDOWS_BUILD
# (64-bit) provides bin/record_replay.exe, recorder/KSVHidApi.dll and simulator/KSVHidApi.dll.
# The script runs with --wine (see tests/device/record_replay.cpp): Wine does not enforce
# exclusive opens, a walk costs about 2 s there, and Wine ends a read on a uhid device that leaves
# with nothing delivered, which a recording has no step for.
# Environment: KSV_WG_TIMEOUT (the guest run, default 300 s), KSV_WG_PREFIX (see prepare-prefix.sh),
# KSV_WINEPREFIX (the host's prefix, see tests/wine/run-wine.sh).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)

if [ "${1:-}" = --in-guest ]; then
  # Guest side: LINUX_BUILD WINDOWS_BUILD PREFIX OUT
  linux=$2 windows=$3 prefix=$4 out=$5
  status=0
  KSVHID_RECORD=$out/recording.json "$here/in-guest.sh" "$prefix" "$((${KSV_WG_TIMEOUT:-300} - 60))" \
    "$windows/bin/record_replay.exe" run ../recorder/KSVHidApi.dll "$out/recorded.txt" --wine ||
    status=$?
  [ "$status" = 0 ] || { echo "record-replay.sh: the recording run failed ($status)"; exit "$status"; }
  KSVHID_SIMULATION=$out/recording.json "$linux/tests/device/record_replay" run \
    "$linux/simulator/libKSVHidApi.so" "$out/linux.txt" --wine 2>"$out/linux.err" || status=$?
  if [ -s "$out/linux.err" ]; then
    echo "record-replay.sh: the Linux simulator's standard error:"
    cat "$out/linux.err"
    status=1
  fi
  "$linux/tests/device/record_replay" compare "$out/recorded.txt" "$out/linux.txt" \
    "$out/recording.json" || status=$?
  exit "$status"
fi

[ $# -eq 2 ] || {
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
}
linux=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
for f in "$linux/tools/virtual-module/ksv-virtual-module" "$linux/tests/device/record_replay" \
  "$windows/bin/record_replay.exe" "$windows/recorder/KSVHidApi.dll" \
  "$windows/simulator/KSVHidApi.dll"; do
  [ -f "$f" ] || {
    echo "record-replay.sh: $f not found (build both trees first)" >&2
    exit 1
  }
done

prefix=$("$here/prepare-prefix.sh")
exec 8<"$prefix.lock"
flock -s 8
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

start=$SECONDS
status=0
"$repo/tests/vm/run-in-guest.sh" --udev --rw "$out" --timeout "${KSV_WG_TIMEOUT:-300}" -- \
  "$repo/tests/device/with-modules.sh" "$linux/tools/virtual-module/ksv-virtual-module" \
  "$linux/tests/device/record_replay" -- \
  "$here/record-replay.sh" --in-guest "$linux" "$windows" "$prefix" "$out" || status=$?
echo "record-replay.sh: guest run $((SECONDS - start)) s, status $status"
[ "$status" = 0 ] || exit "$status"

start=$SECONDS
(cd "$windows/bin" && KSVHID_SIMULATION=$out/recording.json "$repo/tests/wine/run-wine.sh" \
  ./record_replay.exe run ../simulator/KSVHidApi.dll "$out/windows.txt" --wine) || status=$?
"$linux/tests/device/record_replay" compare "$out/recorded.txt" "$out/windows.txt" \
  "$out/recording.json" || status=$?
echo "record-replay.sh: the Windows simulator under Wine $((SECONDS - start)) s, status $status"
exit "$status"
