#!/usr/bin/env bash
# What an append (flag 0) costs on a large download file: korvadex appends
# 1,000 records from SQLite to a 2 GiB file and to an empty one, and prints
# the wall time of each run. An append writes only the new block, so both
# times should be alike; a writer that copies the file pays for its size.
#
# Usage: bench/append-cost.sh
# Environment: BUILD_DIR (default <repo>/build), KORVADEX (the binary to
#              measure, default $BUILD_DIR/korvadex), SIZE (default 2G, any
#              truncate/fallocate size), SPARSE (1: a sparse file, the
#              default; 0: allocated blocks via fallocate), RUNS (default 3),
#              WORK_ROOT (where the work folder goes, default /tmp).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
korvadex=${KORVADEX:-$build/korvadex}
cred=$build/kastrovin-cred
size=${SIZE:-2G}
sparse=${SPARSE:-1}
runs=${RUNS:-3}
rows=1000
record_length=40

for binary in "$korvadex" "$cred" /usr/bin/sqlite3; do
  [ -x "$binary" ] || { echo "missing $binary (build first; sqlite3 is the Debian package sqlite3)" >&2; exit 1; }
done
sqlite_driver=$(find "/usr/lib/$(uname -m)-linux-gnu" /usr/lib -name libsqlite3odbc.so -print -quit 2>/dev/null || true)
[ -n "$sqlite_driver" ] || { echo "missing the SQLite ODBC driver (libsqliteodbc)" >&2; exit 1; }

work=$(mktemp -d "${WORK_ROOT:-/tmp}/korvadex-append.XXXXXX")
trap 'rm -rf "$work"' EXIT

/usr/bin/sqlite3 "$work/rows.db" \
  "CREATE TABLE t AS WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < $rows)
   SELECT x AS id, 'name-' || x AS name FROM c;"
mkdir -p "$work/odbc" "$work/Files" "$work/jobs/run"
printf '[SQLite3]\nDriver=%s\n' "$sqlite_driver" > "$work/odbc/odbcinst.ini"
printf '[KVAPPEND]\nDriver=SQLite3\nDatabase=%s\nStepAPI=1\n' "$work/rows.db" > "$work/odbc/odbc.ini"
export ODBCSYSINI=$work/odbc ODBCINI=$work/odbc/odbc.ini
n=1
for pair in DATABASE=KVAPPEND LOGIN=bench PASS=bench DB_SYSTEM=SQLITE; do
  printf ';KORVADEX;Benchmark\n%d;%s;%s\n' "$n" "${pair%%=*}" "$("$cred" encrypt "${pair#*=}")"
  n=$((n + 1))
done > "$work/Files/Kastrovin.Ini"
printf '[APPEND]\nSQL001=SELECT id, name FROM t\nFELD01=ID\nFTYP01=DEC\nFLEN01=10\nFELD02=NAME\nFTYP02=CHAR\nFLEN02=30\n' \
  > "$work/jobs/run/KORVADEX.SQLITE.INI"

# One timed append of the 1,000 records to FILE; prints seconds.
append_once() {
  local file=$1 start end out
  start=$(date +%s.%N)
  out=$(cd "$work/jobs/run" && "$korvadex" APPEND T1 "$file" 0)
  end=$(date +%s.%N)
  [ "$out" = "$rows Saetze kopiert in Datei $file " ] || { echo "unexpected output: $out" >&2; exit 1; }
  printf "%.3f" "$(echo "$end - $start" | bc)"
}

big=$work/jobs/run/big.dat
small=$work/jobs/run/small.dat
if [ "$sparse" = 1 ]; then truncate -s "$size" "$big"; else fallocate -l "$size" "$big"; fi
: > "$small"
big_size=$(stat -c %s "$big")

echo "korvadex: $korvadex"
echo "appending $rows records ($((rows * record_length)) bytes) per run; $runs runs each"
printf '%-28s %s\n' "target" "wall seconds per run"
for target in "$small" "$big"; do
  label="$(basename "$target") ($(stat -c %s "$target" | numfmt --to=iec) before)"
  times=()
  for ((i = 0; i < runs; i++)); do times+=("$(append_once "$target")"); done
  printf '%-28s %s\n' "$label" "${times[*]}"
done

expected=$((big_size + runs * rows * record_length))
actual=$(stat -c %s "$big")
[ "$actual" = "$expected" ] || { echo "big.dat has $actual bytes, expected $expected" >&2; exit 1; }
tail -c $((rows * record_length)) "$big" > "$work/block"
[ "$(head -c $record_length "$work/block")" = "0000000001name-1                        " ] ||
  { echo "the last block of big.dat does not start with the first record" >&2; exit 1; }
echo "big.dat: $actual bytes, the old content plus $runs whole blocks"
