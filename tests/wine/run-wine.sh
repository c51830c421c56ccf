#!/usr/bin/env bash
# Runs one Windows program under Wine for the tests: run-wine.sh PROGRAM.exe [ARGS...]
#
# The prefix is a throw-away one (KSV_WINEPREFIX, default under /tmp), created on first use under
# a lock so that parallel tests share one. Wine's background processes would keep the caller's
# output pipe open for ever, so the program's output goes to a file that is printed afterwards.
set -euo pipefail

wine=${KSV_WINE:-/usr/lib/wine/wine64}
export WINEPREFIX=${KSV_WINEPREFIX:-${TMPDIR:-/tmp}/ksvhid-wine-prefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export DISPLAY=

mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$wine" wineboot --init >"$WINEPREFIX.boot.log" 2>&1 </dev/null || {
      cat "$WINEPREFIX.boot.log" >&2
      exit 1
    }
  fi
) 9>"$WINEPREFIX.lock"

out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0
"$wine" "$@" >"$out" 2>&1 </dev/null || status=$?
# Wine turns "\n" into "\r\n" for console programs; show plain lines.
tr -d '\r' <"$out"
exit "$status"
