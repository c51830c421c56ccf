#!/usr/bin/env bash
# The release made from the built trees, and each of its files installed and used as its users
# would (the Linux tree's test release_checks, which tests/run-all.sh runs as its release suite):
#   tests/release/run.sh BUILD
# BUILD holds the linux, windows and windows32 trees and the Wine prefixes of the Windows suites
# (wine-prefix, wine-prefix-32). The release goes to BUILD/release-dist, the checks work in
# BUILD/release-checks. Each check prints "ok: ..." or "FAIL: ..."; the run fails when any
# check failed or none passed.
set -euo pipefail

build=$(realpath "$1")
root=$(cd "$(dirname "$0")/../.." && pwd)
here=$root/tests/release
dist=$build/release-dist
work=$build/release-checks
rm -rf "$work"
mkdir -p "$work"
log=$work/checks.log

# part SCRIPT ARGS...: one of the check scripts; one that ends early is a failure of its own.
part() {
  local status=0
  bash "$here/$1" "${@:2}" || status=$?
  [ "$status" -eq 0 ] || echo "FAIL: $1 ended with status $status"
}

{
  start=$SECONDS
  if bash "$root/tools/release.sh" --build "$build" --out "$dist" --allow-coverage >"$work/release.log" 2>&1; then
    echo "ok: release: tools/release.sh made $(ls "$dist" | wc -l) files [$((SECONDS - start)) s]"
    # The Debian checks spend most of their time in the test guest, on one emulated processor:
    # the others run beside them.
    part check-debian.sh "$dist" "$work/debian" \
      "$build/linux/tools/virtual-module/ksv-virtual-module" >"$work/debian.log" 2>&1 &
    debian=$!
    part check-windows.sh "$dist" "$work/windows" "$build/wine-prefix" "$build/wine-prefix-32"
    part check-nuget.sh "$dist" "$work/nuget" "$build/linux/simulator"
    part check-source.sh "$dist" "$work/source"
    wait "$debian"
    cat "$work/debian.log"
  else
    echo "FAIL: release: tools/release.sh"
    cat "$work/release.log"
  fi
} 2>&1 | tee "$log"

# Each check a case of the test's own report, where the test command asks for one.
if [ -n "${KSV_CASE_REPORTS:-}" ]; then
  /usr/bin/python3 - "$log" >"$KSV_CASE_REPORTS/release_checks.xml" <<'EOF_PY'
import sys
from xml.sax.saxutils import quoteattr
print('<?xml version="1.0" encoding="UTF-8"?><testsuite name="release_checks">')
for line in open(sys.argv[1], errors="replace"):
    for mark, verdict in (("ok: ", ""), ("FAIL: ", "<failure/>")):
        if line.startswith(mark):
            print("<testcase name=%s>%s</testcase>" % (quoteattr(line[len(mark):].rstrip()), verdict))
print("</testsuite>")
EOF_PY
fi
passed=$(grep -c '^ok: ' "$log" || true)
failed=$(grep -c '^FAIL: ' "$log" || true)
echo "release checks: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
