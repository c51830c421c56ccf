#!/usr/bin/env bash
# The release made from the built trees, and each of its files installed and used as its users
# would (tests/run-all.sh's release suite):
#   tests/release/run.sh BUILD [TALLY]
# BUILD holds the linux, windows and windows32 trees and the Wine prefixes of the Windows suites
# (wine-prefix, wine-prefix-32). The release goes to BUILD/release-dist, the checks work in
# BUILD/release-checks. Each check prints "ok: ..." or "FAIL: ..."; TALLY gets "PASSED FAILED".
set -uo pipefail

build=$(realpath "$1")
tally=${2:-/dev/null}
root=$(cd "$(dirname "$0")/../.." && pwd)
here=$root/tests/release
dist=$build/release-dist
work=$build/release-checks
rm -rf "$work"
mkdir -p "$work"
log=$work/checks.log

{
  start=$SECONDS
  if bash "$root/tools/release.sh" --build "$build" --out "$dist" >"$work/release.log" 2>&1; then
    echo "ok: release: tools/release.sh made $(ls "$dist" | wc -l) files [$((SECONDS - start)) s]"
    # The Debian checks spend most of their time in the test guest, on one emulated processor:
    # the others run beside them.
    bash "$here/check-debian.sh" "$dist" "$work/debian" \
      "$build/linux/tools/virtual-module/ksv-virtual-module" >"$work/debian.log" 2>&1 &
    debian=$!
    bash "$here/check-windows.sh" "$dist" "$work/windows" "$build/wine-prefix" \
      "$build/wine-prefix-32"
    bash "$here/check-nuget.sh" "$dist" "$work/nuget" "$build/linux/simulator"
    bash "$here/check-source.sh" "$dist" "$work/source"
    wait "$debian" || echo "FAIL: debian: check-debian.sh ended with status $?"
    cat "$work/debian.log"
  else
    echo "FAIL: release: tools/release.sh"
    cat "$work/release.log"
  fi
} 2>&1 | tee "$log"

passed=$(grep -c '^ok: ' "$log")
failed=$(grep -c '^FAIL: ' "$log")
echo "$passed $failed" >"$tally"
echo "release checks: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
