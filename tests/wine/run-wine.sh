#!/usr/bin/env bash
# Runs one Windows program under Wine for the tests: run-wine.sh PROGRAM.exe [ARGS...]
#
# The program's machine type (from its PE header) picks the Wine: 64-bit Wine for an x86-64
# program, 32-bit Wine (package wine32:i386) for an i386 one. The prefix is a throw-away one,
# KSV_WINEPREFIX, by default under /tmp with one for each width; it is created on first use,
# under a lock so that parallel tests share one. A prefix for 32-bit programs is created as a
# 32-bit one (WINEARCH=win32): a 64-bit prefix made while wine32 was missing cannot load them, so
# a prefix of the wrong kind is refused with a message rather than failing obscurely.
# Wine's background processes would keep the caller's output pipe open for ever, so the program's
# output goes to a file that is printed afterwards.
set -euo pipefail

die() {
  echo "run-wine.sh: $*" >&2
  exit 125
}

[ $# -ge 1 ] || die "usage: run-wine.sh PROGRAM.exe [ARGS...]"

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bits=64
if [ -f "$1" ]; then
  bits=$("$here/pe-bits.sh" "$1") || die "$1 is neither an i386 nor an x86-64 Windows program"
fi

if [ "$bits" = 32 ]; then
  wine=/usr/lib/wine/wine
  default_prefix=ksvhid-wine-prefix-32
  [ -x "$wine" ] || die "$wine not found: 32-bit programs need wine32:i386 (tests/install-deps.sh)"
else
  wine=/usr/lib/wine/wine64
  default_prefix=ksvhid-wine-prefix
fi
wineserver=/usr/lib/wine/wineserver64
export WINEPREFIX=${KSV_WINEPREFIX:-${TMPDIR:-/tmp}/$default_prefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export DISPLAY=

mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    if [ "$bits" = 32 ]; then export WINEARCH=win32; fi
    # Complete on disk before anyone uses it: wineserver writes the registry when it exits.
    { "$wine" wineboot --init && timeout 60 "$wineserver" -w; } \
      >"$WINEPREFIX.boot.log" 2>&1 </dev/null || {
      cat "$WINEPREFIX.boot.log" >&2
      exit 1
    }
  fi
) 9>"$WINEPREFIX.lock"

# The prefix records its kind in system.reg ("#arch=win32" or "#arch=win64"); a 64-bit one runs
# 32-bit programs only when it has the 32-bit system (syswow64).
arch=$(sed -n 's/^#arch=//p' "$WINEPREFIX/system.reg" | head -n1)
if [ "$bits" = 32 ] && [ "$arch" = win64 ] &&
  [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
  die "prefix $WINEPREFIX has no 32-bit support (made before wine32 was installed?): remove it," \
    "or set KSV_WINEPREFIX to another"
fi
if [ "$bits" = 64 ] && [ "$arch" = win32 ]; then
  die "prefix $WINEPREFIX is a 32-bit one and cannot run the 64-bit $1: set KSV_WINEPREFIX to another"
fi

out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0
"$wine" "$@" >"$out" 2>&1 </dev/null || status=$?
# Wine turns "\n" into "\r\n" for console programs; show plain lines.
tr -d '\r' <"$out"
exit "$status"
