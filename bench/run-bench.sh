#!/usr/bin/env bash
# Side-by-side benchmark of one export on the same data: the durable floor
# (odbc_floor: the fetch, then a file of the same size written and flushed), korvadex and the pyodbc peer, on SQLite and on private
# PostgreSQL and MariaDB servers. Prints medians of wall time, CPU time and peak memory,
# the ratios, whether the targets are met, and checks that korvadex and the
# peer wrote byte-identical files.
#
# Usage: bench/run-bench.sh [ROWS]            (default 1000000)
# Environment: BUILD_DIR (default <repo>/build), RUNS (default 3),
#              DRIVERS ("sqlite pg mariadb"), PEER (1; 0 skips the pyodbc peer),
#              WORK_ROOT (folder for the temporary work dir, default /tmp),
#              DATA_DIR (keeps the SQLite file there as bench-ROWS.db and reuses it),
#              PHASES (1; korvadex runs with /D and its phase times are summed up;
#              0 runs it exactly as a job script does),
#              CODEPAGE (1252; each round also runs korvadex with KORVADEX_CODEPAGE
#              set to it, to show what the conversion costs; empty skips it).
set -euo pipefail
rows=${1:-1000000}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
runs=${RUNS:-3}
drivers=${DRIVERS:-"sqlite pg mariadb"}
with_peer=${PEER:-1}
with_phases=${PHASES:-1}
codepage=${CODEPAGE-1252}
python=/usr/bin/python3
korvadex=$build/korvadex
floor=$build/bench/odbc_floor
cred=$build/kastrovin-cred
pgbin=/usr/lib/postgresql/15/bin

for binary in "$korvadex" "$floor" "$cred"; do
  [ -x "$binary" ] || { echo "missing $binary: build first (cmake --build $build)" >&2; exit 1; }
