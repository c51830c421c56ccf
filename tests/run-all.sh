#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs every test:
#   1. Linux build (warnings as errors) and its tests
#   2. the same tests under AddressSanitizer and UndefinedBehaviorSanitizer; the concurrency tests
#      under ThreadSanitizer; the fuzz targets for a bounded time (clang, libFuzzer)
#   3. windows-wine: the 64-bit Windows DLL, cross-built with mingw-w64, and its tests under Wine
#   4. windows-devices: the 64-bit DLL under Wine in the test guest, against virtual HID devices
#      made by uhid and against USB modules (configfs gadgets on dummy_hcd)
#   5. windows32-wine: the 32-bit Windows DLL (i686), and the same tests under 32-bit Wine
#   6. windows32-devices: the 32-bit DLL under 32-bit Wine in the test guest
#   7. soak: four threads on four USB modules in the test guest for 60 s, over the .so: late,
#      dropped and plain exchanges, reopens, unplug and replug; no reply may be another command's;
#      record-replay: the recorder DLL under Wine in the guest, its recording replayed by the Linux
#      and the Windows simulators
#   8. the Python package against the simulator library, and its wheels
#   9. the release (tools/release.sh) and each of its files installed and used (tests/release)
#  10. formatting of the sources
# Ends with one line "N passed, N failed": the tests of every CTest run, plus one for each other
# check (a failed build counts as one failed test).
#
# After the Linux build, two lanes run side by side: the guest lane runs the Linux tests (their
# guest tests one at a time), then the 64-bit Windows device suite; the build lane builds the other
# trees, runs the suites that need no guest, then the 32-bit Windows device suite in a test guest of
# its own beside the guest lane's. The soak and record-replay end the lane that ends sooner.
# Each suite's output goes to build/results/NAME.log and is printed, in the order above, at the
# end; a line per suite says when it ends.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KSV_BUILD_DIR:-$root/build}
jobs=$(nproc)
cd "$root"

bash tests/install-deps.sh || { echo "package installation failed"; exit 1; }

results=$build/results
rm -rf "$results"
mkdir -p "$results"
tally=/dev/null
suite() {  # suite NAME COMMAND...: output to $results/NAME.log, counts to $results/NAME.tally
  local name=$1
  shift
  tally=$results/$name.tally
  local start=$SECONDS status=0 cpu user system TIMEFORMAT='%0U %0S'
  : >"$tally"
  # The processor time of the suite and everything it started (user + system), beside its wall time.
  { time "$@" >"$results/$name.log" 2>&1 </dev/null; } 2>"$results/$name.cpu" || status=$?
  read -r user system <"$results/$name.cpu"
  cpu=$((user + system))
  echo "$status $((SECONDS - start)) $cpu" >"$results/$name.status"
  if [ "$status" -eq 0 ]; then
    echo "=== $name: passed in $((SECONDS - start)) s (cpu $cpu s)"
  else
    echo "=== $name: FAILED after $((SECONDS - start)) s (cpu $cpu s)"
  fi
}

# Every tree is built from scratch, so each target compiles its sources in batches (a unity build):
# the headers of a batch are read once, which saves about half of the compilers' time.
unity=-DCMAKE_UNITY_BUILD=ON

# Configures and builds a tree; DIR.built or DIR.build-failed says, for the other lane, how it went.
configure_build() {  # DIR CMAKE-ARGS...
  local dir=$1
  shift
  rm -f "$dir.built" "$dir.build-failed"
  if cmake -S "$root" -B "$dir" -G Ninja "$unity" "$@" >"$dir.configure.log" 2>&1 &&
    cmake --build "$dir" -j "$jobs"; then
    touch "$dir.built"
  else
    cat "$dir.configure.log"
    touch "$dir.build-failed"
    return 1
  fi
}

# Waits until the other lane has built DIR (or failed to).
await_build() {  # DIR
  until [ -e "$1.built" ] || [ -e "$1.build-failed" ]; do
    sleep 2
  done
}

run_ctest() {  # DIR [CTEST-ARGS...]
  local dir=$1 status=0
  shift
  [ -e "$dir.built" ] || { echo "$dir was not built"; return 1; }
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600 "$@") | tee "$dir.ctest.log" ||
    status=$?
  # "N% tests passed, F tests failed out of T" gives the suite's count.
  sed -n 's/.* \([0-9]\+\) tests failed out of \([0-9]\+\)$/\1 \2/p' "$dir.ctest.log" |
    { read -r f t && echo "$((t - f)) $f" >"$tally"; }
  return "$status"
}

configure_build_test() {  # DIR CMAKE-ARGS...
  configure_build "$@" && run_ctest "$1"
}

