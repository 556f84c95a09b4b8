#!/usr/bin/env bash
# The Debian package: built with cpack from a plain Release build, installed,
# the demo run on the installed binaries and the manual pages looked up; the
# package is removed again on every way out, so the machine stays as it was.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
scripts/install-deps.sh lintian

dir=$root/build-package
rm -rf "$dir"
# Built as a packager builds it: Release with every option at its default
# (warnings are not errors here, as in a distribution's build).
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$dir" -j"$(nproc)"
(cd "$dir" && cpack -G DEB >/dev/null)
debs=("$dir"/korvadex_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "expected one korvadex .deb in $dir" >&2; exit 1; }
deb=${debs[0]}
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Depends\|Recommends\):/  &/p'

# Checked as Debian checks a package: an error fails the step; warnings and
# notes are shown for the record.
echo "lintian $(basename "$deb"):"
lintian --fail-on error --display-info "$deb" || { echo "lintian found errors in $deb" >&2; exit 1; }

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if dpkg-query -W -f='${Status}' korvadex 2>/dev/null | grep -q "install ok installed"; then
  echo "korvadex is already installed on this machine; not replacing it." >&2
  exit 1
fi
cleanup() {
  $sudo dpkg --purge korvadex >/dev/null 2>&1 || true
}
trap cleanup EXIT
# apt-get rather than dpkg -i, so that missing dependencies are pulled in.
$sudo apt-get install -y -qq --no-install-recommends "$deb" >/dev/null

[ -x /usr/bin/korvadex ] && [ -x /usr/bin/kastrovin-cred ] || { echo "binaries not installed in /usr/bin" >&2; exit 1; }
out=$(demo/run-demo.sh /usr/bin/korvadex /usr/bin/kastrovin-cred)
echo "$out"
grep -q '^4 Saetze kopiert in Datei artikel.dat $' <<<"$out"
grep -q '|00003Mutter M4   00000.12  lose              |' <<<"$out"

# The installed credentials tool reads the demo's file as korvadex does.
chmod 600 demo/work/Files/Kastrovin.Ini
check=$(cd demo/work/jobs/run && /usr/bin/kastrovin-cred check)
echo "$check"
grep -q '^  DB_SYSTEM  line 7  "SQLITE"$' <<<"$check"
grep -q '^No warnings\.$' <<<"$check"

if command -v man >/dev/null; then
  if grep -qs '^path-exclude=/usr/share/man' /etc/dpkg/dpkg.cfg.d/*; then
    echo "dpkg is set to leave manual pages out here; skipping the man -w check."
  else
    for page in "1 korvadex" "1 kastrovin-cred" "5 korvadex-files"; do
      found=$(man -w $page)
      echo "man -w $page: $found"
      [[ $found == /usr/share/man/* ]]
    done
  fi
else
  echo "man-db is not installed; skipping the man -w check."
fi
echo "package installed, demo run, removed again"
