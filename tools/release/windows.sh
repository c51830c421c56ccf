#!/usr/bin/env bash
# The Windows part of the release (called by tools/release.sh, which sets KSV_RELEASE_*): for each
# width, the installed tree of the build rearranged into one folder, the MSVC import libraries made
# from the .def files, the zip of both widths and an MSI for each.
set -euo pipefail

root=$KSV_RELEASE_ROOT build=$KSV_RELEASE_BUILD out=$KSV_RELEASE_OUT work=$KSV_RELEASE_WORK
version=$KSV_RELEASE_VERSION
here=$root/tools/release
zip_root=$work/windows
mkdir -p "$zip_root"

# The MSVC import library of DLL from the GNU .def of its build. The 64-bit names are plain. A
# 32-bit __stdcall function is referenced as _Name@N by MSVC's callers; the DLL exports it as Name.
# The 32-bit .def of the build ("Name@N == Name") gives llvm-dlltool the decorated name, and -k
# marks each import "undecorate", so that the loader looks up the plain name.
import_library() {  # WIDTH DEF-OF-THE-BUILD OUT-DIR NAME
  local width=$1 def=$2 dir=$3 name=$4
  if [ "$width" = x64 ]; then
    grep -v '^;' "$def" >"$dir/$name.def"
    llvm-dlltool -m i386:x86-64 -d "$dir/$name.def" -l "$dir/$name.lib"
  else
    {
      echo "; The exports of the 32-bit $name.dll, as __stdcall callers name them (Name@N: N bytes"
      echo "; of arguments). The DLL exports the plain names; an import library made from this"
      echo "; file must look those up: llvm-dlltool -m i386 -k -d $name.def -l $name.lib"
      sed -n -e '/^LIBRARY/p' -e '/^EXPORTS/p' \
        -e 's/^ *\([A-Za-z_][A-Za-z0-9_]*@[0-9]\+\) == .*/  \1/p' "$def"
    } >"$dir/$name.def"
    llvm-dlltool -m i386 -k -d "$dir/$name.def" -l "$dir/$name.lib"
  fi
}

for width in x64 x86; do
  tree=$build/windows suffix=""
  [ "$width" = x64 ] || tree=$build/windows32 suffix=-i686
  prefix=$work/install-$width
  cmake --install "$tree" --prefix "$prefix" >/dev/null
  dir=$zip_root/$width
  mkdir -p "$dir/simulator" "$dir/include" "$dir/cmake"
  cp "$prefix"/bin/{KSVHidApi.dll,KSVHidWatch.dll,KSVHidDiagnose.dll,ksvhid.exe} "$dir/"
  cp "$prefix"/bin/ksvhid-simulator/{KSVHidApi.dll,KSVHidDiagnose.dll} "$dir/simulator/"
  cp "$prefix"/lib/{libKSVHidApi.dll.a,libKSVHidWatch.dll.a,libKSVHidDiagnose.dll.a} "$dir/"
  cp "$prefix"/include/{KSVHidApi.h,KSVHidWatch.h,KSVHidDiagnose.h} "$dir/include/"
  cp "$here/KSVHidApiConfig.cmake" "$dir/cmake/"
  # The build's version file: it also refuses a consumer of the other width.
  cp "$prefix"/lib/cmake/KSVHidApi/KSVHidApiConfigVersion.cmake "$dir/cmake/"
  import_library "$width" "$root/Library/api/KSVHidApi$suffix.def" "$dir" KSVHidApi
  import_library "$width" "$root/Library/watch/KSVHidWatch$suffix.def" "$dir" KSVHidWatch
  import_library "$width" "$root/Library/diagnose/KSVHidDiagnose$suffix.def" "$dir" KSVHidDiagnose
done
# Texts for Windows: CRLF line ends.
sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' "$here/README-windows.txt" >"$zip_root/README.txt"
sed 's/$/\r/' "$root/LICENSE" >"$zip_root/LICENSE.txt"
sed 's/$/\r/' "$root/CHANGELOG.md" >"$zip_root/CHANGELOG.md"

# The zip: files in name order, dated to the release, no extra attributes.
find "$zip_root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
(cd "$zip_root" && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort |
  TZ=UTC zip -q -X -D -@ "$out/KSVHidApi-$version-windows.zip")

for width in x64 x86; do
  /usr/bin/python3 "$here/msi.py" --width "$width" --version "$version" --files "$zip_root/$width" \
    --docs "$zip_root" --wxs "$work/KSVHidApi-$width.wxs" --out "$out/KSVHidApi-$version-$width.msi"
done
