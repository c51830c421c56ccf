#!/usr/bin/env bash
# One test of the test command's schedule (tests/harness/CMakeLists.txt):
#   tree.sh build NAME DIR TARGET CMAKE-ARGS...   configures DIR with Ninja and builds TARGET
#   tree.sh test NAME DIR CTEST-ARGS...           runs CTest in DIR, its JUnit report NAME.xml
# DIR lies in the build folder, whose results/ gets NAME.log (the output) and NAME.xml.
set -uo pipefail

step=$1 name=$2 dir=$3
shift 3
root=$(cd "$(dirname "$0")/../.." && pwd)
results=$(dirname "$dir")/results
mkdir -p "$results"
# The output goes to the log as well, which the summary prints when the suite fails.
exec > >(tee "$results/$name.log") 2>&1
cd "$root" || exit 1
jobs=$(nproc)

case $step in
  build)
    target=$1
    shift
    cmake -S "$root" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 ||
      { cat "$dir.configure.log"; exit 1; }
    cmake --build "$dir" -j "$jobs" --target "$target" || exit 1
    # Counts of an earlier run would add to this one's coverage.
    find "$dir" -name '*.gcda' -delete
    ;;
  test)
    rm -f "$results/$name.xml"
    # Tests that count cases of their own (pytest's, the release checks) report them here, by the
    # test's name; the summary counts those cases.
    export KSV_CASE_REPORTS=$results/cases
    mkdir -p "$KSV_CASE_REPORTS"
    # Every tree is unity-built from scratch, so each CTest run may take both cores; a selection
    # that matches nothing is a failure, not an empty pass.
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600 --no-tests=error \
      --output-junit "$results/$name.xml" "$@"
    ;;
  *)
    echo "tree.sh: unknown step $step" >&2
    exit 2
    ;;
esac
