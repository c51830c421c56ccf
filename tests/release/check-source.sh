#!/usr/bin/env bash
# The source archive and the checksums:
#   check-source.sh DIST WORK
# The archive unpacked in a fresh folder has no .git, holds the licence and the changelog, and the
# README's first command, bash tools/demo.sh, builds there and exchanges with a simulated module.
# SHA256SUMS lists every other file of DIST, and each one verifies.
set -euo pipefail

dist=$(realpath "$1") work=$(realpath "$2")
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=tests/release/lib.sh
source "$root/tests/release/lib.sh"
version=$(sed -n 's/^project(KSVHidApi VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
tree=$work/KSVHidApi-$version

unpacked() {
  mkdir -p "$work"
  tar -xzf "$dist/KSVHidApi-$version.tar.gz" -C "$work"
  [ ! -e "$tree/.git" ] && [ -f "$tree/LICENSE" ] && [ -f "$tree/CHANGELOG.md" ] &&
    [ -f "$tree/tools/demo.sh" ]
}
demo() {
  local output
  output=$(cd "$tree" && bash tools/demo.sh 2>&1) || { echo "$output"; return 1; }
  expect_lines "$output" "result: 1 reply (report ID 1)" &&
    grep -qE '^ +00 +02 03 04 01' <<<"$output" || { echo "$output"; return 1; }
}
sums() {
  local listed present
  (cd "$dist" && sha256sum --strict -c SHA256SUMS) || return 1
  listed=$(sed 's/^[0-9a-f]*  //' "$dist/SHA256SUMS" | LC_ALL=C sort)
  present=$(cd "$dist" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%f\n' | LC_ALL=C sort)
  [ "$listed" = "$present" ] || { diff <(echo "$listed") <(echo "$present"); return 1; }
}

check "source: the archive unpacks with no .git, with LICENSE and CHANGELOG.md" unpacked
check "source: bash tools/demo.sh builds in the unpacked tree and exchanges" demo
check "release: SHA256SUMS covers every file and verifies" sums
