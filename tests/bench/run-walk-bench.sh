#!/usr/bin/env bash
# The walk benchmark in the test guest: the Linux library and the DLL under Wine, with 4, 12 and
# 28 HID interfaces (two modules, the rest virtual keyboards).
#   bash tests/bench/run-walk-bench.sh LINUX_BUILD WINDOWS_BUILD [OTHER_LINUX_BUILD OTHER_WINDOWS_BUILD]
#
# Both builds are configured with -DKSV_BUILD_BENCHMARKS=ON. LINUX_BUILD provides
# ksv-virtual-module, ksvhid_walk_bench and the library; WINDOWS_BUILD provides
# bin/ksvhid_walk_bench.exe and bin/KSVHidApi.dll. The optional second pair, built from
# another revision, is measured in the same guest run under the label "other", for comparison.
# For each count it prints the median time of the count, of naming the last ordinal, of opening
# the last module and of a listing (the count and every name), and then the growth from 4 to 28
# interfaces. Then, Linux only, the same with 4 USB modules (system "linux-usb"; KSV_WALK_USB=0
# leaves it out).
#
# Environment: KSV_WALK_RUNS (timed calls per form, default 7), KSV_WG_TIMEOUT (whole guest run,
# default 1800 s), KSV_WG_WAIT (seconds to wait for Wine to list the devices, default 240),
# KSV_WG_PREFIX (see tests/wine-guest/prepare-prefix.sh).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
counts=(4 12 28)
runs=${KSV_WALK_RUNS:-7}
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
    devices=(module:vid=0x17fe,pid=0x82cd,serial=WALK-1 module:vid=0x17fe,pid=0x82cd,serial=WALK-2)
    for ((k = existing + 2; k < n; k++)); do
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
    for ((b = 0; b < ${#builds[@]}; b += 5)); do
      label=${builds[b]}
      "${builds[b + 1]}" --runs "$runs" --interfaces "$n" --wait-seconds 10 \
        "$label=${builds[b + 2]}" || true
      # One Wine process loads every DLL: each under a name of its own, so none is taken for
      # another that is already loaded.
      cp "${builds[b + 4]}" "$scratch/KSVHidApi-$label.dll"
      wine_args+=("$label=$scratch/KSVHidApi-$label.dll")
    done
    "$repo/tests/wine-guest/in-guest.sh" "$prefix" "$((wait_s + 1200))" "${builds[3]}" \
      --runs "$runs" --interfaces "$n" --wait-seconds "$wait_s" "${wine_args[@]}" || true
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
echo "walk medians in ms (count / name of the last ordinal / open of the last module / count and every name)"
awk '
  $1 == "RAW" {
    key = $2 " system"
    if (!(key in seen)) { seen[key] = 1; keys[++nkeys] = key }
    printf "%-13s %2d interfaces: list, open and close each %10.3f\n", key, $3, $4
    if (!((key, "first") in at)) { at[key, "first"] = $3; first[key] = $4 " " $4 " " $4 }
    at[key, "last"] = $3; last[key] = $4 " " $4 " " $4
  }
  $1 == "RESULT" {
    key = $2 " " $3
    if (!(key in seen)) { seen[key] = 1; keys[++nkeys] = key }
    printf "%-9s %-6s %2d interfaces: count %10.3f  name %10.3f  open %10.3f  list %10.3f\n", $2, $3, $4, $5, $6, $7, $8
    if (!((key, "first") in at)) { at[key, "first"] = $4; first[key] = $5 " " $6 " " $7 }
    at[key, "last"] = $4; last[key] = $5 " " $6 " " $7
  }
  END {
    for (i = 1; i <= nkeys; i++) {
      key = keys[i]
      split(first[key], f, " "); split(last[key], l, " ")
      if (f[1] > 0 && f[2] > 0 && f[3] > 0 && at[key, "first"] != at[key, "last"])
        printf "%s growth %d -> %d interfaces: count %.1f  name %.1f  open %.1f\n", key,
          at[key, "first"], at[key, "last"], l[1] / f[1], l[2] / f[2], l[3] / f[3]
    }
  }' "$out"
exit "$status"
