#!/usr/bin/env bash
# Line and branch coverage of Library/ (the Linux and portable parts) from the counts of a tree
# configured with -DKSV_COVERAGE=ON, after its tests ran:
#   coverage.sh TREE OUT
# writes OUT/index.html (each file's lines), OUT/summary.json and OUT/summary.txt, prints the
# totals (also to OUT.log), and fails when less than 90 % of the lines ran.
# The test guest wrote its counts below TREE/guest-coverage, at the tree's own paths; each of
# them needs its object's notes file (.gcno) beside it, as in the tree.
set -euo pipefail

tree=$(cd "$1" && pwd)
out=$2
floor=90
root=$(cd "$(dirname "$0")/../.." && pwd)
guest=$tree/guest-coverage

rm -rf "$out"
mkdir -p "$out"
# The output also goes to OUT.log, which the test command prints when this fails.
exec > >(tee "$out.log") 2>&1
if [ -d "$guest$tree" ]; then
  (cd "$guest$tree" && find . -name '*.gcda') | sed 's/\.gcda$/.gcno/' |
    (cd "$tree" && xargs -r cp --parents -t "$guest$tree")
fi

# Windows' platform is not built on Linux; its files are named so that they stay out even if a
# header of it were included.
status=0
gcovr --root "$root" --filter "$root/Library/" --exclude "$root/Library/platform/windows/" \
  --exclude-unreachable-branches --exclude-throw-branches -j "$(nproc)" \
  --html-details "$out/index.html" --json-summary "$out/summary.json" --txt "$out/summary.txt" \
  --fail-under-line "$floor" "$tree" || status=$?
cat "$out/summary.txt"
[ "$status" -eq 0 ] || echo "coverage: below the floor of $floor % of the lines (gcovr status $status)"
exit "$status"
