#!/usr/bin/env bash
# The walk benchmark in the test guest: the Linux library and the DLL under Wine, with 4, 12 and
# 28 HID interfaces (two modules, the rest virtual keyboards), or as the environment says below.
#   bash tests/bench/run-walk-bench.sh LINUX_BUILD WINDOWS_BUILD [OTHER_LINUX_BUILD OTHER_WINDOWS_BUILD]
#
# Both builds are configured with -DKSV_BUILD_BENCHMARKS=ON. LINUX_BUILD provides
# ksv-virtual-module, ksvhid_walk_bench and the library; WINDOWS_BUILD provides
# bin/ksvhid_walk_bench.exe and bin/KSVHidApi.dll. The optional second pair, built from
# another revision, is measured in the same guest run under the label "other", for comparison.
# For each count it prints the median time of the count, of naming the last ordinal, of opening
# the last module and of a listing (the count and every name), with the lowest and highest of the
# runs, and then the growth from the first to the last count. Then, Linux only, the same with 4 USB
# modules (system "linux-usb"; KSV_WALK_USB=0 leaves it out).
#
# Beside other programs' locks (KSV_WALK_LOCKS, Linux, at the first interface count): another
# process holds that many POSIX record locks while the walks are timed, and each round also times
# one plain read of the whole /proc/locks. The summary then gives, for each build, the count at
# the most locks against the plain read at that many plus the count at 0 locks, and each lock
# count's count divided by the plain read of the same round.
#
# Environment: KSV_WALK_RUNS (timed calls per form, default 7), KSV_WALK_WINE_RUNS (the same under
# Wine, default KSV_WALK_RUNS), KSV_WALK_INTERFACES (the interface counts, default "4 12 28"),
# KSV_WALK_MODULES (modules among them, default 2), KSV_WALK_LOCKS (foreign record lock counts,
# default "0"), KSV_WALK_WINE=0 (no Wine runs), KSV_WG_TIMEOUT (whole guest run, default 1800 s),
# KSV_WG_WAIT (seconds to wait for Wine to list the devices, default 240), KSV_WG_PREFIX (see
# tests/wine-guest/prepare-prefix.sh).
#
# The runs behind docs/benchmarks.md, "Walks beside other programs' locks":
#   KSV_WALK_INTERFACES="6 30" KSV_WALK_MODULES=4 KSV_WALK_LOCKS="0 2000 20000" KSV_WALK_USB=0 \
#     KSV_WALK_RUNS=11 KSV_WALK_WINE_RUNS=3 bash tests/bench/run-walk-bench.sh \
#     AFTER_LINUX AFTER_WINDOWS BEFORE_LINUX BEFORE_WINDOWS
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
read -r -a counts <<<"${KSV_WALK_INTERFACES:-4 12 28}"
read -r -a lock_counts <<<"${KSV_WALK_LOCKS:-0}"
modules=${KSV_WALK_MODULES:-2}
runs=${KSV_WALK_RUNS:-7}
wine_runs=${KSV_WALK_WINE_RUNS:-$runs}
wait_s=${KSV_WG_WAIT:-240}

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
}

