#!/usr/bin/env bash
# Cross-builds korvadex.exe and kastrovin-cred.exe for 64-bit Windows into
# build-windows/ (or the folder given as first argument), tests off, and
# packs them with the Windows README and the manual pages as text into a zip.
# Installs mingw-w64 and wine64 (to run them here) with apt-get when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-windows}

packages=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 wine64 cmake make
          groff-base)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVADEX_TESTS=OFF -DKORVADEX_WERROR=ON >/dev/null
cmake --build "$dir" -j"$(nproc)"
(cd "$dir" && cpack -G ZIP >/dev/null)
ls "$dir"/korvadex.exe "$dir"/kastrovin-cred.exe "$dir"/korvadex-*-win64.zip
