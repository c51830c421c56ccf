#!/usr/bin/env bash
# Installs the Debian packages that building and testing need (run as root; uses sudo otherwise).
# Quick when everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config clang-format
  libgtest-dev libbenchmark-dev libhidapi-dev
  g++-mingw-w64-x86-64 wine64 wine
  qemu-system-x86 busybox-static
  clang libclang-rt-14-dev  # the fuzz targets: clang++ with libFuzzer and its sanitizer runtimes
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
