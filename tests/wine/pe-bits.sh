#!/usr/bin/env bash
# Prints 32 or 64: the width of a Windows program or DLL, from the machine field of its PE header
# (014c i386, 8664 x86-64). Exit status 1, and nothing printed, for anything else.
#   pe-bits.sh FILE
set -euo pipefail

# The DOS header gives the PE header's offset at byte 60; "PE\0\0" is followed by the machine.
offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
[ -n "$offset" ] || exit 1
header=$(od -An -tx1 -j"$offset" -N6 "$1" 2>/dev/null | tr -d ' \n')
case $header in
  504500004c01) echo 32 ;;
  504500006486) echo 64 ;;
  *) exit 1 ;;
esac
