# The driver process of korvadex.exe under wine, sourced by
# .ci/steps/70-windows.sh: the driver process killed or crashing mid-fetch,
# the run stopped by Ctrl-C at its start, during the fetch, after a failed
# connect or twice during an append, or killed during the fetch, a real driver fault
# through the cut proxy, and a statement blocked by a lock until
# KORVADEX_TIMEOUT passes. Each must end as on Linux: the old file kept,
# no driver process left over. Uses the step's `wine`, `fail` and WINEPREFIX;
# await_run serves the step's own stops too.

scenario_source=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# The Linux pids of the driver processes under this WINEPREFIX.
driver_children() {
  local pid
  for pid in $(pgrep -f -- '--korvadex-odbc-driver-process--' || true); do
    grep -qzx "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" 2>/dev/null && echo "$pid"
  done
  return 0
}

# start_fetch DIR LABEL ARG...: korvadex.exe with /D in DIR in the
# background, its pid in run_pid; returns once the statement went out and
# rows are coming.
start_fetch() {
  local dir=$1 label=$2
  shift 2
  (cd "$dir" && exec "$wine" "$scenario_exe" "$@" /D >"$scenario_work/$label.out" 2>"$scenario_work/$label.err") &
  run_pid=$!
  for _ in $(seq 600); do
    grep -q 'End GetIniValues' "$scenario_work/$label.out" 2>/dev/null && [ -n "$(driver_children)" ] && break
    sleep 0.1
  done
  sleep 2
}

# await_run LABEL PID: waits up to a minute for the run PID to end, killing
# it after that; its exit code in `status`.
await_run() {
  local label=$1 pid=$2
  for _ in $(seq 600); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"
    fail "$label: the run did not end within a minute"
  fi
  status=0
  wait "$pid" || status=$?
}

# end_fetch DIR LABEL EXIT OLD_CONTENT LINE...: the run ends with EXIT within a
# minute, leaves the target with OLD_CONTENT, prints each LINE, and no driver
# process or temporary file is left.
end_fetch() {
  local dir=$1 label=$2 expected=$3 old=$4 status line
  shift 4
  await_run "$label" "$run_pid"
  local out
  out=$(tr -d '\r' <"$scenario_work/$label.out")
  echo "  $label: exit $status, $(grep -E 'Treiberprozess' <<<"$out" | tr '\n' ' ')$(tail -1 <<<"$out")"
  [ "$status" -eq "$expected" ] || fail "$label: korvadex.exe ended with $status, not $expected"
  for line in "$@"; do
    grep -qxF -- "$line" <<<"$out" || fail "$label: no line '$line' in:
$out"
  done
  [ "$(cat "$dir/old.dat")" = "$old" ] || fail "$label: old.dat changed"
  for _ in $(seq 100); do
    [ -z "$(driver_children)" ] && break
    sleep 0.1
  done
  [ -z "$(driver_children)" ] || fail "$label: a driver process was left over: $(driver_children)"
  [ -z "$(ls -A "$dir" | grep korvadex- || true)" ] || fail "$label: temporary files were left: $(ls -A "$dir")"
}