# The unit tests' concurrency cases (named "...Concurrency..." or "...Thread...") under
# ThreadSanitizer; a report ends the test program with a failure. Only the unit test program is built.
tsan_test() {  # DIR
  local dir=$1
  cmake -S "$root" -B "$dir" -G Ninja "$unity" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKSV_TSAN=ON \
    >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$jobs" --target ksvhid_unit_tests || return 1
  local status=0
  (cd "$dir" && TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1" \
    ctest --output-on-failure -j "$jobs" --timeout 300 -R 'Concurren|Thread') |
    tee "$dir.ctest.log" || status=$?
  sed -n 's/.* \([0-9]\+\) tests failed out of \([0-9]\+\)$/\1 \2/p' "$dir.ctest.log" |
    { read -r f t && echo "$((t - f)) $f" >"$tally"; }
  # A filter that selects nothing would pass without testing anything.
  grep -q 'tests failed out of [1-9]' "$dir.ctest.log" || { echo "no concurrency test ran"; return 1; }
  return "$status"
}

# The libFuzzer targets (tests/fuzz), about 12 s each; one test per target in the tally.
fuzz_test() {  # DIR
  local dir=$1
  cmake -S "$root" -B "$dir" -G Ninja "$unity" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKSV_FUZZ=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$jobs" || return 1
  tests/fuzz/run-fuzz.sh "$dir" "$tally"
}

python_suite() {  # the Python package's tests against the simulator library of the Linux build,
  # and the wheels of the three builds
  local log=$build/python.pytest.log status=0 wheels
  wheels=$(printf '%s:' "$build"/{linux,windows,windows32}/python/ksvhid-*.whl)
  KSVHID_LIBRARY=$build/linux/simulator/libKSVHidApi.so.1 PYTHONDONTWRITEBYTECODE=1 \
    KSVHID_WHEELS=${wheels%:} \
    /usr/bin/python3 -m pytest -p no:cacheprovider -q bindings/python/tests | tee "$log" ||
    status=$?
  # The closing line, e.g. "2 failed, 31 passed in 9.1s"; errors count as failures.
  local summary p f e
  summary=$(tail -n 1 "$log")
  p=$(grep -o '[0-9]\+ passed' <<<"$summary" | cut -d' ' -f1)
  f=$(grep -o '[0-9]\+ failed' <<<"$summary" | cut -d' ' -f1)
  e=$(grep -o '[0-9]\+ errors\?' <<<"$summary" | cut -d' ' -f1)
  [ -n "$p$f$e" ] && echo "${p:-0} $((${f:-0} + ${e:-0}))" >"$tally"
  return "$status"
}

# The release made from the Linux and both Windows trees, each of its files installed and used
# (tests/release): one test per check.
release_checks() {
  tests/release/run.sh "$build" "$tally"
}

format_check() {
  local status=0 doc target
  # The sources git tracks; in an unpacked source archive, which has no .git, those of the tree.
  if [ -e .git ]; then
    git ls-files '*.cpp' '*.h' '*.hpp' '*.c'
  else
    find Library tools tests bindings -name '*.cpp' -o -name '*.h' -o -name '*.hpp' -o -name '*.c'
  fi | xargs clang-format --dry-run --Werror || status=1
  # Every relative link of the README and docs/ names a file of the tree.
  for doc in README.md docs/*.md; do
    for target in $(grep -oE '\]\([^):]+\)' "$doc" | sed -E 's/^\]\(([^)#]*).*/\1/'); do
      [ -e "$(dirname "$doc")/$target" ] || { echo "$doc: no such file: $target"; status=1; }
    done
  done
  return "$status"
}

# 32-bit Wine is a 32-bit x86 program; the kernels of some virtual machines run none. On such a
# host the 32-bit DLL is still built and its export and import tables checked, and the summary names
# what could not run; nothing of it is counted as passed.
host_runs_i386() { /usr/lib/wine/wine --version >/dev/null 2>&1; }
not_run() {  # NAME WHAT: the suite's line in the summary, and no count
  echo "not run on this host (it cannot run 32-bit programs): $2" >"$results/$1.log"
  echo "0 0" >"$results/$1.tally"
  echo "0 0 0" >"$results/$1.status"
  echo "$1: $2" >>"$results/not-run"
  touch "$results/$1.not-run"
}
windows32_tables() {  # the 32-bit tree built, and the checks that run none of its programs
  configure_build "$@" || return 1
  local status=0
  run_ctest "$1" -R '_exports_and_imports$' || status=$?
  echo "not run on this host (it cannot run 32-bit programs): the 32-bit DLL's tests under Wine"
  echo "windows32-wine: the tests under 32-bit Wine" >>"$results/not-run"
  return "$status"
}

# Two suites that each boot a test guest of their own, about two minutes together, at the end of
# the lane that ends sooner: the guest lane where the build lane runs the 32-bit suites, else the
# build lane. The soak waits on late replies more than it computes; record-replay makes a recording
# with the 64-bit recorder DLL under Wine in the guest and replays it in the Linux and the Windows
# simulators.
later_guest_suites() {
  suite "soak" tests/vm/run-in-guest.sh --timeout 300 -- tests/device/with-modules.sh --beds soak \
    "$build/linux/tools/virtual-module/ksv-virtual-module" "$build/linux/tests/device/device_suite" \
    -- "$build/linux/tests/device/device_suite" --soak 60
  suite "record-replay" tests/wine-guest/record-replay.sh "$build/linux" "$build/windows"
}

# Each Windows build's tests run in a Wine prefix of their own: a 32-bit one for the 32-bit DLL.
wine_prefix64=$build/wine-prefix
wine_prefix32=$build/wine-prefix-32
order=(linux windows-wine windows-devices windows32-wine windows32-devices soak record-replay
  linux-sanitizers linux-tsan fuzz python release format)

start=$SECONDS
echo "=== linux: building"
configure_build "$build/linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$results/linux.build.log" 2>&1

# The guest lane: one test guest at a time.
(
  suite "linux" run_ctest "$build/linux"
  await_build "$build/windows"
  KSV_WG_BEDS=uhid,usb1,usb2 KSV_WG_TIMEOUT=900 \
    suite "windows-devices" tests/wine-guest/run-device-suite.sh "$build/linux" "$build/windows"
  if host_runs_i386; then
    later_guest_suites
  fi
) &
guest_lane=$!

# The build lane: the Windows trees first, for the guest lane's device suites. The sanitizer tree
# leaves out the guest tests: the guest lane runs them once, in the Linux tree.
(
  KSV_WINEPREFIX=$wine_prefix64 suite "windows-wine" configure_build_test "$build/windows" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
  windows32=configure_build_test
  host_runs_i386 || windows32=windows32_tables
  KSV_WINEPREFIX=$wine_prefix32 suite "windows32-wine" "$windows32" "$build/windows32" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake"
  suite "linux-sanitizers" configure_build_test "$build/sanitize" -DCMAKE_BUILD_TYPE=Debug \
    -DKSV_SANITIZE=ON -DKSV_GUEST_TESTS=OFF
  suite "linux-tsan" tsan_test "$build/tsan"
  suite "fuzz" fuzz_test "$build/fuzz"
  suite "python" python_suite
  suite "release" release_checks
  suite "format" format_check
  # A second test guest, beside the guest lane's Windows device suite, once this lane's builds no
  # longer need the cores.
  if host_runs_i386; then
    suite "windows32-devices" tests/wine-guest/run-device-suite.sh "$build/linux" "$build/windows32"
  else
    not_run "windows32-devices" "the 32-bit DLL's device suite (its Wine prefix is made here)"
    later_guest_suites
  fi
) &
build_lane=$!
wait "$guest_lane" "$build_lane"

# Wine's background processes outlive the tests; end them.
for prefix in "$wine_prefix64" "$wine_prefix32"; do
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
done

passed=0
failed=0
failed_names=()
for name in "${order[@]}"; do
  echo
  echo "=== $name"
  [ "$name" = linux ] && cat "$results/linux.build.log"
  cat "$results/$name.log" 2>/dev/null
  status=1 seconds=0 cpu=0
  read -r status seconds cpu <"$results/$name.status" 2>/dev/null
  if read -r p f <"$results/$name.tally" 2>/dev/null; then
    passed=$((passed + p))
    failed=$((failed + f))
  elif [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
  fi
  if [ -e "$results/$name.not-run" ]; then
    echo "=== $name: not run on this host"
  elif [ "$status" -eq 0 ]; then
    echo "=== $name: passed in $seconds s (cpu $cpu s)"
  else
    failed_names+=("$name")
    echo "=== $name: FAILED after $seconds s (cpu $cpu s)"
  fi
done

echo
echo "all suites in $((SECONDS - start)) s after the packages"
if [ -e "$results/not-run" ]; then
  echo "not run on this host, which cannot run 32-bit programs:"
  sed 's/^/  /' "$results/not-run"
  grep -h '^not run: ' "$build/release-checks/checks.log" 2>/dev/null | sed 's/^/  release: /'
fi
if [ "$failed" -ne 0 ]; then
  echo "failed suites: ${failed_names[*]}"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