done
# What the measurements need beyond the build: /usr/bin/time, bc, and pyodbc for the peer.
missing=()
[ -x /usr/bin/time ] || missing+=(time)
command -v bc >/dev/null || missing+=(bc)
if [ "$with_peer" = 1 ] && ! "$python" -c 'import pyodbc' 2>/dev/null; then missing+=(python3-pyodbc); fi
if [ ${#missing[@]} -gt 0 ]; then
  "$root/scripts/install-deps.sh" "${missing[@]}" >/dev/null 2>&1 ||
    { echo "needs the Debian packages: ${missing[*]}" >&2; exit 1; }
fi

work=$(mktemp -d "${WORK_ROOT:-/tmp}/korvadex-bench.XXXXXX")
chmod 755 "$work"
pgdata=""
mariadb_state=$work/mariadb
cleanup() {
  if [ -n "$pgdata" ] && [ -f "$pgdata/postmaster.pid" ]; then
    runuser -u postgres -- "$pgbin/pg_ctl" -D "$pgdata" -m fast stop >/dev/null 2>&1 || true
  fi
  "$root/tests/mariadb-server.sh" stop "$mariadb_state" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

sqlite_driver=$(find "/usr/lib/$(uname -m)-linux-gnu" /usr/lib -name libsqlite3odbc.so -print -quit 2>/dev/null || true)
pg_driver=$(find "/usr/lib/$(uname -m)-linux-gnu" /usr/lib -name psqlodbca.so -print -quit 2>/dev/null || true)
pg_unicode_driver=$(find "/usr/lib/$(uname -m)-linux-gnu" /usr/lib -name psqlodbcw.so -print -quit 2>/dev/null || true)
mariadb_driver=$(find "/usr/lib/$(uname -m)-linux-gnu" /usr/lib -name libmaodbc.so -print -quit 2>/dev/null || true)
mkdir -p "$work/odbc"
cat > "$work/odbc/odbcinst.ini" <<INI
[SQLite3]
Driver=$sqlite_driver
[PostgreSQL]
Driver=$pg_driver
[PostgreSQL Unicode]
Driver=$pg_unicode_driver
[MariaDB]
Driver=$mariadb_driver
INI
export ODBCSYSINI=$work/odbc ODBCINI=$work/odbc/odbc.ini
: > "$ODBCINI"

columns="DEC:10,CHAR:30,CHAR:25,DEC:12,CHAR:10,CHAR:4,CHAR:20,TXT:55"
statement="SELECT id, name, city, amount, booked, code, note, remark FROM bench_rows"
record_length=166

prepare_sqlite() {
  local db=$work/bench.db
  if [ -n "${DATA_DIR:-}" ]; then
    db=$DATA_DIR/bench-$rows.db
  fi
  if [ ! -f "$db" ]; then
    echo "generating $rows rows into SQLite ..."
    "$python" "$root/bench/gen_data.py" --rows "$rows" --sqlite "$db.partial"
    mv "$db.partial" "$db"
  fi
  # StepAPI=1 streams rows as SQLite produces them instead of buffering the result.
  cat >> "$ODBCINI" <<INI
[KVLITE]
Driver=SQLite3
Database=$db
StepAPI=1
INI
}

free_port() {
  "$python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

prepare_pg() {
  pgdata=$work/pg/data
  mkdir -p "$work/pg"
  chown postgres "$work/pg"
  local port
  port=$(free_port)
  runuser -u postgres -- "$pgbin/initdb" -D "$pgdata" -U bench -A trust -E UTF8 --locale=C \
    --no-sync >/dev/null
  runuser -u postgres -- "$pgbin/pg_ctl" -D "$pgdata" -l "$work/pg/server.log" -w \
    -o "-p $port -k $work/pg -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null
  local psql=("$pgbin/psql" -X -q -h 127.0.0.1 -p "$port" -U bench)
  "${psql[@]}" -d postgres -c "CREATE DATABASE bench"
  "${psql[@]}" -d bench -c "CREATE TABLE bench_rows (id integer, name text, city text,
    amount text, booked date, code text, note text, remark text)"
  echo "generating $rows rows into PostgreSQL on port $port ..."
  "$python" "$root/bench/gen_data.py" --rows "$rows" --csv |
    "${psql[@]}" -d bench -c "\\copy bench_rows FROM STDIN WITH (FORMAT csv)"
  "${psql[@]}" -d bench -c "VACUUM ANALYZE bench_rows"
  # UseDeclareFetch with Fetch=10000 reads the result through a cursor in
  # batches instead of holding all of it in the client.
  cat >> "$ODBCINI" <<INI
[KVPG]
Driver=PostgreSQL
Servername=127.0.0.1
Port=$port
Database=bench
UseDeclareFetch=1
Fetch=10000
[KVPGW]
Driver=PostgreSQL Unicode
Servername=127.0.0.1
Port=$port
Database=bench
UseDeclareFetch=1
Fetch=10000
INI
}

prepare_mariadb() {
  [ -n "$mariadb_driver" ] || { echo "MariaDB Connector/ODBC (odbc-mariadb) is not installed" >&2; exit 1; }
  # The test suite's server script: its own folder, a free loopback port, the
  # user kvuser and the database kvtest.
  "$root/tests/mariadb-server.sh" start "$mariadb_state"
  [ -f "$mariadb_state/port" ] || { echo "the MariaDB server (mariadb-server) is not installed" >&2; exit 1; }
  local port
  port=$(cat "$mariadb_state/port")
  local client=(mariadb --no-defaults --default-character-set=utf8mb4 --protocol=tcp -h 127.0.0.1
                -P "$port" -u kvuser -pkv-secret kvtest)
  "${client[@]}" -e "CREATE TABLE bench_rows (id INT, name VARCHAR(200), city VARCHAR(200),
    amount VARCHAR(40), booked DATE, code VARCHAR(10), note VARCHAR(40), remark VARCHAR(200))
    CHARACTER SET utf8mb4"
  echo "generating $rows rows into MariaDB on port $port ..."
  # The CSV's empty unquoted field is NULL; the generator never writes an empty note.
  "$python" "$root/bench/gen_data.py" --rows "$rows" --csv |
    "${client[@]}" --local-infile=1 -e "LOAD DATA LOCAL INFILE '/dev/stdin' INTO TABLE bench_rows
      CHARACTER SET utf8mb4 FIELDS TERMINATED BY ',' ENCLOSED BY '\"' ESCAPED BY ''
      LINES TERMINATED BY '\n' (id, name, city, amount, booked, code, @note, remark)
      SET note = NULLIF(@note, '')"
  "${client[@]}" -e "ANALYZE TABLE bench_rows" >/dev/null
  # Connector/ODBC 3.1.17 and later hand rows over as the server sends them
  # with NO_CACHE=1 on a forward-only cursor; 3.1.15 (Debian 12) does not know
  # the option and holds the whole result in memory from the execute on.
  cat >> "$ODBCINI" <<INI
[KVMA]
Driver=MariaDB
Server=127.0.0.1
Port=$port
Database=kvtest
FORWARDONLY=1
NO_CACHE=1
INI
}

# Lays out what korvadex reads: ../../Files/Kastrovin.Ini and ./KORVADEX.<system>.INI.
prepare_job() {
  local name=$1 dsn=$2 system=$3
  local dir=$work/$name
  mkdir -p "$dir/Files" "$dir/jobs/run"
  {
    local n=1 pair
    for pair in DATABASE=$dsn LOGIN=$login PASS=$password DB_SYSTEM=$system; do
      printf ';KORVADEX;Benchmark\n%d;%s;%s\n' "$n" "${pair%%=*}" "$("$cred" encrypt "${pair#*=}")"
      n=$((n + 1))
    done
  } > "$dir/Files/Kastrovin.Ini"
  {
    echo "[BENCH]"
    echo "SQL001=$statement"
    local i=1 item
    for item in ${columns//,/ }; do
      printf 'FELD%02d=COL%d\nFTYP%02d=%s\nFLEN%02d=%s\n' "$i" "$i" "$i" "${item%%:*}" "$i" "${item#*:}"
      i=$((i + 1))
    done
  } > "$dir/jobs/run/KORVADEX.$system.INI"
}

results=$work/results.tsv
parts=$work/floor-parts.tsv
phases=$work/korvadex-phases.tsv
: > "$parts"
: > "$phases"
trace=()
[ "$with_phases" = 1 ] && trace=(/D)
: > "$results"

# measure DRIVER TOOL OUTPUT-FILE COMMAND...: one timed run, appended to the results.
measure() {
  local driver=$1 tool=$2 output=$3
  shift 3
  rm -f "$output"
  local timing=$work/timing
  if ! /usr/bin/time -f "%e %U %S %M" -o "$timing" "$@" > "$work/last.log" 2>&1; then
    echo "$tool on $driver failed:" >&2
    cat "$work/last.log" >&2
    exit 1
  fi
  local size=0
  [ -f "$output" ] && size=$(stat -c %s "$output")
  read -r wall user sys rss < "$timing"
  printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$driver" "$tool" "$wall" "$user" "$sys" "$rss" >> "$results"
  printf '  %-8s %-9s wall %6.2f s  cpu %6.2f s  peak %8.1f MiB  output %s bytes\n' \
    "$driver" "$tool" "$wall" "$(echo "$user + $sys" | bc)" "$(echo "scale=1; $rss / 1024" | bc)" "$size"
}

for driver in $drivers; do
  case $driver in
    sqlite) prepare_sqlite; dsn=KVLITE; system=SQLITE; login=bench; password=bench ;;
    pg) prepare_pg; dsn=KVPG; system=PGSQL; login=bench; password=bench ;;
    mariadb) prepare_mariadb; dsn=KVMA; system=MARIADB; login=kvuser; password=kv-secret ;;
    *) echo "unknown driver $driver" >&2; exit 1 ;;
  esac
  prepare_job "$driver" "$dsn" "$system"
  run_dir=$work/$driver/jobs/run
  # With a code page PostgreSQL takes psqlODBC's Unicode driver: the ANSI one
  # cannot deliver wide text.
  cp_dsn=$dsn
  [ "$driver" = pg ] && cp_dsn=KVPGW
  prepare_job "$driver-cp" "$cp_dsn" "$system"
  cp_dir=$work/$driver-cp/jobs/run
  # One untimed pass so that every tool meets the same warm caches.
  "$floor" "$dsn" "$login" "$password" "$statement" 2>/dev/null
  tools="floor and korvadex"
  [ "$with_peer" = 1 ] && tools="floor, korvadex and peer"
  echo "$driver: $runs rounds of $tools"
  for round in $(seq "$runs"); do
    # The durable floor: the fetch, then a file of the download's size
    # written and flushed to disk, as no durable export can skip either.
    measure "$driver" floor "$run_dir/floor.dat" "$floor" "$dsn" "$login" "$password" "$statement" \
      "$run_dir/floor.dat" "$((rows * record_length))"
    sed -n 's/.*fetch \([0-9.]*\) s, durable write \([0-9.]*\) s.*/\1\t\2/p' "$work/last.log" |
      sed "s/^/$driver\t/" >> "$parts"
    rm -f "$run_dir/floor.dat"
    measure "$driver" korvadex "$run_dir/korvadex.dat" \
      bash -c 'cd "$1" && exec "$2" BENCH BENCH korvadex.dat 1 "${@:3}"' _ "$run_dir" "$korvadex" "${trace[@]}"
    sed -n 's/^korvadex: connect+execute \([0-9.]*\) s, fetch \([0-9.]*\) s, sort \([0-9.]*\) s, write \([0-9.]*\) s$/\1\t\2\t\3\t\4/p' \
      "$work/last.log" | sed "s/^/$driver\t/" >> "$phases"
    if [ -n "$codepage" ]; then
      # The same export with every column fetched as wide text and converted.
      measure "$driver" "cp$codepage" "$cp_dir/korvadex-cp.dat" env KORVADEX_CODEPAGE="$codepage" \
        bash -c 'cd "$1" && exec "$2" BENCH BENCH korvadex-cp.dat 1 "${@:3}"' _ "$cp_dir" "$korvadex" "${trace[@]}"
      [ "$(stat -c %s "$cp_dir/korvadex-cp.dat")" = "$((rows * record_length))" ] ||
        { echo "korvadex with KORVADEX_CODEPAGE=$codepage wrote a file of another size" >&2; exit 1; }
      cp_sum=$(sha256sum < "$cp_dir/korvadex-cp.dat")
      rm -f "$cp_dir/korvadex-cp.dat"
    fi
    if [ "$with_peer" = 1 ]; then
      measure "$driver" peer "$run_dir/peer.dat" \
        "$python" "$root/bench/peer_export.py" "DSN=$dsn;UID=$login;PWD=$password" "$statement" \
        "$columns" "$run_dir/peer.dat" 1
    fi
  done
  expected=$((rows * record_length))
  actual=$(stat -c %s "$run_dir/korvadex.dat")
  [ "$actual" = "$expected" ] || { echo "korvadex wrote $actual bytes, expected $expected" >&2; exit 1; }
  if [ "$with_peer" != 1 ]; then
    # Without the peer, at least the order and the record count are checked.
    "$python" - "$run_dir/korvadex.dat" "$record_length" <<'PY'
