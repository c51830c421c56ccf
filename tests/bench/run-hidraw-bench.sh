#!/usr/bin/env bash
# Runs the hidraw benchmark in the test guest, in one guest run against eight uhid modules and then
# against four USB modules (configfs gadgets on dummy_hcd).
#   bash tests/bench/run-hidraw-bench.sh [BUILD_DIR] [EXCHANGES]
# BUILD_DIR is a build configured with -DKSV_BUILD_BENCHMARKS=ON (default build/bench).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build/bench}" && pwd)
exchanges=${2:-2000}
bench=$build/tests/bench/ksvhid_hidraw_bench
modules=$build/tools/virtual-module/ksv-virtual-module
[ -x "$bench" ] && [ -x "$modules" ] || { echo "build $build with -DKSV_BUILD_BENCHMARKS=ON first"; exit 2; }
cd "$build"
exec "$root/tests/vm/run-in-guest.sh" --timeout 900 -- \
  "$root/tests/device/with-modules.sh" --beds uhid,usb "$modules" "$bench" -- "$bench" "$exchanges"
