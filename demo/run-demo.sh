#!/usr/bin/env bash
# The demonstration on the embedded default: a SQLite database reached through
# the SQLite ODBC driver, with its own ODBC configuration, credentials file and
# job definition file, then one korvadex run and the download file it made.
# Usage: demo/run-demo.sh [KORVADEX_BINARY [KASTROVIN_CRED_BINARY]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
korvadex=$(realpath "${1:-$root/build/korvadex}")
cred=$(realpath "${2:-$root/build/kastrovin-cred}")
work=$root/demo/work
rm -rf "$work"
mkdir -p "$work/odbc" "$work/Files" "$work/jobs/run"

driver=$(find "/usr/lib/$(uname -m)-linux-gnu" /usr/lib -name libsqlite3odbc.so -print -quit 2>/dev/null || true)
[ -n "$driver" ] || { echo "The SQLite ODBC driver (libsqliteodbc) is not installed." >&2; exit 1; }

# A private ODBC configuration, so the system's /etc/odbc.ini is never touched.
cat > "$work/odbc/odbcinst.ini" <<INI
[SQLite3]
Description=SQLite3 ODBC Driver
Driver=$driver
INI
# StepAPI=1 lets the driver hand rows over as SQLite produces them instead of
# holding the whole result in memory first.
cat > "$work/odbc/odbc.ini" <<INI
[KVDEMO]
Driver=SQLite3
Database=$work/demo.db
StepAPI=1
INI
export ODBCSYSINI=$work/odbc ODBCINI=$work/odbc/odbc.ini

sqlite3 "$work/demo.db" <<'SQL'
CREATE TABLE artikel (nr INTEGER, name TEXT, preis NUMERIC, notiz TEXT, terminal TEXT);
INSERT INTO artikel VALUES (17, '  Schraube M4 ', 0.35, 'Kiste 4', 'KASSE1');
INSERT INTO artikel VALUES (3, 'Mutter M4', 0.12, '  lose', 'KASSE1');
INSERT INTO artikel VALUES (250, 'Winkel', 12.5, NULL, 'KASSE1');
INSERT INTO artikel VALUES (42, 'Duebel 6mm', 4.99, 'Nachbestellen bis Freitag, dringend', 'KASSE1');
INSERT INTO artikel VALUES (8, 'Akkuschrauber', 129.0, 'Vorfuehrgeraet', 'KASSE2');
SQL

cp "$root/demo/KORVADEX.SQLITE.INI" "$work/jobs/run/"

# The credentials file holds every value encrypted; kastrovin-cred writes it
# (mode 0600) and shows what korvadex will read from it.
printf 'geheim\n' | "$cred" init "$work/Files/Kastrovin.Ini" \
  --database KVDEMO --login demo --db-system SQLITE --pass -
cd "$work/jobs/run"
echo "\$ kastrovin-cred check"
"$cred" check
echo
echo "\$ korvadex ARTIKEL KASSE1 artikel.dat 1     (in $work/jobs/run)"
"$korvadex" ARTIKEL KASSE1 artikel.dat 1
echo
echo "artikel.dat, $(stat -c %s artikel.dat) bytes: fixed-width records of 45 bytes, no line ends."
echo "Shown one record per line:"
fold -w 45 artikel.dat | sed 's/^/  |/; s/$/|/'
