#!/usr/bin/env bash
# The sources formatted as .clang-format says, and every relative link of the README and docs/
# naming a file of the tree. Run from anywhere; a CTest test of the Linux tree (label format).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

status=0
# The sources git tracks; in an unpacked source archive, which has no .git, those of the tree.
if [ -e .git ]; then
  git ls-files '*.cpp' '*.h' '*.hpp' '*.c'
else
  find Library tools tests bindings -name '*.cpp' -o -name '*.h' -o -name '*.hpp' -o -name '*.c'
fi | xargs clang-format --dry-run --Werror || status=1
for doc in README.md docs/*.md; do
  for target in $(grep -oE '\]\([^):]+\)' "$doc" | sed -E 's/^\]\(([^)#]*).*/\1/'); do
    [ -e "$(dirname "$doc")/$target" ] || { echo "$doc: no such file: $target"; status=1; }
  done
done
exit "$status"