# --- in the guest ------------------------------------------------------------------------------
if [ "${1:-}" = "--in-guest" ]; then
  shift
  prefix=$1
  virtual_module=$2
  shift 2
  # The rest: LABEL LINUX_BENCH LINUX_LIBRARY WINDOWS_BENCH DLL, per build.
  builds=("$@")
  scratch=$(mktemp -d)
  for n in "${counts[@]}"; do
    existing=$(find /sys/class/hidraw -mindepth 1 -maxdepth 1 -name 'hidraw*' 2>/dev/null | wc -l)
    devices=()
    for ((m = 1; m <= modules; m++)); do
      devices+=("module:vid=0x17fe,pid=0x82cd,serial=WALK-$m")
    done
    for ((k = existing + modules; k < n; k++)); do
      devices+=("keyboard:vid=0x0fee,pid=$(printf '0x%04x' $((0x100 + k))),serial=KB-$k")
    done
    log=$scratch/modules-$n.log
    "$virtual_module" --control none "${devices[@]}" >"$log" 2>&1 &
    vm_pid=$!
    for _ in $(seq 1 400); do
      grep -q '^ready' "$log" && break
      sleep 0.05
    done
    grep -q '^ready' "$log" || {
      echo "virtual devices not ready:"
      cat "$log"
      exit 1
    }
    wine_args=()
    # Foreign locks at the first count only: beside many, the old walks take seconds per call.
    locks_here=(0)
    [ "$n" = "${counts[0]}" ] && locks_here=("${lock_counts[@]}")
    for ((b = 0; b < ${#builds[@]}; b += 5)); do
      label=${builds[b]}
      for locks in "${locks_here[@]}"; do
        "${builds[b + 1]}" --runs "$runs" --interfaces "$n" --modules "$modules" --wait-seconds 10 \
          --foreign-locks "$locks" "$label=${builds[b + 2]}" || true
      done
      # One Wine process loads every DLL: each under a name of its own, so none is taken for
      # another that is already loaded.
      cp "${builds[b + 4]}" "$scratch/KSVHidApi-$label.dll"
      wine_args+=("$label=$scratch/KSVHidApi-$label.dll")
    done
    if [ "${KSV_WALK_WINE:-1}" = 1 ]; then
      "$repo/tests/wine-guest/in-guest.sh" "$prefix" "$((wait_s + 1200))" "${builds[3]}" \
        --runs "$wine_runs" --interfaces "$n" --modules "$modules" --wait-seconds "$wait_s" \
        "${wine_args[@]}" || true
    fi
    kill -TERM "$vm_pid" 2>/dev/null || true
    wait "$vm_pid" 2>/dev/null || true
  done
  # The USB bed, Linux only: 4 USB modules (the most f_hid makes at once) and no other interface.
  # An open of a USB hidraw node that nobody holds starts the interrupt pipe, so a walk that
  # opened every candidate paid that for each module.
  if [ "${KSV_WALK_USB:-1}" = 1 ]; then
    log=$scratch/modules-usb.log
    "$virtual_module" --usb --control none module:vid=0x17fe,pid=0x82cd,serial=USB-1 \
      module:vid=0x17fe,pid=0x82cd,serial=USB-2 module:vid=0x10c4,pid=0x82cd,serial=USB-3 \
      module:vid=0x10c4,pid=0x82cd,serial=USB-4 >"$log" 2>&1 &
    vm_pid=$!
    for _ in $(seq 1 1200); do
      grep -q '^ready' "$log" && break
      sleep 0.05
    done
    if grep -q '^ready' "$log"; then
      for ((b = 0; b < ${#builds[@]}; b += 5)); do
        "${builds[b + 1]}" --runs "$runs" --interfaces 4 --modules 4 --wait-seconds 30 \
          "${builds[b]}=${builds[b + 2]}" | sed 's/^RESULT linux /RESULT linux-usb /' || true
      done
    else
      echo "USB modules not ready:"
      cat "$log"
    fi
    kill -TERM "$vm_pid" 2>/dev/null || true
    wait "$vm_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
  exit 0
fi

# --- on the host -------------------------------------------------------------------------------
[ $# -eq 2 ] || [ $# -eq 4 ] || usage
builds=()
label=this
while [ $# -gt 0 ]; do
  linux=$(cd "$1" && pwd)
  windows=$(cd "$2" && pwd)
  shift 2
  bench=$linux/tests/bench/ksvhid_walk_bench
  library=$linux/Library/libKSVHidApi.so
  [ "$label" = this ] || bench=${builds[1]} # one harness measures every build
  exe=$windows/bin/ksvhid_walk_bench.exe
  [ "$label" = this ] || exe=${builds[3]}
  for f in "$bench" "$library" "$exe" "$windows/bin/KSVHidApi.dll"; do
    [ -f "$f" ] || {
      echo "run-walk-bench.sh: $f not found (build the trees with -DKSV_BUILD_BENCHMARKS=ON first)" >&2
      exit 1
    }
  done
  builds+=("$label" "$bench" "$library" "$exe" "$windows/bin/KSVHidApi.dll")
  [ "$label" = this ] && virtual_module=$linux/tools/virtual-module/ksv-virtual-module
  label=other
done

prefix=$("$repo/tests/wine-guest/prepare-prefix.sh")
exec 8<"$prefix.lock"
flock -s 8

out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0
"$repo/tests/vm/run-in-guest.sh" --udev --timeout "${KSV_WG_TIMEOUT:-1800}" -- \
  "$here/run-walk-bench.sh" --in-guest "$prefix" "$virtual_module" "${builds[@]}" |
  tee "$out" || status=$?

echo
echo "walk medians in ms, [lowest-highest] of the runs (count / name of the last ordinal /"
echo "open of the last module / count and every name)"
awk '
  function span(m, lo, hi) { return sprintf("%9.3f [%.3f-%.3f]", m, lo, hi) }
  $1 == "READ" {
    printf "%-13s %2d interfaces, %5d locks: one read of /proc/locks %s\n", $2 " system", $3, $4, span($5, $6, $7)
    if (!($4 in read)) read[$4] = $5
  }
  $1 == "PAIRED" {
    printf "%-9s %-6s %2d interfaces, %5d locks: count / one read of /proc/locks, round by round %s\n", $2, $3, $4, $5, span($6, $7, $8)
  }
  $1 == "RAW" && $4 == 0 {
    key = $2 " system"
    if (!(key in seen)) { seen[key] = 1; keys[++nkeys] = key }
    printf "%-13s %2d interfaces: list, open and close each %s\n", key, $3, span($5, $6, $7)
    if (!((key, "first") in at)) { at[key, "first"] = $3; first[key] = $5 " " $5 " " $5 }
    at[key, "last"] = $3; last[key] = $5 " " $5 " " $5
  }
  $1 == "RESULT" {
    key = $2 " " $3
    printf "%-9s %-6s %2d interfaces, %5d locks: count %s  name %s  open %s  list %s\n", $2, $3, $4, $5,
      span($6, $7, $8), span($9, $10, $11), span($12, $13, $14), span($15, $16, $17)
    # The first interface count'"'"'s, where the locks are.
    if ($2 == "linux" && !(($3, $5) in count)) { count[$3, $5] = $6; if ($5 > most) most = $5 }
    if ($5 != 0) next
    if (!(key in seen)) { seen[key] = 1; keys[++nkeys] = key }
    if (!((key, "first") in at)) { at[key, "first"] = $4; first[key] = $6 " " $9 " " $12 }
    at[key, "last"] = $4; last[key] = $6 " " $9 " " $12
  }
  END {
    for (i = 1; i <= nkeys; i++) {
      key = keys[i]
      split(first[key], f, " "); split(last[key], l, " ")
      if (f[1] > 0 && f[2] > 0 && f[3] > 0 && at[key, "first"] != at[key, "last"])
        printf "%s growth %d -> %d interfaces: count %.1f  name %.1f  open %.1f\n", key,
          at[key, "first"], at[key, "last"], l[1] / f[1], l[2] / f[2], l[3] / f[3]
    }
    # Beside the most locks, against one read of /proc/locks and the count without locks (the goal
    # is at most 1.2), each build; and the count without locks against the other build'"'"'s.
    for (k in count) {
      split(k, part, SUBSEP)
      if (most > 0 && part[2] == most && (part[1], 0) in count && read[most] > 0)
        printf "linux %-6s count beside %d locks / (one read of /proc/locks + count beside 0): %.2f\n",
          part[1], most, count[k] / (read[most] + count[part[1], 0])
    }
    if (("this", 0) in count && ("other", 0) in count && count["other", 0] > 0)
      printf "linux count beside 0 locks, this / other: %.2f\n", count["this", 0] / count["other", 0]
  }' "$out"
exit "$status"
