#!/usr/bin/env bash
# Guest side of the watch check under Wine: makes one module, runs watch_wine.exe under Wine
# (in-guest.sh), and once the program has seen the module, adds and removes one module per cycle
# through ksv-virtual-module's control input, each given a moment to be noticed.
#   watch-in-guest.sh VIRTUAL_MODULE PREFIX LIMIT_SECONDS WATCH_EXE CYCLES
# The exit status is the program's.
set -uo pipefail

virtual_module=$1
prefix=$2
limit=$3
exe=$4
cycles=$5
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ready=/tmp/ksv-watch-ready
rm -f "$ready"

coproc VM { "$virtual_module" --control - "module:vid=0x17fe,pid=0x82cd,silent,serial=PRESENT-1"; }
answer() {  # waits for a line of ksv-virtual-module that starts with $1
  local line
  while read -r -t 30 line <&"${VM[0]}"; do
    [[ $line == "$1"* ]] && return 0
  done
  echo "watch-in-guest.sh: no \"$1\" from ksv-virtual-module"
  return 1
}
answer ready || exit 1

"$here/in-guest.sh" "$prefix" "$limit" "$exe" "Z:$ready" "$cycles" &
program=$!
for _ in $(seq 1 "$limit"); do
  [ -e "$ready" ] || ! kill -0 "$program" 2>/dev/null && break
  sleep 1
done
if [ -e "$ready" ]; then
  start=$SECONDS
  for i in $(seq 0 $((cycles - 1))); do
    echo "add module:vid=0x17fe,pid=0x82cd,silent,serial=W-$i" >&"${VM[1]}"
    answer "added W-$i" || break
    sleep 1 # Wine's bus notices the node, then the watch reads the device through it
    echo "remove W-$i" >&"${VM[1]}"
    answer "removed W-$i" || break
    sleep 0.5
  done
  echo "watch-in-guest.sh: $cycles cycles made in $((SECONDS - start)) s"
fi
status=0
wait "$program" || status=$?
echo quit >&"${VM[1]}"
wait "$VM_PID" 2>/dev/null
exit "$status"
