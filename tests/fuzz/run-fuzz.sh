#!/usr/bin/env bash
# Runs every fuzz target of a KSV_FUZZ build for a bounded time, starting from its seed corpus in
# tests/fuzz/corpus/<name>, as many at once as there are cores:
#   tests/fuzz/run-fuzz.sh BUILD_DIR [TALLY_FILE]
# KSV_FUZZ_SECONDS sets the time per target (12). New inputs go to BUILD_DIR/fuzz-corpus, never into
# the seeds; an input that breaks a target is kept as BUILD_DIR/fuzz-artifacts/<name>-crash-*.
# Writes "passed failed" (one per target) to TALLY_FILE when given; exits non-zero when any failed.
set -uo pipefail

build=$(cd "$1" && pwd)
tally=${2:-}
seconds=${KSV_FUZZ_SECONDS:-12}
here=$(cd "$(dirname "$0")" && pwd)
targets=(serial reply uevent cli_text simulation)
jobs=$(nproc)

mkdir -p "$build/fuzz-corpus" "$build/fuzz-artifacts"
run_one() {  # NAME
  local name=$1 corpus="$build/fuzz-corpus/$1"
  mkdir -p "$corpus"
  # The uevent buffer is one page, the longest input any target reads.
  "$build/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$name-" \
    "$corpus" "$here/corpus/$name" >"$build/fuzz-$name.log" 2>&1
}

pids=()
statuses=()
for name in "${targets[@]}"; do
  run_one "$name" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$jobs" ]; then
    wait "${pids[0]}"
    statuses+=($?)
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do
  wait "$pid"
  statuses+=($?)
done

passed=0
failed=0
for i in "${!targets[@]}"; do
  name=${targets[$i]}
  log="$build/fuzz-$name.log"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  if [ "${statuses[$i]}" -eq 0 ] && [ -n "$runs" ]; then
    passed=$((passed + 1))
    echo "fuzz_$name: passed, $runs inputs in $seconds s"
  else
    failed=$((failed + 1))
    echo "fuzz_$name: FAILED (exit ${statuses[$i]})"
    grep -m 1 -E -A 25 'ERROR|invariant broken|runtime error' "$log"
  fi
done
[ -n "$tally" ] && echo "$passed $failed" >"$tally"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