# The SQLite scenarios: a fetch of fifty million generated rows, stopped.
sqlite_scenarios() {
  local run=$scenario_work/sqlite/jobs/run
  mkdir -p "$scenario_work/sqlite/Files" "$run" "$scenario_work/odbc-sqlite"
  printf '[SQLite3]\nDriver=%s\n' "$1" >"$scenario_work/odbc-sqlite/odbcinst.ini"
  printf '[KVBIG]\nDriver=SQLite3\nDatabase=%s\nStepAPI=1\n' "$scenario_work/big.db" >"$scenario_work/odbc-sqlite/odbc.ini"
  printf 'pw\n' | "$scenario_cred" init "$scenario_work/sqlite/Files/Kastrovin.Ini" --database KVBIG --login demo \
    --db-system SQLITE --pass - >/dev/null
  cat >"$run/KORVADEX.SQLITE.INI" <<'INI'
[BIG]
SQL001=WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 50000000) SELECT i FROM n
FELD01=I
FTYP01=DEC
FLEN01=9
[APPEND]
SQL001=WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000) SELECT (i * 7919) % 100003, 'row-' || i FROM n
FELD01=I
FTYP01=DEC
FLEN01=8
FELD02=NAME
FTYP02=CHAR
FLEN02=392
INI
  export ODBCSYSINI=$scenario_work/odbc-sqlite ODBCINI=$scenario_work/odbc-sqlite/odbc.ini
  echo "old content" >"$run/old.dat"

  start_fetch "$run" driver-killed BIG T1 old.dat 1
  kill -KILL $(driver_children) || fail "driver-killed: no driver process to kill"
  end_fetch "$run" driver-killed 6 "old content" "Fehler Lesen in Leseschleife -1" "0 Saetze kopiert in Datei old.dat "

  start_fetch "$run" driver-crash BIG T1 old.dat 0
  "$wine" "$scenario_work/crash_child.exe" >/dev/null || fail "driver-crash: crash_child found no driver process"
  end_fetch "$run" driver-crash 6 "old content" "Fehler Lesen in Leseschleife -1" \
    "ODBC-Treiberprozess beendet durch Ausnahme 0xC0000005" "0 Saetze kopiert in Datei old.dat "

  start_fetch "$run" ctrl-c BIG T1 old.dat 1
  kill -INT "$run_pid" || fail "ctrl-c: the run ended before the stop"
  end_fetch "$run" ctrl-c 130 "old content" "0 Saetze kopiert in Datei old.dat "

  # Ctrl-C soon after the start, before the run could have set anything up
  # in the old order: a stop like any other, never the default handler's exit.
  local delay
  for delay in 0.3 0.5 0.7 0.9 1.1 1.5; do
    (cd "$run" && exec "$wine" "$scenario_exe" BIG T1 old.dat 1 >"$scenario_work/ctrl-c-early-$delay.out") &
    run_pid=$!
    sleep "$delay"
    kill -INT "$run_pid" || fail "ctrl-c-early $delay: the run ended before the stop"
    end_fetch "$run" "ctrl-c-early-$delay" 130 "old content"
  done

  ctrl_c_after_failed_connect "$run"
  two_stops_during_append "$run"

  # The job object ends the driver process with the run, however the run ends.
  start_fetch "$run" run-killed BIG T1 old.dat 1
  kill -KILL "$run_pid" || fail "run-killed: the run ended before it was killed"
  end_fetch "$run" run-killed 137 "old content"
}

# stop_at_line DIR OUT PATTERN STOPS ARG...: korvadex.exe with ARG in DIR in
# the background, its output read through a pipe into OUT as it comes; the
# moment a line starts with PATTERN (and, with GROWN set to a file, once
# that file has grown) it gets STOPS Ctrl-C events (SIGINT). Its exit code
# in `status`; `stops` counts the events that reached it, `grown` is the
# file's size when they were sent (0: not seen to grow).
stop_at_line() {
  local dir=$1 out=$2 pattern=$3 count=$4 line i
  shift 4
  local fifo=$scenario_work/stop-fifo
  rm -f "$fifo" "$out"
  mkfifo "$fifo"
  (cd "$dir" && exec "$wine" "$scenario_exe" "$@" >"$fifo") &
  run_pid=$!
  stops=0 grown=0
  while IFS= read -r line; do
    printf '%s\n' "$line" >>"$out"
    if [[ $line == "$pattern"* ]]; then
      if [ -n "${GROWN:-}" ]; then
        local before
        before=$(stat -c %s "$GROWN")
        for _ in $(seq 2000); do
          [ "$(stat -c %s "$GROWN")" -gt "$before" ] && grown=$(stat -c %s "$GROWN") && break
          kill -0 "$run_pid" 2>/dev/null || break
        done
      fi
      for ((i = 0; i < count; i++)); do
        kill -INT "$run_pid" 2>/dev/null && stops=$((stops + 1))
      done
    fi
  done <"$fifo"
  rm -f "$fifo"
  await_run "$out" "$run_pid"
}

# Ctrl-C the moment a run has printed that its connect failed, while it ends
# (it waits for its driver process): 130, as a stop in any phase, or 4 when
# wine handed the event on only once the run's exit code stood; never the
# exit code of the system's default handler (0).
ctrl_c_after_failed_connect() {
  local run=$1 bad=$scenario_work/sqlite-bad attempt
  mkdir -p "$bad/Files" "$bad/jobs/run"
  cp "$run/KORVADEX.SQLITE.INI" "$bad/jobs/run/"
  printf 'pw\n' | "$scenario_cred" init "$bad/Files/Kastrovin.Ini" --database NOSUCHDSN --login demo \
    --db-system SQLITE --pass - >/dev/null
  local stopped=0
  for attempt in 1 2 3 4 5 6; do
    stop_at_line "$bad/jobs/run" "$scenario_work/ctrl-c-connect.out" "dbConnect_Status: -1" 1 BIG T1 x.dat 1
    echo "  ctrl-c-connect $attempt: exit $status, $stops stop(s) delivered"
    [ "$status" -eq 4 ] || { [ "$stops" -eq 1 ] && [ "$status" -eq 130 ]; } ||
      fail "ctrl-c-connect $attempt: korvadex.exe ended with $status, not 130 or 4"
    [ "$status" -ne 130 ] || stopped=$((stopped + 1))
  done
  # Most reach the run while it waits for its driver process; a run that
  # no longer noted them would end with 4 (or 0) every time.
  [ "$stopped" -gt 0 ] || fail "ctrl-c-connect: no Ctrl-C after the failed connect was noted"
  [ ! -e "$bad/jobs/run/x.dat" ] || fail "ctrl-c-connect: x.dat was created"
}

