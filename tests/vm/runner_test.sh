#!/bin/bash
# Contract of run-in-guest.sh, from the outside: exit status, working
# directory, environment, arguments, merged output, writable shares, the
# throw-away overlay, uhid in the guest, and the hard timeout.
set -u
runner=$(cd "$(dirname "$0")" && pwd)/run-in-guest.sh
passed=0
failed=0
check() {  # check DESCRIPTION COMMAND...
    if "${@:2}"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL $1"
    fi
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dir="$work/dir with space"
mkdir -p "$dir/rw"
cd "$dir"
export KSV_RUNNER_TEST_VALUE='a b "c" $d *'

out=$("$runner" --timeout 120 --rw "$dir/rw" -- bash -c '
    echo "cwd=$PWD"
    echo "value=$KSV_RUNNER_TEST_VALUE"
    echo "vm=${KSV_VM:-}"
    printf "arg=<%s>\n" "$@"
    [ -c /dev/uhid ] && echo "uhid=yes"
    [ -t 1 ] || echo "stdout=not-a-tty"
    echo "to-stderr" >&2
    echo written > rw/result.txt
    echo lost > not-kept.txt
    exit 7' argv0 'a b' '' '$x' </dev/null 2>/dev/null)
rc=$?
check "exit status passed through (got $rc)" test "$rc" = 7
check "same working directory" grep -qxF "cwd=$dir" <<<"$out"
check "environment passed through" grep -qxF "value=$KSV_RUNNER_TEST_VALUE" <<<"$out"
check "KSV_VM=1 in the guest" grep -qxF "vm=1" <<<"$out"
check "arguments passed verbatim" test "$(grep '^arg=' <<<"$out" | tr '\n' '|')" = 'arg=<a b>|arg=<>|arg=<$x>|'
check "/dev/uhid exists" grep -qxF "uhid=yes" <<<"$out"
check "stdout is not a tty" grep -qxF "stdout=not-a-tty" <<<"$out"
check "stderr merged into stdout" grep -qxF "to-stderr" <<<"$out"
check "writable share reaches the host" test "$(cat rw/result.txt 2>/dev/null)" = written
check "other writes are discarded" test ! -e not-kept.txt

start=$SECONDS
"$runner" --timeout 5 -- sleep 100 >/dev/null 2>&1
rc=$?
check "timeout gives 124 (got $rc)" test "$rc" = 124
check "timeout ends the guest in time" test $((SECONDS - start)) -lt 40

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
