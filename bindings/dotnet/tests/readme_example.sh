#!/usr/bin/env bash
# The README's C# example, compiled against the binding and run against the simulator library on
# LD_LIBRARY_PATH, prints what the README says it prints.
#   readme_example.sh README.md BINDING_DIR MCS MONO
set -euo pipefail
readme=$1 binding=$2 mcs=$3 mono=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The first csharp block of the ".NET" section, and the text block after it.
awk -v dir="$work" '
  /^## / { in_section = ($0 == "## .NET") }
  in_section && /^```csharp$/ && !done { file = dir "/Example.cs"; next }
  in_section && /^```text$/ && !done { file = dir "/expected.txt"; next }
  file && /^```$/ { if (file ~ /expected/) done = 1; file = ""; next }
  file { print > file }
' "$readme"
[ -s "$work/Example.cs" ] && [ -s "$work/expected.txt" ] || { echo "no C# example in $readme"; exit 1; }
cp "$binding/KsvHid.dll" "$binding/KsvHid.dll.config" "$work/"
(cd "$work" && "$mcs" -nologo -warnaserror -r:KsvHid.dll -out:Example.exe Example.cs)
unset KSVHID_SIMULATION
export LC_ALL=C.UTF-8 # the serial number KSV-µ-0004 as UTF-8
(cd "$work" && "$mono" Example.exe) >"$work/printed.txt"
diff -u "$work/expected.txt" "$work/printed.txt"