# Two Ctrl-C events once an append has started writing its block (a
# spilled export, merged as it is written): 130 and the file as it was, or,
# when they came once the block was complete, 0 and the block after the old
# content.
two_stops_during_append() {
  local run=$1 out=$scenario_work/two-stops.out old size
  printf 'old content\n' >"$run/append.dat"
  old=$(cat "$run/append.dat")
  GROWN=$run/append.dat KORVADEX_MEMORY=8M stop_at_line "$run" "$out" "Str WriteFile" 2 APPEND T1 append.dat 0 /D
  size=$(stat -c %s "$run/append.dat")
  echo "  two-stops: exit $status, $stops stop(s) delivered at $grown bytes, append.dat $size bytes"
  if [ "$status" -eq 0 ] && [ "$size" -eq $((12 + 100000 * 400)) ] && [ "$(head -1 "$run/append.dat")" = "$old" ]; then
    return 0
  fi
  if [ "$status" -eq 130 ] && [ "$(cat "$run/append.dat")" = "$old" ]; then return 0; fi
  fail "two-stops: exit $status with append.dat of $size bytes, not the old file"
}

# A statement blocked by a lock that another session holds, under
# KORVADEX_TIMEOUT=2, with either flag: exit 9 once the deadline passes, the
# file as it was, and the statement no longer on the server afterwards.
lock_scenario() {
  local run=$1 flag started seconds holder
  local running="SELECT count(*) FROM pg_stat_activity WHERE query LIKE '%kv-deadline%' AND pid <> pg_backend_pid()"
  PGPASSWORD=kv-secret "${pg[@]}" -c BEGIN -c "LOCK TABLE big IN ACCESS EXCLUSIVE MODE" -c "SELECT pg_sleep(600)" \
    >/dev/null 2>&1 &
  holder=$!
  await_answer "SELECT count(*) FROM pg_locks WHERE relation = 'big'::regclass AND granted" 1 ||
    fail "lock: the holder did not get its lock"
  for flag in 0 1; do
    started=$(date +%s%N)
    (cd "$run" && KORVADEX_TIMEOUT=2 exec "$wine" "$scenario_exe" LOCKED T1 old.dat $flag /D >"$scenario_work/lock-$flag.out") &
    run_pid=$!
    end_fetch "$run" lock-$flag 9 "complete old export" "Zeitlimit ueberschritten " \
      "Zeitlimit KORVADEX_TIMEOUT=2 abgelaufen in Phase execute" "0 Saetze kopiert in Datei old.dat "
    seconds=$((($(date +%s%N) - started) / 1000000000))
    [ "$seconds" -ge 2 ] && [ "$seconds" -lt 30 ] || fail "lock-$flag: ended after $seconds s, not within 2 to 30 s"
    await_answer "$running" 0 || fail "lock-$flag: the statement still runs on the server"
  done
  PGPASSWORD=kv-secret "${pg[@]}" -c "SELECT pg_terminate_backend(pid) FROM pg_stat_activity
    WHERE query LIKE '%pg_sleep(600)%' AND pid <> pg_backend_pid()" >/dev/null
  kill "$holder" 2>/dev/null || true
  wait "$holder" || true
}

# await_answer SQL ANSWER: polls the server for up to ten seconds until SQL answers ANSWER.
await_answer() {
  for _ in $(seq 100); do
    [ "$(PGPASSWORD=kv-secret "${pg[@]}" -c "$1")" = "$2" ] && return 0
    sleep 0.1
  done
  return 1
}

# psqlODBC on the host, reached through wine's odbc32, meets a FETCH answer
# that the proxy cuts after its fifth row. On Linux the driver crashes in the
# child; under wine the fault in the host's library comes back from odbc32 as
# an error status. Either way a read error, exit 6, the file as it was.
cut_proxy_scenario() {
  local run=$1 proxy_port
  coproc proxy { "$scenario_lin/fetch_cut_proxy" "$port" 3 5; }
  read -r proxy_port <&"${proxy[0]}" || fail "cut-proxy: the proxy did not start"
  pg_source "$proxy_port"
  (cd "$run" && exec "$wine" "$scenario_exe" JOB T1 old.dat 1 >"$scenario_work/cut-proxy.out") &
  run_pid=$!
  end_fetch "$run" cut-proxy 6 "complete old export"
  grep -q '^Fehler Lesen in Leseschleife ' "$scenario_work/cut-proxy.out" || fail "cut-proxy: no read error"
  exec {proxy[1]}>&-
  [ "$(cat <&"${proxy[0]}")" = cut ] || fail "cut-proxy: the proxy never cut the third FETCH answer"
  wait "$proxy_PID" || true
}

