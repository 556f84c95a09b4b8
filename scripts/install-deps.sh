#!/usr/bin/env bash
# Installs the Debian packages that building, the demo and the tests need,
# when they are missing. Extra package names may be given as arguments.
set -euo pipefail

packages=(g++ cmake make pkg-config libgtest-dev unixodbc unixodbc-dev libsqliteodbc
          odbc-postgresql postgresql odbc-mariadb mariadb-server sqlite3 libssl-dev python3
          nlohmann-json3-dev python3-jsonschema dpkg-dev file "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
# An index that fails to update (a mirror in sync) need not stop the install.
$sudo apt-get update -qq || echo "apt-get update failed; installing from the package lists there are"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
