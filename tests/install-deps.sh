#!/usr/bin/env bash
# Installs the Debian packages that building and testing need: the one place that installs
# packages (tests/vm/setup.sh and tools/demo.sh call it too). Run as root; uses sudo otherwise.
# Quick when everything is already there: one dpkg query, no apt-get.
#
# The 32-bit Windows build runs its tests under 32-bit Wine (wine32:i386), so the i386
# architecture is enabled first; Debian 12 has everything offline in its own archive.
set -euo pipefail

packages=(
  # build and format
  cmake ninja-build g++ pkg-config clang-format clang libclang-rt-14-dev
  # line and branch coverage of the Linux tree
  gcovr
  # libraries of the tests, benchmarks and tools
  libgtest-dev libbenchmark-dev libhidapi-dev nlohmann-json3-dev
  python3-pytest python3-setuptools python3-wheel python3-pip python3-venv
  # the .NET binding: Mono's C# compiler and runtime, NUnit 2.6
  mono-mcs mono-runtime nunit-console libnunit-cil-dev
  # the Windows DLLs, 64- and 32-bit, and Wine to run their tests
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 wine wine32:i386
  # the test guest (tests/vm): QEMU, its initramfs, the kernel payload's decompressors, flock,
  # and udev for the device suites
  qemu-system-x86 busybox-static xz-utils zstd gzip coreutils util-linux udev
  # the release (tools/release.sh) and its proofs: MSVC import libraries and an MSVC-ABI consumer
  # (llvm-dlltool, lld-link), the zip, the MSIs (wixl), the Debian packages and their check
  # (dpkg-shlibdeps, lintian), the NuGet package installed offline
  llvm lld zip unzip dpkg-dev msitools wixl lintian nuget
)

native=$(dpkg --print-architecture)
foreign=$(dpkg --print-foreign-architectures)

# One query for all: "name:arch status" per known package. A name without ":arch" is satisfied by
# the native or the "all" build.
declare -A installed=()
while read -r name state; do
  if [ "$state" = ii ]; then installed[$name]=1; fi
done < <(dpkg-query -W -f='${Package}:${Architecture} ${db:Status-Abbrev}\n' "${packages[@]}" \
  2>/dev/null || true)
missing=()
for p in "${packages[@]}"; do
  if [[ $p == *:* ]]; then
    [ -n "${installed[$p]:-}" ] || missing+=("$p")
  else
    [ -n "${installed[$p:$native]:-}${installed[$p:all]:-}" ] || missing+=("$p")
  fi
done
need_i386=0
grep -qx i386 <<<"$foreign" || need_i386=1
[ ${#missing[@]} -eq 0 ] && [ "$need_i386" -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
if [ "$need_i386" -eq 1 ]; then
  echo "install-deps.sh: enabling the i386 architecture"
  $sudo dpkg --add-architecture i386
fi
echo "install-deps.sh: installing ${missing[*]}"
# Also after --add-architecture: the lists have no i386 packages until updated.
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
