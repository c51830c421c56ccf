#!/usr/bin/env bash
# Runs fuzz targets of a KSV_FUZZ build for a bounded time each, starting from the seed corpus in
# tests/fuzz/corpus/<name>, one after another:
#   tests/fuzz/run-fuzz.sh BUILD_DIR [NAME...]      (all five when no NAME is given)
# The tree's CTest tests run it for one target each (two at a time with ctest -j2).
# KSV_FUZZ_SECONDS sets the time per target (12). New inputs go to BUILD_DIR/fuzz-corpus, never into
# the seeds; an input that breaks a target is kept as BUILD_DIR/fuzz-artifacts/<name>-crash-*.
# Exits non-zero when any target failed.
set -uo pipefail

build=$(cd "$1" && pwd)
shift
seconds=${KSV_FUZZ_SECONDS:-12}
here=$(cd "$(dirname "$0")" && pwd)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(serial reply uevent cli_text simulation)

failed=0
for name in "${targets[@]}"; do
  corpus=$build/fuzz-corpus/$name log=$build/fuzz-$name.log status=0
  mkdir -p "$corpus" "$build/fuzz-artifacts"
  # The uevent buffer is one page, the longest input any target reads.
  "$build/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$name-" \
    "$corpus" "$here/corpus/$name" >"$log" 2>&1 || status=$?
  # A target that exits 0 without its final statistics did not fuzz.
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  if [ "$status" -eq 0 ] && [ -n "$runs" ]; then
    echo "fuzz_$name: passed, $runs inputs in $seconds s"
  else
    failed=$((failed + 1))
    echo "fuzz_$name: FAILED (exit $status)"
    grep -m 1 -E -A 25 'ERROR|invariant broken|runtime error' "$log"
  fi
done
[ "$failed" -eq 0 ]
