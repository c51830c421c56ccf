#!/usr/bin/env bash
# Makes the release in dist/ from the trees that the build already made (build/linux, build/windows,
# build/windows32, as tests/run-all.sh or the presets' equivalents build them); it builds nothing
# again:
#   KSVHidApi-VERSION-windows.zip         x64/ and x86/: DLLs, MSVC and GNU import libraries, .def
#                                         files, ksvhid.exe, the simulator, headers, CMake package
#   KSVHidApi-VERSION-x64.msi, -x86.msi   the same per width, installed under Program Files
#   libksvhidapi1_*.deb, libksvhidapi-dev_*.deb, ksvhid_*.deb
#   KsvHid.VERSION.nupkg                  the .NET binding with the native libraries
#   ksvhid-VERSION-py3-none-*.whl         the three Python wheels
#   KSVHidApi-VERSION.tar.gz              the source tree
#   SHA256SUMS
# Usage: tools/release.sh [--build DIR] [--out DIR] [--allow-coverage]
#   (defaults: build/ and dist/ of the repository). A Linux tree configured with KSV_COVERAGE
#   (the test command's) is refused: its programs write count files below its build folder
#   wherever they run. --allow-coverage takes it all the same, for the release checks
#   (tests/release/run.sh), whose files are never published.
# docs/releasing.md says how a release is made and what each file holds.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KSV_BUILD_DIR:-$root/build}
out=$root/dist
allow_coverage=0
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$(realpath "$2"); shift 2 ;;
    --out) out=$(realpath -m "$2"); shift 2 ;;
    --allow-coverage) allow_coverage=1; shift ;;
    *) echo "usage: tools/release.sh [--build DIR] [--out DIR] [--allow-coverage]" >&2; exit 2 ;;
  esac
done
here=$root/tools/release

# One version for everything: the project's, as each tree was configured with it.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/linux/CMakeCache.txt")
for tree in linux windows windows32; do
  [ -f "$build/$tree/CMakeCache.txt" ] ||
    { echo "release: $build/$tree was not built" >&2; exit 1; }
  tree_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/$tree/CMakeCache.txt")
  [ "$tree_version" = "$version" ] ||
    { echo "release: $tree is version $tree_version, linux $version" >&2; exit 1; }
done
if [ "$allow_coverage" = 0 ] && grep -qx 'KSV_COVERAGE:BOOL=ON' "$build/linux/CMakeCache.txt"; then
  echo "release: $build/linux has coverage counters; build it without them first:" >&2
  echo "  cmake -DKSV_COVERAGE=OFF $build/linux && cmake --build $build/linux" >&2
  exit 1
fi
# Every archive dates its files to the last commit (or, without .git, to the CHANGELOG), so that
# the same trees give the same files.
if [ -e "$root/.git" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
else
  SOURCE_DATE_EPOCH=$(stat -c %Y "$root/CHANGELOG.md")
fi
export SOURCE_DATE_EPOCH

rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KSV_RELEASE_ROOT=$root KSV_RELEASE_BUILD=$build KSV_RELEASE_OUT=$out KSV_RELEASE_WORK=$work
export KSV_RELEASE_VERSION=$version

bash "$here/windows.sh"
bash "$here/debian.sh"
/usr/bin/python3 "$here/nuget.py"
cp "$build"/linux/python/ksvhid-"$version"-py3-none-linux_x86_64.whl \
  "$build"/windows/python/ksvhid-"$version"-py3-none-win_amd64.whl \
  "$build"/windows32/python/ksvhid-"$version"-py3-none-win32.whl "$out/"
bash "$here/source.sh"

(cd "$out" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%f\n' | LC_ALL=C sort |
  xargs sha256sum >SHA256SUMS)
echo "release $version in $out:"
(cd "$out" && ls -l --time-style=+ | tail -n +2 | awk '{print "  " $5 "\t" $NF}')
