#!/usr/bin/env bash
# The Windows release files used as a Windows developer and user would, under Wine:
#   check-windows.sh DIST WORK WINE-PREFIX-64 WINE-PREFIX-32
# The zip, for each width: a C program built for the MSVC ABI (clang *-pc-windows-msvc, lld-link,
# no C runtime) against the zip's KSVHidApi.lib alone, and one built by mingw-w64 through the zip's
# CMake package, each exchange with the zip's simulator DLL; the 32-bit one proves that the import
# library maps the decorated __stdcall names onto the DLL's plain exports. Those run in the given
# prefixes (the Windows suites' own). The MSIs: in one fresh prefix both are installed, every file
# is where the zip's text says, the installed ksvhid.exe and the consumer against the installed
# simulator run, and uninstalling leaves no installed file behind.
set -euo pipefail

dist=$(realpath "$1") work=$(realpath "$2")
prefix64=$(realpath -m "$3") prefix32=$(realpath -m "$4")
root=$(cd "$(dirname "$0")/../.." && pwd)
here=$root/tests/release
# shellcheck source=tests/release/lib.sh
source "$here/lib.sh"
run_wine=$root/tests/wine/run-wine.sh
version=$(sed -n 's/^project(KSVHidApi VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")

zip=$work/zip
mkdir -p "$zip"
unzip -q "$dist/KSVHidApi-$version-windows.zip" -d "$zip"

# An MSVC-ABI program without a C runtime: only the zip's import library and one for the three
# kernel32 functions it writes with (made here from their names: there is no Windows SDK).
msvc_consumer() {  # WIDTH OUT.exe
  local width=$1 exe=$2 target machine kill=()
  if [ "$width" = x64 ]; then
    target=x86_64-pc-windows-msvc machine=i386:x86-64
    printf 'LIBRARY kernel32.dll\nEXPORTS\n  GetStdHandle\n  WriteFile\n  ExitProcess\n' \
      >"$work/kernel32-$width.def"
  else
    target=i686-pc-windows-msvc machine=i386 kill=(-k)
    printf 'LIBRARY kernel32.dll\nEXPORTS\n  GetStdHandle@4\n  WriteFile@20\n  ExitProcess@4\n' \
      >"$work/kernel32-$width.def"
  fi
  llvm-dlltool -m "$machine" "${kill[@]}" -d "$work/kernel32-$width.def" \
    -l "$work/kernel32-$width.lib"
  clang --target="$target" -DKSV_CONSUMER_NO_CRT -ffreestanding -fno-builtin -fno-stack-protector \
    -mno-stack-arg-probe -O1 -Wall -Wextra -Werror -I"$zip/$width/include" \
    -c "$here/consumer/consumer.c" -o "$work/consumer-$width.obj"
  lld-link /nologo /nodefaultlib /subsystem:console /entry:consumer_start /out:"$exe" \
    "$work/consumer-$width.obj" "$zip/$width/KSVHidApi.lib" "$work/kernel32-$width.lib"
}

# The program imports the library's plain names from KSVHidApi.dll, and no C runtime DLL.
msvc_imports() {  # EXE
  local imports
  imports=$(llvm-objdump -p "$1")
  grep -q 'DLL Name: KSVHidApi.dll' <<<"$imports" || { echo "no import of KSVHidApi.dll"; return 1; }
  grep -qE '^\s+[0-9]+\s+GetKestrovanHIDnumber$' <<<"$imports" ||
    { echo "GetKestrovanHIDnumber not imported by its plain name:"; echo "$imports"; return 1; }
  ! grep -iE 'DLL Name: (msvcr|ucrt|vcruntime|api-ms-win-crt)' <<<"$imports"
}

# consumer_run PREFIX EXE: the program with the zip's simulator DLL beside it.
consumer_run() {
  local prefix=$1 exe=$2 output
  output=$(KSV_WINEPREFIX=$prefix "$run_wine" "$exe")
  expect_lines "$output" "${simulator_lines[@]}"
}

mingw_consumer() {  # WIDTH BUILD-DIR
  local width=$1 dir=$2 toolchain
  if [ "$width" = x64 ]; then toolchain=mingw-w64-x86_64; else toolchain=mingw-w64-i686; fi
  cmake -S "$here/consumer" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" -DCMAKE_PREFIX_PATH="$zip/$width" &&
    cmake --build "$dir" &&
    # The package gave the GNU import library to the mingw-w64 linker.
    grep -q "libKSVHidApi.dll.a" "$dir/build.ninja"
}

# A 64-bit consumer pointed at the x86 folder is told that the package there is a 32-bit one.
other_width_refused() {
  local output
  if output=$(cmake -S "$here/consumer" -B "$work/mingw-other-width" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_PREFIX_PATH="$zip/x86" \
    2>&1); then
    echo "configured against the x86 folder"
    return 1
  fi
  grep -qF "version: $version (32bit)" <<<"$output" || { echo "$output"; return 1; }
}

for width in x64 x86; do
  if [ "$width" = x64 ]; then prefix=$prefix64; else prefix=$prefix32; fi
  run=$work/run-$width
  mkdir -p "$run"
  cp "$zip/$width/simulator/KSVHidApi.dll" "$run/"
  check "zip $width: MSVC-ABI consumer builds against KSVHidApi.lib, no C runtime" \
    msvc_consumer "$width" "$run/consumer-msvc.exe"
  check "zip $width: MSVC-ABI consumer imports the plain names" msvc_imports "$run/consumer-msvc.exe"
  check_on "$width" "zip $width: MSVC-ABI consumer exchanges with the simulator DLL" \
    consumer_run "$prefix" "$run/consumer-msvc.exe"
  check "zip $width: mingw-w64 consumer builds through the zip's CMake package" \
    mingw_consumer "$width" "$work/mingw-$width"
  cp "$work/mingw-$width/consumer.exe" "$run/consumer-mingw.exe" 2>/dev/null || true
  check_on "$width" "zip $width: mingw-w64 consumer exchanges with the simulator DLL" \
    consumer_run "$prefix" "$run/consumer-mingw.exe"
done

check "zip: the x86 CMake package refuses a 64-bit consumer" other_width_refused

# The MSIs, both in one fresh 64-bit prefix (a 64-bit Windows with its 32-bit side).
msi_prefix=$work/msi-prefix
msi_wine() { KSV_WINEPREFIX=$msi_prefix "$run_wine" "$@"; }
install_dir() {  # WIDTH: the installer's folder, as Windows names it and in the prefix
  if [ "$1" = x64 ]; then echo 'C:\Program Files\KSVHidApi'; else echo 'C:\Program Files (x86)\KSVHidApi'; fi
}
unix_dir() {
  if [ "$1" = x64 ]; then echo "$msi_prefix/drive_c/Program Files/KSVHidApi"
  else echo "$msi_prefix/drive_c/Program Files (x86)/KSVHidApi"; fi
}
windows_path() { echo "Z:${1//\//\\}"; }
msi_path() { windows_path "$dist/KSVHidApi-$version-$1.msi"; }

# Exactly the zip's files of the width and its three texts, with the same contents.
installed_as_zip() {  # WIDTH
  local dir expected actual file
  dir=$(unix_dir "$1")
  expected=$( (cd "$zip/$1" && find . -type f; cd "$zip" && printf './%s\n' README.txt LICENSE.txt \
    CHANGELOG.md) | LC_ALL=C sort)
  actual=$(cd "$dir" && find . -type f | LC_ALL=C sort)
  [ "$expected" = "$actual" ] || { diff <(echo "$expected") <(echo "$actual"); return 1; }
  while read -r file; do
    if [ -e "$zip/$1/$file" ]; then
      cmp "$zip/$1/$file" "$dir/$file" || return 1
    else
      cmp "$zip/$file" "$dir/$file" || return 1
    fi
  done <<<"$expected"
}

installed_ksvhid() {  # WIDTH
  local output
  output=$(msi_wine "$(unix_dir "$1")/ksvhid.exe" version)
  expect_lines "$output" "KSVHidApi $version" "library: $(install_dir "$1")\\KSVHidApi.dll"
}

# The MSVC-ABI consumer from a folder of its own, finding the installed simulator through PATH.
installed_consumer() {  # WIDTH
  local dir=$work/msi-run-$1 output
  mkdir -p "$dir"
  cp "$work/run-$1/consumer-msvc.exe" "$dir/"
  output=$(WINEPATH="$(install_dir "$1")\\simulator" msi_wine "$dir/consumer-msvc.exe")
  expect_lines "$output" "${simulator_lines[@]}"
}

nothing_left() {  # WIDTH
  local dir
  dir=$(unix_dir "$1")
  [ ! -d "$dir" ] || [ -z "$(find "$dir" ! -type d)" ] || { find "$dir" ! -type d; return 1; }
}

for width in x64 x86; do
  check "msi $width: msiexec /i /qn installs" msi_wine msiexec /i "$(msi_path "$width")" /qn
  check "msi $width: the zip's $width files and texts in $(install_dir "$width")" \
    installed_as_zip "$width"
  check_on "$width" "msi $width: the installed ksvhid.exe version runs on the installed DLL" \
    installed_ksvhid "$width"
  check_on "$width" "msi $width: the consumer exchanges with the installed simulator DLL" \
    installed_consumer "$width"
done
# The installed 64-bit products, as "Apps and features" lists them.
installed_products() {
  msi_wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s |
    sed -n 's/^ *DisplayName *REG_SZ *\(KSVHidApi .*\)$/\1/p' | LC_ALL=C sort
}
# A later version of the x64 installer (the same files, the next build number) replaces this one
# (and the x86 one stays: it is uninstalled below).
later=${version%.*}.$((${version##*.} + 1))
later_msi=$work/KSVHidApi-$later-x64.msi
upgraded() {
  local products
  /usr/bin/python3 "$root/tools/release/msi.py" --width x64 --version "$later" --files "$zip/x64" \
    --docs "$zip" --wxs "$work/later.wxs" --out "$later_msi" >/dev/null 2>&1 &&
    msi_wine msiexec /i "$(windows_path "$later_msi")" /qn &&
    products=$(installed_products) &&
    [ "$products" = "KSVHidApi $later (x64)" ] ||
    { echo "installed: ${products:-}"; return 1; }
}
check "msi x64: a later version's installer replaces this one" upgraded
for width in x64 x86; do
  if [ "$width" = x64 ]; then package=$(windows_path "$later_msi"); else package=$(msi_path x86); fi
  check "msi $width: msiexec /x /qn uninstalls" msi_wine msiexec /x "$package" /qn
  check "msi $width: no installed file left behind" nothing_left "$width"
done
WINEPREFIX=$msi_prefix /usr/lib/wine/wineserver64 -k 2>/dev/null || true
