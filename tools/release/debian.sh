#!/usr/bin/env bash
# The Debian packages (called by tools/release.sh, which sets KSV_RELEASE_*), split as Debian's own
# library packages are, from the Linux tree's installation under /usr:
#   libksvhidapi1     the libraries (libKSVHidApi.so.1, libKSVHidWatch.so.1,
#                     libKSVHidDiagnose.so.1) and the udev rule
#   libksvhidapi-dev  the headers, the .so links, pkg-config and the CMake package
#   ksvhid            the tool, the simulator library and the recorder library
# Binaries are stripped; dependencies come from dpkg-shlibdeps; each package has its copyright,
# changelogs and md5sums, and lintian reports no errors on them (tests/release checks that).
set -euo pipefail

root=$KSV_RELEASE_ROOT build=$KSV_RELEASE_BUILD out=$KSV_RELEASE_OUT work=$KSV_RELEASE_WORK
version=$KSV_RELEASE_VERSION
here=$root/tools/release/debian
revision=$version-1
arch=$(dpkg --print-architecture)
# The project has no mail address of its own: the default is one under the reserved top-level
# domain .invalid, which no mail reaches; a distributor sets KSV_DEB_MAINTAINER.
maintainer=${KSV_DEB_MAINTAINER:-"The KSVHidApi authors <authors@ksvhidapi.invalid>"}
date=$(date -u -R -d "@$SOURCE_DATE_EPOCH")

staged=$work/debian-install
DESTDIR=$staged cmake --install "$build/linux" --prefix /usr >/dev/null
# The packages are built in a source tree of their own (debian/PACKAGE/), where dpkg-shlibdeps
# finds the libraries of the other packages being built.
src=$work/debian
mkdir -p "$src/debian"
cat >"$src/debian/control" <<CONTROL
Source: ksvhidapi
Maintainer: $maintainer

Package: libksvhidapi1
Architecture: $arch

Package: libksvhidapi-dev
Architecture: $arch

Package: ksvhid
Architecture: $arch
CONTROL

# take PACKAGE PATH...: moves staged files (and links) into the package, keeping their paths.
take() {
  local package=$1 path
  shift
  for path in "$@"; do
    mkdir -p "$src/debian/$package/$(dirname "$path")"
    mv "$staged/$path" "$src/debian/$package/$path"
  done
}
take libksvhidapi1 usr/lib/libKSVHidApi.so.1 usr/lib/libKSVHidApi.so."$version" \
  usr/lib/libKSVHidWatch.so.1 usr/lib/libKSVHidWatch.so."$version" \
  usr/lib/libKSVHidDiagnose.so.1 usr/lib/libKSVHidDiagnose.so."$version"
# The rule where Debian 12's udev keeps its own.
mkdir -p "$src/debian/libksvhidapi1/lib/udev/rules.d"
mv "$staged/usr/lib/udev/rules.d/70-ksvhid.rules" "$src/debian/libksvhidapi1/lib/udev/rules.d/"
take libksvhidapi-dev usr/include usr/lib/libKSVHidApi.so usr/lib/libKSVHidWatch.so \
  usr/lib/libKSVHidDiagnose.so \
  usr/lib/pkgconfig usr/lib/cmake
take ksvhid usr/bin/ksvhid usr/lib/ksvhid-simulator usr/lib/ksvhid-recorder
# What cmake --install also puts there and no package carries: the Python wheel (a release file
# of its own).
rm -rf "$staged/usr/share/ksvhid" "$staged/usr/lib/udev"
leftover=$(cd "$staged" && find . ! -type d)
[ -z "$leftover" ] || { echo "debian: installed but in no package: $leftover" >&2; exit 1; }

for package in libksvhidapi1 libksvhidapi-dev ksvhid; do
  dir=$src/debian/$package
  find "$dir" -type f -name '*.so*' -exec strip --strip-unneeded --remove-section=.comment \
    --remove-section=.note {} +
  find "$dir" -type f -name '*.so*' -exec chmod 0644 {} +
  [ ! -e "$dir/usr/bin/ksvhid" ] ||
    strip --remove-section=.comment --remove-section=.note "$dir/usr/bin/ksvhid"
  doc=$dir/usr/share/doc/$package
  mkdir -p "$doc"
  sed -e "s/@VERSION@/$version/" -e "s/@YEAR@/$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y)/" \
    "$here/copyright" >"$doc/copyright"
  gzip -9n <"$root/CHANGELOG.md" >"$doc/changelog.gz"
  {
    echo "ksvhidapi ($revision) unstable; urgency=medium"
    echo
    echo "  * Release $version, packaged from the project's own build (see changelog.gz)."
    echo
    echo " -- $maintainer  $date"
  } | gzip -9n >"$doc/changelog.Debian.gz"
