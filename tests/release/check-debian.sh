#!/usr/bin/env bash
# The Debian packages: lintian on the host reports no errors on them, and in the test guest they
# are installed, used and removed (debian-guest.sh):
#   check-debian.sh DIST WORK VIRTUAL-MODULE
set -euo pipefail

dist=$(realpath "$1") work=$(realpath -m "$2") virtual_module=$(realpath "$3")
root=$(cd "$(dirname "$0")/../.." && pwd)
here=$root/tests/release
# shellcheck source=tests/release/lib.sh
source "$here/lib.sh"
mkdir -p "$work/guest"

lintian_clean() {
  local output status=0
  output=$(lintian --fail-on error "$dist"/*.deb 2>&1) || status=$?
  # lintian says when it runs as root; that is no finding about the packages.
  grep -v 'running with root privileges' <<<"$output" || true
  return "$status"
}
# lintian works on the host's processors while the guest runs on its own.
check "debian: lintian reports no errors on the three packages" lintian_clean >"$work/lintian.log" &
lintian=$!

# The CMake consumer's build folder begins on the host: CMake finds out about the compiler there
# (the same one the guest runs) in a second instead of half a minute of the guest's emulated
# processor. Without the packages installed its configure stops at find_package(KSVHidApi); in
# the guest it goes on from there.
cmake -S "$here/consumer" -B "$work/guest/consumer-cmake" -G Ninja >/dev/null 2>&1 || true
# The guest's lines are this check's lines; a guest that did not run them is one failure.
status=0
output=$("$root/tests/vm/run-in-guest.sh" --udev --timeout 300 --rw "$work/guest" -- \
  bash "$here/debian-guest.sh" "$dist" "$virtual_module" "$work/guest" 2>&1) || status=$?
wait "$lintian"
cat "$work/lintian.log"
printf '%s\n' "$output"
grep -qE '^(ok|FAIL): debian: dpkg -r' <<<"$output" ||
  echo "FAIL: debian: the test guest did not run the checks to their end (exit $status)"
