#!/usr/bin/env bash
# From a fresh Debian machine to one exchange with a module, without hardware: installs the
# packages the build needs, builds the library and ksvhid into build/demo, lists the built-in
# simulated modules and sends a command to one of them.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/demo

bash "$root/tests/install-deps.sh"
# A unity build: the sources of each target compile together, in about half the time.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKSV_BUILD_TESTS=OFF \
  -DCMAKE_UNITY_BUILD=ON >/dev/null
cmake --build "$build" --target ksvhid

ksvhid=$build/tools/ksvhid/ksvhid
run() {
  echo
  echo "\$ ksvhid $*"
  "$ksvhid" "$@"
}
# The modules found, as the library's walk finds them; then one command out and one reply back:
# KSV-SIM-0001 answers with report ID 1 (result 1) and every command byte plus one.
run --simulated list
run --simulated send KSV-SIM-0001 01 02 03
