# The release checks' shared helpers (sourced): each check is one line "ok: WHAT" or "FAIL: WHAT"
# with the output that shows why; the runner counts those lines.
# shellcheck shell=bash

# check WHAT COMMAND...: runs COMMAND, its output shown only when it fails; its time in brackets.
check() {
  local what=$1 output status=0 start=$SECONDS
  shift
  output=$("$@" 2>&1) || status=$?
  if [ "$status" -eq 0 ]; then
    echo "ok: $what [$((SECONDS - start)) s]"
  else
    echo "FAIL: $what (exit $status) [$((SECONDS - start)) s]"
    printf '%s\n' "$output" | sed 's/^/    /'
  fi
  return 0
}

# Whether this host runs 32-bit x86 programs, which 32-bit Wine is (the kernels of some virtual
# machines run none).
host_runs_i386() { /usr/lib/wine/wine --version >/dev/null 2>&1; }

# check_on WIDTH WHAT COMMAND...: a check that runs a program of that width under Wine; on a host
# that cannot run 32-bit programs an x86 one is reported as not run, with the reason, and counted
# neither way.
check_on() {
  local width=$1
  shift
  if [ "$width" = x86 ] && ! host_runs_i386; then
    echo "not run: $1 (this host cannot run 32-bit programs)"
    return 0
  fi
  check "$@"
}

# expect_lines TEXT LINE...: every LINE is a whole line of TEXT.
expect_lines() {
  local text=$1 line
  shift
  for line in "$@"; do
    grep -qxF -- "$line" <<<"$text" || { echo "no line \"$line\" in:"; echo "$text"; return 1; }
  done
}

# The consumer's lines for one exchange with the built-in simulated module KSV-SIM-0001: version
# 1.3.170, the four built-in modules, result 1 and each command byte plus one.
simulator_lines=("major 1" "minor 3" "build 170" "modules 4" "module KSV-SIM-0001" "result 1"
  "reply 11 21 31 01")