# pg_source PORT: the data source KVPG, psqlODBC to the server at PORT.
pg_source() {
  printf '[KVPG]\nDriver=%s\nServername=127.0.0.1\nPort=%s\nDatabase=kvtest\nSSLmode=disable\nUseDeclareFetch=1\nFetch=20\n' \
    "$driver" "$1" >"$scenario_work/odbc-pg/odbc.ini"
}

# The PostgreSQL scenarios, on a server of their own: the lock, then the cut proxy.
pg_scenarios() {
  local psql=$1 driver=$2 run=$scenario_work/pg/jobs/run state=$scenario_work/pg-state port
  if ! bash "$scenario_source/tests/pg-server.sh" start "$state" >"$scenario_work/pg-server.log" 2>&1; then
    echo "  SKIP cut-proxy and lock: no PostgreSQL server: $(tail -1 "$scenario_work/pg-server.log")"
    return 0
  fi
  port=$(cat "$state/port")
  local pg=("$psql" -qAt -h 127.0.0.1 -p "$port" -U kvuser -d kvtest)
  PGPASSWORD=kv-secret "${pg[@]}" -c "CREATE TABLE big AS SELECT g AS id FROM generate_series(1, 1000) g" ||
    fail "pg: no table"
  mkdir -p "$scenario_work/pg/Files" "$run" "$scenario_work/odbc-pg"
  : >"$scenario_work/odbc-pg/odbcinst.ini"
  printf 'kv-secret\n' | "$scenario_cred" init "$scenario_work/pg/Files/Kastrovin.Ini" --database KVPG \
    --login kvuser --db-system PG --pass - >/dev/null
  cat >"$run/KORVADEX.PG.INI" <<'INI'
[JOB]
SQL001=SELECT id, 'row-' || id FROM big ORDER BY id
FELD01=ID
FTYP01=DEC
FLEN01=8
FELD02=NAME
FTYP02=CHAR
FLEN02=12
[LOCKED]
SQL001=SELECT id, 'kv-deadline' FROM big
FELD01=ID
FTYP01=DEC
FLEN01=8
INI
  echo "complete old export" >"$run/old.dat"
  export ODBCSYSINI=$scenario_work/odbc-pg ODBCINI=$scenario_work/odbc-pg/odbc.ini
  pg_source "$port"
  lock_scenario "$run"
  cut_proxy_scenario "$run"
  bash "$scenario_source/tests/pg-server.sh" stop "$state" >/dev/null 2>&1 || true
}

# run_process_scenarios WIN_BUILD_DIR LINUX_BUILD_DIR WORK_DIR
run_process_scenarios() {
  scenario_exe=$1/korvadex.exe
  scenario_lin=$2
  scenario_cred=$2/kastrovin-cred
  scenario_work=$3/process-scenarios
  mkdir -p "$scenario_work"
  local arch=x86_64 libdir=/usr/lib/x86_64-linux-gnu
  if x86_64-w64-mingw32-objdump -f "$scenario_exe" | grep -q 'pei-i386'; then
    arch=i686 libdir=/usr/lib/i386-linux-gnu
  fi
  echo "-- the driver process ($arch)"
  "$arch-w64-mingw32-g++-posix" -municode -static -O2 -o "$scenario_work/crash_child.exe" \
    "$scenario_source/tests/windows/crash_child.cpp"
  [ -x "$scenario_lin/fetch_cut_proxy" ] || cmake --build "$scenario_lin" --target fetch_cut_proxy >/dev/null
  local saved_sysini=${ODBCSYSINI-} saved_ini=${ODBCINI-}
  sqlite_scenarios "$libdir/odbc/libsqlite3odbc.so"
  if [ -x /usr/bin/psql ] && [ -e "$libdir/odbc/psqlodbca.so" ]; then
    pg_scenarios /usr/bin/psql "$libdir/odbc/psqlodbca.so"
  else
    echo "  SKIP cut-proxy and lock: psql or $libdir/odbc/psqlodbca.so is not installed"
  fi
  export ODBCSYSINI=$saved_sysini ODBCINI=$saved_ini
}