import sys
path, length = sys.argv[1], int(sys.argv[2])
previous, count = b"", 0
with open(path, "rb") as data:
    while True:
        chunk = data.read(length * 65536)
        if not chunk:
            break
        for start in range(0, len(chunk), length):
            record = chunk[start:start + length]
            if record < previous:
                sys.exit("record %d is out of order" % count)
            previous = record
            count += 1
print("  korvadex file: %d records in ascending byte order" % count)
PY
  fi
  if [ "$with_peer" = 1 ]; then
    if cmp -s "$run_dir/korvadex.dat" "$run_dir/peer.dat"; then
      echo "  $driver: korvadex and peer files are byte-identical ($actual bytes)"
    else
      echo "  $driver: korvadex and peer files DIFFER" >&2
      cmp "$run_dir/korvadex.dat" "$run_dir/peer.dat" | head -1 >&2
      exit 1
    fi
  fi
  # The same rows give the same file through every driver.
  sum=$(sha256sum < "$run_dir/korvadex.dat")
  if [ -z "${first_sum:-}" ]; then
    first_sum=$sum first_driver=$driver
  elif [ "$sum" = "$first_sum" ]; then
    echo "  $driver: korvadex file byte-identical to the one from $first_driver"
  else
    echo "  $driver: korvadex file DIFFERS from the one from $first_driver" >&2
    exit 1
  fi
  if [ -n "$codepage" ]; then
    # With a code page too, whatever each driver's own encoding.
    if [ -z "${first_cp_sum:-}" ]; then
      first_cp_sum=$cp_sum
    elif [ "$cp_sum" = "$first_cp_sum" ]; then
      echo "  $driver: KORVADEX_CODEPAGE=$codepage file byte-identical to the one from $first_driver"
    else
      echo "  $driver: KORVADEX_CODEPAGE=$codepage file DIFFERS from the one from $first_driver" >&2
      exit 1
    fi
  fi
  rm -f "$run_dir/korvadex.dat" "$run_dir/peer.dat"
  if [ "$driver" = pg ]; then
    runuser -u postgres -- "$pgbin/pg_ctl" -D "$pgdata" -m fast stop >/dev/null
  fi
  if [ "$driver" = mariadb ]; then
    "$root/tests/mariadb-server.sh" stop "$mariadb_state"
  fi
