#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs every test:
#   1. Linux build (warnings as errors, coverage counters) and its tests, the guest tests among
#      them; the Python package and its wheels; the release, each of its files installed and used;
#      the soak in the test guest; formatting
#   2. the same tests under AddressSanitizer and UndefinedBehaviorSanitizer; the concurrency tests
#      under ThreadSanitizer; the fuzz targets for a bounded time (clang, libFuzzer)
#   3. windows-wine: the 64-bit Windows DLL, cross-built with mingw-w64, and its tests under Wine
#   4. windows-devices: the 64-bit DLL under Wine in the test guest, against virtual HID devices
#      made by uhid and against USB modules (configfs gadgets on dummy_hcd); record-replay: its
#      recorder DLL in the guest, the recording replayed by the Linux and Windows simulators
#   5. windows32-wine and windows32-devices: the same for the 32-bit DLL under 32-bit Wine
#   6. line and branch coverage of Library/ from the Linux tree's counts: at least 90 % of lines
#
# Each tree is a CMake build under build/ (KSV_BUILD_DIR) and each suite a run of CTest in its
# tree; tests/harness is the schedule: a CMake project whose tests build the trees and run the
# suites, two at a time (ctest -j2). Each suite writes build/results/SUITE.xml (JUnit) and
# SUITE.log; the closing line "N passed, N failed" is summed from those reports (a failed build
# counts as one failed test). See docs/testing.md.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${KSV_BUILD_DIR:-$root/build}")
cd "$root"

bash tests/install-deps.sh || { echo "package installation failed"; exit 1; }

start=$SECONDS
results=$build/results
rm -rf "$results" "$build/harness"
mkdir -p "$results"
cmake -S tests/harness -B "$build/harness" -DKSV_BUILD_DIR="$build" >"$results/harness.log" 2>&1 ||
  { cat "$results/harness.log"; echo "0 passed, 1 failed"; exit 1; }
# One line per build or suite as it ends; the output of each is in its log. The processor time
# of everything it starts (user + system) is reported beside the wall time.
TIMEFORMAT='%0U %0S'
{ time ctest --test-dir "$build/harness" -j 2 --output-junit "$results/harness.xml" 2>&3 |
  grep --line-buffered -E '^ *[0-9]+/'; } 3>&2 2>"$results/harness.cpu"

# Wine's background processes outlive the tests; end them.
for prefix in "$build/wine-prefix" "$build/wine-prefix-32"; do
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
done

echo
status=0
python3 tests/harness/summary.py "$build" || status=1
read -r user system <"$results/harness.cpu"
echo "all suites in $((SECONDS - start)) s after the packages, processor time $((user + system)) s"
exit "$status"
