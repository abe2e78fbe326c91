#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, and only
# those that are missing, so that a second run costs nothing.
set -euo pipefail

packages=(
  make cmake
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine64
  googletest
  g++ clang-14 libclang-rt-14-dev
  xvfb xauth netpbm
  locales
  zip
)
# Wine's own Marlett font, which draws the caption buttons in the demo's
# pictures (without it they show as letters).
packages+=(fonts-wine)
# The linker of make mutate's builds.
packages+=(lld)
# The artwork generator and the end-to-end tests.
packages+=(python3)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