done

"$python" - "$results" "$rows" "$record_length" "$parts" "$phases" <<'PY'
import os
import statistics
import sys

path, rows, length, parts_path, phases_path = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
phases = {}
for line in open(phases_path):
    driver, *times = line.split("\t")
    phases.setdefault(driver, []).append([float(t) for t in times])
parts = {}
for line in open(parts_path):
    driver, fetch, write = line.split("\t")
    entry = parts.setdefault(driver, {"fetch": [], "write": []})
    entry["fetch"].append(float(fetch))
    entry["write"].append(float(write))
# The budget korvadex keeps records in before spilling: a quarter of what the
# process may use (here: physical memory), at most 1 GiB.
budget_mib = min(os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") // 4, 1 << 30) / 1048576.0
data = {}
for line in open(path):
    driver, tool, wall, user, system, rss = line.split("\t")
    entry = data.setdefault(driver, {}).setdefault(tool, {"wall": [], "cpu": [], "rss": []})
    entry["wall"].append(float(wall))
    entry["cpu"].append(float(user) + float(system))
    entry["rss"].append(int(rss) / 1024.0)
file_mib = rows * length / 1048576.0
print()
print("rows %d, download file %.1f MiB; medians of %d runs" % (rows, file_mib, len(next(iter(next(iter(data.values())).values()))["wall"])))
print("%-8s %-9s %9s %9s %11s" % ("driver", "tool", "wall s", "cpu s", "peak MiB"))
for driver, tools in data.items():
    med = {tool: {k: statistics.median(v) for k, v in m.items()} for tool, m in tools.items()}
    for tool, m in med.items():
        print("%-8s %-9s %9.2f %9.2f %11.1f" % (driver, tool, m["wall"], m["cpu"], m["rss"]))
    floor, kvx = med["floor"], med["korvadex"]
    ratio = kvx["wall"] / floor["wall"]
    # Spilled exports have the looser target.
    target = 1.25 if file_mib > budget_mib else 1.10
    if driver in parts:
        fetch = statistics.median(parts[driver]["fetch"])
        write = statistics.median(parts[driver]["write"])
        print("  durable floor: fetch %.2f s + durable write %.2f s (medians; the wall time above includes start-up)"
              % (fetch, write))
        print("  korvadex/fetch-only floor %.3f (the old ratio: floor wall less the durable write)"
              % (kvx["wall"] / (floor["wall"] - write)))
    print("  korvadex/durable floor wall %.3f  (target <= %.2f: %s)"
          % (ratio, target, "met" if ratio <= target else "NOT met"))
    # Each round's own ratio: on a machine whose speed drifts between rounds
    # this says more than the ratio of the medians.
    own = sorted(k / f for k, f in zip(tools["korvadex"]["wall"], tools["floor"]["wall"]))
    print("  korvadex/durable floor, round by round: %s; median %.3f"
          % (" ".join("%.3f" % r for r in own), statistics.median(own)))
    print("  korvadex time per row %.3f us" % (kvx["wall"] / rows * 1e6))
    if driver in phases:
        steps = [statistics.median(column) for column in zip(*phases[driver])]
        print("  korvadex phases (medians, /D): connect+execute %.2f s, fetch %.2f s, sort %.2f s, write %.2f s"
              % tuple(steps))
    limit = floor["rss"] + 1.1 * file_mib
    print("  korvadex peak %.1f MiB, limit floor + 1.1 x file = %.1f MiB: %s"
          % (kvx["rss"], limit, "met" if kvx["rss"] <= limit else "NOT met"))
    if file_mib > budget_mib:
        spill_limit = budget_mib + 64
        print("  records spilled: budget %.0f MiB, korvadex peak %.1f MiB, limit budget + 64 MiB = %.0f MiB: %s"
              % (budget_mib, kvx["rss"], spill_limit, "met" if kvx["rss"] <= spill_limit else "NOT met"))
    for tool in med:
        if tool.startswith("cp"):
            cost = med[tool]["wall"] / kvx["wall"] - 1
            own = sorted(c / k - 1 for c, k in zip(tools[tool]["wall"], tools["korvadex"]["wall"]))
            print("  KORVADEX_CODEPAGE=%s: wall %.2f s against %.2f s without, %+.1f %% (budget <= 5 %%: %s);"
                  " round by round %s" % (tool[2:], med[tool]["wall"], kvx["wall"], cost * 100,
                                          "met" if cost <= 0.05 else "NOT met",
                                          " ".join("%+.1f %%" % (r * 100) for r in own)))
    if "peer" in med:
        speed = med["peer"]["wall"] / kvx["wall"]
        print("  peer/korvadex wall %.2f  (target >= 3: %s)" % (speed, "met" if speed >= 3 else "NOT met"))
PY
