#!/usr/bin/env bash
# Guest side of run-device-suite.sh: runs a Windows program under Wine and ends Wine afterwards.
#   in-guest.sh PREFIX LIMIT_SECONDS PROGRAM.exe [ARGS...]
# Wine's background processes inherit the first Wine process's output, so the program writes to
# a file, printed when it ends (or is ended at LIMIT_SECONDS). The exit status is the program's
# (124 when it was ended).
set -uo pipefail

prefix=$1
limit=$2
shift 2
program=$1
shift

# 32-bit Wine for a 32-bit program, 64-bit Wine for a 64-bit one.
if [ "$("$(dirname "$0")/../wine/pe-bits.sh" "$program")" = 32 ]; then
  wine=/usr/lib/wine/wine
else
  wine=/usr/lib/wine/wine64
fi
wineserver=/usr/lib/wine/wineserver64
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export DISPLAY=
unset WAYLAND_DISPLAY

out=$(mktemp)
cd "$(dirname "$program")" || exit 125
start=$(date +%s.%N)
status=0
timeout -k 5 "$limit" "$wine" "$(basename "$program")" "$@" >"$out" 2>&1 </dev/null || status=$?
end=$(date +%s.%N)
# Wine writes "\r\n" for console programs.
tr -d '\r' <"$out"
[ "$status" = 124 ] && echo "in-guest.sh: $(basename "$program") ended after $limit s"
awk -v a="$start" -v b="$end" 'BEGIN { printf "in-guest.sh: Wine ran the program for %.1f s\n", b - a }'
"$wineserver" -k 2>/dev/null
# -k signals the server; give its processes a moment to go before the modules are removed.
timeout 10 "$wineserver" -w 2>/dev/null
rm -f "$out"
exit "$status"
