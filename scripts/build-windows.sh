#!/usr/bin/env bash
# Cross-builds korvadex.exe and kastrovin-cred.exe for Windows, tests off, and
# packs them with the Windows README and the manual pages as text into a zip:
# the 64-bit build into build-windows/ (korvadex-<version>-win64.zip), the
# 32-bit one into build-windows32/ (korvadex-<version>-win32.zip).
#   scripts/build-windows.sh [FOLDER64 [FOLDER32]]   both builds
#   scripts/build-windows.sh --only 64|32 [FOLDER]   one of them
# Installs mingw-w64 and wine64 (to run them here) with apt-get when missing;
# the 32-bit wine is the CI step's business (it needs the i386 architecture).
set -euo pipefail
cd "$(dirname "$0")/.."
builds=()
if [ "${1:-}" = --only ]; then
  case ${2:-} in
    64) builds=("x86_64 ${3:-build-windows}") ;;
    32) builds=("i686 ${3:-build-windows32}") ;;
    *) echo "usage: $0 [FOLDER64 [FOLDER32]] | --only 64|32 [FOLDER]" >&2; exit 2 ;;
  esac
else
  builds=("x86_64 ${1:-build-windows}" "i686 ${2:-build-windows32}")
fi

packages=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
          g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686 wine64 cmake make groff-base)
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

for build in "${builds[@]}"; do
  read -r arch dir <<<"$build"
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVADEX_TESTS=OFF -DKORVADEX_WERROR=ON >/dev/null
  cmake --build "$dir" -j"$(nproc)"
  (cd "$dir" && cpack -G ZIP >/dev/null)
  ls "$dir"/korvadex.exe "$dir"/kastrovin-cred.exe "$dir"/korvadex-*-win*.zip
done