done
# ksvhid's manual page: its own help text, so that the two never differ.
man=$src/debian/ksvhid/usr/share/man/man1
mkdir -p "$man"
{
  echo ".TH KSVHID 1 \"\" \"KSVHidApi $version\" \"User Commands\""
  echo ".SH NAME"
  echo "ksvhid \\- list, diagnose and drive KSVHidApi measurement modules"
  echo ".SH DESCRIPTION"
  echo ".nf"
  # In roff a backslash is written \e, and a line may not begin with a control character.
  "$build/linux/tools/ksvhid/ksvhid" help | sed -e 's/\\/\\e/g' -e "s/^\([.']\)/\\\\\&\1/"
  echo ".fi"
  echo ".SH SEE ALSO"
  echo "The simulator library is in /usr/lib/ksvhid-simulator/:"
  echo "LD_LIBRARY_PATH=/usr/lib/ksvhid-simulator makes a program use it instead of"
  echo "libKSVHidApi.so.1. The recorder library, in /usr/lib/ksvhid-recorder/, records"
  echo "a program's conversation with its modules (ksvhid record FILE -- PROGRAM)."
} | gzip -9n >"$man/ksvhid.1.gz"

# A package's folder is known by its DEBIAN folder (also to dpkg-shlibdeps).
for package in libksvhidapi1 libksvhidapi-dev ksvhid; do
  mkdir -p "$src/debian/$package/DEBIAN"
done
# The libraries' ABI is the one of version 1.3 onwards: a program built against this version
# needs at least it.
cat >"$src/debian/libksvhidapi1/DEBIAN/shlibs" <<SHLIBS
libKSVHidApi 1 libksvhidapi1 (>= $version)
libKSVHidWatch 1 libksvhidapi1 (>= $version)
libKSVHidDiagnose 1 libksvhidapi1 (>= $version)
SHLIBS
echo "activate-noawait ldconfig" >"$src/debian/libksvhidapi1/DEBIAN/triggers"
for script in postinst postrm; do
  install -m 0755 "$here/udev-reload" "$src/debian/libksvhidapi1/DEBIAN/$script"
done

# shlibdeps PACKAGE: the Depends of the package's ELF files.
shlibdeps() {
  local files output
  mapfile -t files < <(find "$src/debian/$1" -type f \( -name '*.so*' -o -path '*/usr/bin/*' \))
  output=$(cd "$src" && dpkg-shlibdeps -O -l"debian/libksvhidapi1/usr/lib" "${files[@]}")
  sed -n 's/^shlibs:Depends=//p' <<<"$output"
}
# Worked out here, where a failure ends the release.
library_depends=$(shlibdeps libksvhidapi1)
tool_depends=$(shlibdeps ksvhid)
[ -n "$library_depends" ] && [ -n "$tool_depends" ] ||
  { echo "debian: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

describe() {  # PACKAGE: Section, Depends and Description
  case $1 in
    libksvhidapi1)
      echo "Section: libs"
      echo "Depends: $library_depends"
      echo "Description: find and drive measurement modules attached as USB HID devices"
      echo " KSVHidApi finds measurement modules that attach over USB and present"
      echo " themselves as HID devices, opens one by its serial number and exchanges"
      echo " fixed-size reports with it, over the kernel's hidraw interface."
      echo " KSVHidWatch reports modules arriving and leaving; KSVHidDiagnose says why"
      echo " an interface is not a module."
      echo " ."
      echo " This package holds the shared libraries and a udev rule that gives the"
      echo " modules to the logged-in user and to the group plugdev."
      ;;
    libksvhidapi-dev)
      echo "Section: libdevel"
      echo "Depends: libksvhidapi1 (= $revision)"
      echo "Description: find and drive measurement modules (development files)"
      echo " KSVHidApi finds measurement modules that attach over USB and present"
      echo " themselves as HID devices and exchanges fixed-size reports with them."
      echo " ."
      echo " This package holds the headers, the development links, the pkg-config"
      echo " file and the CMake package (find_package(KSVHidApi))."
      ;;
    ksvhid)
      echo "Section: utils"
      # The tool and the libraries of one build: exactly this version of them.
      echo "Depends: ${tool_depends/libksvhidapi1 (>= $version)/libksvhidapi1 (= $revision)}"
      echo "Description: command-line tool for KSVHidApi measurement modules"
      echo " ksvhid lists the measurement modules that KSVHidApi finds, sends commands"
      echo " to them, tells why a module is not listed and reports modules arriving"
      echo " and leaving."
      echo " ."
      echo " It also holds the simulator library, the same library over simulated"
      echo " modules, for developing an application without hardware, and the"
      echo " recorder library, which records a program's conversation with its modules"
      echo " for the simulator to replay."
      ;;
  esac
}

for package in libksvhidapi1 libksvhidapi-dev ksvhid; do
  dir=$src/debian/$package
  (cd "$dir" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z |
    xargs -0 md5sum >DEBIAN/md5sums)
  {
    echo "Package: $package"
    echo "Source: ksvhidapi"
    echo "Version: $revision"
    echo "Architecture: $arch"
    echo "Maintainer: $maintainer"
    echo "Installed-Size: $(du -sk --exclude=DEBIAN "$dir" | cut -f1)"
    echo "Priority: optional"
    describe "$package"
  } >"$dir/DEBIAN/control"
  find "$dir" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  dpkg-deb --root-owner-group -Zxz --build "$dir" "$out/${package}_${revision}_$arch.deb" >/dev/null
done
