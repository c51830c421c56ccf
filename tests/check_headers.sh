#!/usr/bin/env bash
# The public headers as their users compile them: KSVHidApi.h and the companions' headers as C89,
# C99 and C++; KSVHidApi.hpp as C++17 and C++20; with gcc and clang, and with mingw-w64 for both
# Windows widths. Warnings are errors. Usage: check_headers.sh INCLUDE_DIR
set -euo pipefail
include=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/c.c" <<'C'
#include "KSVHidApi.h"
#include "KSVHidDiagnose.h"
#include "KSVHidWatch.h"
int main(void) { return KSVHidResultHasReply(KSVHID_TIMED_OUT) + (KSVHidResultName(1) == KSVHID_NO_TEXT); }
C
cat >"$work/cpp.cpp" <<'CPP'
#include "KSVHidApi.hpp"
int main() { return ksv::make_error_code(ksv::result::timed_out).message().empty() ? 1 : 0; }
CPP
flags=(-Wall -Wextra -Werror -pedantic -I"$include" -c -o /dev/null)
failed=0
compile() {  # COMPILER ARGS...
  if "$@" "${flags[@]}"; then echo "ok: $*"; else echo "FAILED: $*"; failed=1; fi
}
for cc in gcc clang x86_64-w64-mingw32-gcc i686-w64-mingw32-gcc; do
  for std in c89 c99; do compile "$cc" -std="$std" "$work/c.c"; done
done
for cxx in g++ clang++ x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix; do
  compile "$cxx" -std=c++17 -x c++ "$work/c.c"
  for std in c++17 c++20; do
    compile "$cxx" -std="$std" -Wold-style-cast -Wzero-as-null-pointer-constant -Wshadow "$work/cpp.cpp"
  done
done
exit "$failed"
