#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian 12 machine, and does
# nothing (quietly) when it is all there. Needs root for the installation.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev clang-format
  googletest libgtest-dev libgmock-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  wine wine64 wine32:i386
  libboost-dev gnuplot-nox
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "setup: installing ${missing[*]}" >&2
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
# Wine's 32-bit half comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
log=$(mktemp)
if ! { "${sudo_cmd[@]}" apt-get update -qq &&
       DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
         "${missing[@]}"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "setup: package installation failed" >&2
  exit 1
fi
rm -f "$log"
