#!/usr/bin/env bash
# The NuGet package used as a .NET developer would, with Debian's nuget and Mono:
#   check-nuget.sh DIST WORK SIMULATOR-DIR
# installed offline (no network at all) from DIST into a fresh folder, a C# consumer compiled with
# mcs against the installed assembly, run under Mono against the package's own linux-x64 native
# library and against the simulator library (SIMULATOR-DIR, the Linux tree's); the Windows DLLs
# of the package have the PE machine type of their runtime folder.
set -euo pipefail

dist=$(realpath "$1") work=$(realpath "$2") simulator=$(realpath "$3")
root=$(cd "$(dirname "$0")/../.." && pwd)
here=$root/tests/release
# shellcheck source=tests/release/lib.sh
source "$here/lib.sh"
version=$(sed -n 's/^project(KSVHidApi VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
package=$work/packages/KsvHid.$version

# nuget keeps its settings and caches under HOME: a fresh one. unshare -n takes the network away
# (it needs root; without, -Source alone keeps nuget to the folder).
offline_install() {
  local offline=(unshare -n)
  unshare -n true 2>/dev/null || offline=()
  mkdir -p "$work/home" "$work/packages"
  HOME=$work/home "${offline[@]}" nuget install KsvHid -Version "$version" -Source "$dist" \
    -OutputDirectory "$work/packages" -NonInteractive
  [ -f "$package/lib/netstandard2.0/KsvHid.dll" ] && [ -f "$package/lib/netstandard2.0/KsvHid.xml" ]
}

compile() {
  mkdir -p "$work/app"
  cp "$package/lib/netstandard2.0/KsvHid.dll" "$work/app/"
  mcs -nologo -warnaserror -r:"$work/app/KsvHid.dll" -out:"$work/app/Consumer.exe" \
    "$here/consumer/Consumer.cs"
}

on_package_library() {
  local native=$package/runtimes/linux-x64/native output
  output=$(LD_LIBRARY_PATH=$native mono "$work/app/Consumer.exe")
  expect_lines "$output" "version $version" "modules 0" "native $(realpath "$native/libKSVHidApi.so")"
}

on_simulator() {
  local output
  output=$(LD_LIBRARY_PATH=$simulator mono "$work/app/Consumer.exe")
  expect_lines "$output" "version $version" "modules 4" "result ReportId1" "reply 11-21-31-01" \
    "native $(realpath "$simulator/libKSVHidApi.so")"
}

machine_types() {
  local rid bits file
  for rid in win-x64:64 win-x86:32; do
    bits=${rid#*:}
    rid=${rid%:*}
    for file in KSVHidApi.dll KSVHidWatch.dll KSVHidDiagnose.dll; do
      [ "$("$root/tests/wine/pe-bits.sh" "$package/runtimes/$rid/native/$file")" = "$bits" ] ||
        { echo "$rid/native/$file is not a $bits-bit DLL"; return 1; }
    done
  done
  for file in libKSVHidApi.so libKSVHidWatch.so libKSVHidDiagnose.so; do
    readelf -h "$package/runtimes/linux-x64/native/$file" | grep -q 'Machine:.*X86-64' ||
      { echo "linux-x64/native/$file is not an x86-64 library"; return 1; }
  done
}

# The manifest names what the package is and under which licence, and its readme is inside.
manifest() {
  expect_lines "$(unzip -p "$package/KsvHid.$version.nupkg" KsvHid.nuspec | sed 's/^ *//')" \
    "<id>KsvHid</id>" "<version>$version</version>" \
    '<license type="expression">MIT</license>' "<readme>README.md</readme>" \
    "<authors>The KSVHidApi authors</authors>"
  unzip -l "$package/KsvHid.$version.nupkg" README.md >/dev/null
}

check "nuget: nuget install KsvHid -Source dist, offline, into a fresh folder" offline_install
check "nuget: the package's manifest (id, version, authors, licence, readme)" manifest
check "nuget: a C# consumer compiles with mcs against the installed assembly" compile
check "nuget: the consumer runs under Mono on the package's linux-x64 library" on_package_library
check "nuget: the consumer exchanges with the simulator library" on_simulator
check "nuget: the native libraries' machine types match their runtime folders" machine_types
