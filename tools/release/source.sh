#!/usr/bin/env bash
# The source archive KSVHidApi-VERSION.tar.gz (called by tools/release.sh, which sets
# KSV_RELEASE_*): the files that git tracks, as they are in the working tree, under
# KSVHidApi-VERSION/, without .git; tools/demo.sh and tests/run-all.sh work in it as unpacked,
# and so does this script.
set -euo pipefail

root=$KSV_RELEASE_ROOT out=$KSV_RELEASE_OUT version=$KSV_RELEASE_VERSION
name=KSVHidApi-$version
cd "$root"
# Tracked files that exist (a file deleted but not yet committed is left out). A tree unpacked
# from a source archive has no .git: all of its files but the build's and the release's.
if [ -e .git ]; then
  git ls-files -z | while IFS= read -r -d '' file; do
    if [ -e "$file" ] || [ -L "$file" ]; then printf '%s\0' "$file"; fi
  done
else
  find . \( -path ./build -o -path ./dist -o -path ./.cache \) -prune -o ! -type d -printf '%P\0'
fi >"$KSV_RELEASE_WORK/source-files"
tar --null -T "$KSV_RELEASE_WORK/source-files" --transform "s|^|$name/|" --sort=name \
  --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner --mode='u+w,go-w' \
  --format=gnu -cf - | gzip -9n >"$out/$name.tar.gz"
