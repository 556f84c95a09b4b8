#!/usr/bin/env bash
# The Windows builds, 64-bit and 32-bit: cross-built with mingw-w64 and their
# imports checked, then each build's korvadex.exe and kastrovin-cred.exe run
# under wine against the demo's SQLite data source (wine's odbc32 hands the
# calls to the host's unixODBC of the same bits), every download file
# compared byte for byte with what the Linux binary writes from the same
# data. Skips the runs, saying so, when wine cannot start a build's programs;
# installs the 32-bit wine and ODBC packages (i386) when they are missing.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

scripts/build-windows.sh
builds=("$root/build-windows" "$root/build-windows32")

# bits FOLDER: 64 or 32, after the build's korvadex.exe.
bits() {
  case $(x86_64-w64-mingw32-objdump -f "$1/korvadex.exe") in
    *pei-x86-64*) echo 64 ;;
    *pei-i386*) echo 32 ;;
    *) echo "$1/korvadex.exe is no Windows executable" >&2; return 1 ;;
  esac
}

echo "-- DLLs the executables import"
allowed='^(KERNEL32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+|ODBC32|ADVAPI32|bcrypt)\.dll$'
for win in "${builds[@]}"; do
  b=$(bits "$win")
  objdump=x86_64-w64-mingw32-objdump
  [ "$b" = 32 ] && objdump=i686-w64-mingw32-objdump
  for exe in korvadex kastrovin-cred; do
    dlls=$($objdump -p "$win/$exe.exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    echo "  win$b $exe.exe:" $dlls
    if grep -viE "$allowed" <<<"$dlls"; then
      echo "win$b $exe.exe needs DLLs that Windows does not ship (above)" >&2
      exit 1
    fi
  done
  zip=$(ls "$win"/korvadex-*-win$b.zip)
  members=$(cmake -E tar tf "$zip")
  for member in korvadex.exe kastrovin-cred.exe README-windows.txt man/korvadex.1.txt man/kastrovin-cred.1.txt \
                man/korvadex-files.5.txt; do
    grep -q "/$member\$" <<<"$members" || { echo "$zip lacks $member" >&2; exit 1; }
  done
done

# The Linux binaries write the reference files.
[ -x build/korvadex ] && [ -x build/kastrovin-cred ] || scripts/build.sh build
lin_cred=$root/build/kastrovin-cred

wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
# The server binary itself: Debian's wineserver script, which the wine
# loader also starts when it finds no server, adds -p0, so that each server
# ends the moment its last program does, and a program started just then
# reaches a server on its way out ("recvmsg: Connection reset by peer").
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
base=$(mktemp -d /tmp/korvadex-windows.XXXXXX)
# The 32-bit build needs the 32-bit wine, and its odbc32 the i386 unixODBC
# and SQLite driver: Debian's multiarch packages (libodbcinst2, or the driver
# reads no data source settings and opens an empty database). Where they
# cannot be had, the 32-bit runs are skipped below, saying so. Installed
# before the prefix is made, which gets its 32-bit half only from a wine32
# that is there by then.
i386_packages=(wine32:i386 libodbc2:i386 libodbcinst2:i386 libsqliteodbc:i386)
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
{ $sudo dpkg --add-architecture i386 && scripts/install-deps.sh "${i386_packages[@]}"; } >"$base/apt-i386.log" 2>&1 ||
  echo "The i386 packages could not be installed: $(grep -m1 '^E:' "$base/apt-i386.log" || tail -1 "$base/apt-i386.log")"

# A private prefix, made by whoever runs this (root included): wine refuses
# a prefix that another user owns. Console programs need no display. Both
# builds run in it: wine64 hands a 32-bit program to the 32-bit wine.
export WINEPREFIX=$base/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
mkdir "$WINEPREFIX"
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  "$wineserver" -w >/dev/null 2>&1 || true
  rm -rf "$base"
}
trap cleanup EXIT
# One server for the whole step, kept while no program runs, so that no
# program ever starts while a server ends; the 32-bit programs use it too.
"$wineserver" -p </dev/null >/dev/null 2>&1
if ! timeout 300 "$wine64" wineboot -i >"$base/wineboot.log" 2>&1 ||
   ! timeout 60 "$wine64" "${builds[0]}/kastrovin-cred.exe" help >/dev/null 2>&1; then
  echo "SKIP: wine64 cannot start programs here; the Windows builds were checked but not run:"
  tail -3 "$base/wineboot.log"
  exit 0
fi

# The demo's articles, and one whose note holds a line feed; 20,000 rows of
# 1,000 bytes for the spill, their numbers scattered for the sort.
sqlite3 "$base/demo.db" <<'SQL'
CREATE TABLE artikel (nr INTEGER, name TEXT, preis NUMERIC, notiz TEXT, terminal TEXT);
INSERT INTO artikel VALUES (17, '  Schraube M4 ', 0.35, 'Kiste 4', 'KASSE1');
INSERT INTO artikel VALUES (3, 'Mutter M4', 0.12, '  lose', 'KASSE1');
INSERT INTO artikel VALUES (250, 'Winkel', 12.5, NULL, 'KASSE1');
INSERT INTO artikel VALUES (42, 'Duebel 6mm', 4.99, 'Nachbestellen bis Freitag, dringend', 'KASSE1');
INSERT INTO artikel VALUES (77, 'Zwei Zeilen', 1.5, 'oben' || char(10) || 'unten', 'KASSE1');
INSERT INTO artikel VALUES (8, 'Akkuschrauber', 129.0, 'Vorfuehrgeraet', 'KASSE2');
CREATE TABLE gross AS WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 20000)
  SELECT (x * 7919) % 100003 AS nr, 'zeile-' || x AS name FROM c;
SQL

# odbc_config BITS: the data source KVDEMO for the unixODBC of those bits.
odbc_config() {
  local driver
  driver=$(find "/usr/lib/$([ "$1" = 32 ] && echo i386 || echo x86_64)-linux-gnu" -name libsqlite3odbc.so -print -quit)
  [ -n "$driver" ] || { echo "The $1-bit SQLite ODBC driver (libsqliteodbc) is not installed." >&2; return 1; }
  mkdir -p "$base/odbc$1"
  printf '[SQLite3]\nDriver=%s\n' "$driver" >"$base/odbc$1/odbcinst.ini"
  printf '[KVDEMO]\nDriver=SQLite3\nDatabase=%s\nStepAPI=1\n' "$base/demo.db" >"$base/odbc$1/odbc.ini"
}

x86_64-w64-mingw32-g++-posix -municode -static -O2 -o "$base/hold_open.exe" tests/windows/hold_open.cpp

# The Linux binary reaches the data source through the host's 64-bit unixODBC.
odbc_config 64
lin_korvadex=$base/korvadex-linux
printf '#!/bin/sh\nODBCSYSINI=%s ODBCINI=%s exec %s "$@"\n' "$base/odbc64" "$base/odbc64/odbc.ini" \
  "$root/build/korvadex" >"$lin_korvadex"
chmod +x "$lin_korvadex"

failures=0
fail() {
  echo "FAIL [$tag]: $*" >&2
  failures=$((failures + 1))
}
. tests/windows/process-scenarios.sh
. tests/windows/name-scenarios.sh

# run LABEL EXIT LINUX_TARGET WINDOWS_TARGET ARG...: korvadex and korvadex.exe
# with the same arguments, {} standing for the target, in the trees lin and
# win (or both in $TREE); both must end with EXIT and print the same lines
# (the target as each was given it).
run() {
  local label=$1 expected=$2 lin_target=$3 win_target=$4
  shift 4
  local lin_args=() win_args=() arg
  for arg in "$@"; do
    lin_args+=("${arg//\{\}/$lin_target}")
    win_args+=("${arg//\{\}/$win_target}")
  done
  local lin_status=0 win_status=0 dir=run
  (cd "$work/${TREE:-lin}/jobs/$dir" && "$lin_korvadex" "${lin_args[@]}" >"$work/$label.lin") || lin_status=$?
  (cd "$work/${TREE:-win}/jobs/$dir" && "$wine" "$win/korvadex.exe" "${win_args[@]}" >"$work/$label.win") ||
    win_status=$?
  echo "  $label: exit $win_status, $(tr -d '\r' <"$work/$label.win" | tail -1)"
  [ "$lin_status" -eq "$expected" ] || fail "$label: korvadex ended with $lin_status, not $expected"
  [ "$win_status" -eq "$expected" ] || fail "$label: korvadex.exe ended with $win_status, not $expected"
  local win_out
  win_out=$(tr -d '\r' <"$work/$label.win")
  [ -z "$win_target" ] || win_out=${win_out//"$win_target"/"$lin_target"}
  [ "$win_out" = "$(cat "$work/$label.lin")" ] || fail "$label: the messages differ:
$(diff <(echo "$win_out") "$work/$label.lin")"
}

# same LABEL LINUX_FILE WINDOWS_FILE: the two download files are equal.
same() {
  if ! cmp "$lin_run/$2" "$win_run/$3"; then
    fail "$1: $3 differs from the Linux file"
  fi
}

# inode FILE: the file's identity on the host, to tell a replace from a write in place.
inode() { stat -c %i "$1"; }

# hold MILLISECONDS MODE: holds artikel.dat in the Windows tree in the background.
hold() {
  rm -f "$work/held"
  (cd "$win_run" && exec "$wine64" "$base/hold_open.exe" artikel.dat "$1" "$2" >"$work/held") &
  holder=$!
  for _ in $(seq 300); do
    grep -q held "$work/held" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "hold_open did not get hold of artikel.dat"
}
# held RUN_LABEL EXIT EXPECTED_FILE ARG...: korvadex.exe while the holder
# holds the file; a run that is to give up ends the holder after it.
held() {
  local label=$1 expected=$2 reference=$3 status=0
  shift 3
  (cd "$win_run" && "$wine" "$win/korvadex.exe" "$@" >"$work/$label.win") || status=$?
  [ "$expected" -eq 0 ] || kill "$holder" 2>/dev/null || true
  wait "$holder" || true
  echo "  $label: exit $status, $(tr -d '\r' <"$work/$label.win" | tail -1)"
  [ "$status" -eq "$expected" ] || fail "$label: korvadex.exe ended with $status, not $expected"
  cmp -s "$win_run/artikel.dat" "$reference" || fail "$label: artikel.dat is not $(basename "$reference")"
}
# scenarios FOLDER: every run below with the build in FOLDER, in trees of
# its own, each compared with the Linux binary.
scenarios() {
  local win=$1 b
  b=$(bits "$win")
  local tag=win$b work=$base/win$b
  # wine64 would hand a 32-bit program to a process of its own, out of reach
  # of the signals below: the 32-bit loader runs it in its own process.
  local wine=$wine64
  [ "$b" = 32 ] && wine=/usr/lib/wine/wine
  echo "== win$b: $win"
  if ! timeout 60 "$wine" "$win/kastrovin-cred.exe" help >/dev/null 2>&1 || ! odbc_config "$b"; then
    echo "SKIP: wine cannot start the $b-bit build here (packages: ${i386_packages[*]}); it was checked but not run"
    [ ! -s "$base/apt-i386.log" ] || tail -3 "$base/apt-i386.log"
    return 0
  fi
  mkdir -p "$work"
  # korvadex.exe's unixODBC is of its own bits; the Linux binary keeps the 64-bit one (lin_korvadex).
  export ODBCSYSINI=$base/odbc$b ODBCINI=$base/odbc$b/odbc.ini

  # One tree per system: Files/Kastrovin.Ini and jobs/run/KORVADEX.SQLITE.INI.
  for tree in lin win bad; do
    mkdir -p "$work/$tree/Files" "$work/$tree/jobs/run/sub"
    # The demo's job, and one for the spilled export.
    { cat "$root/demo/KORVADEX.SQLITE.INI"; cat <<'INI'; } > "$work/$tree/jobs/run/KORVADEX.SQLITE.INI"
[GROSS]
SQL001=SELECT nr, name FROM gross WHERE '$parm01' <> ''
FELD01=NR
FTYP01=DEC
FLEN01=8
FELD02=NAME
FTYP02=CHAR
FLEN02=992
INI
  done
  lin_run=$work/lin/jobs/run
  win_run=$work/win/jobs/run
  bad_run=$work/bad/jobs/run

  echo "-- kastrovin-cred.exe"
  printf 'geheim\n' | "$lin_cred" init "$work/lin/Files/Kastrovin.Ini" --database KVDEMO --login demo \
    --db-system SQLITE --pass - >/dev/null
  out=$(cd "$win_run" && printf 'geheim\r\n' | "$wine" "$win/kastrovin-cred.exe" init '..\..\Files\Kastrovin.Ini' \
    --database KVDEMO --login demo --db-system SQLITE --pass - | tr -d '\r')
  echo "  $out"
  [[ $out == 'Wrote ..\..\Files\Kastrovin.Ini (access rules inherited from its folder):'* ]] ||
    fail "init does not say how the file is restricted"
  cmp -s "$work/lin/Files/Kastrovin.Ini" "$work/win/Files/Kastrovin.Ini" ||
    fail "kastrovin-cred.exe init wrote another file than kastrovin-cred"
  # --force replaces the file through a new one moved over it.
  (cd "$win_run" && printf 'anders\r\n' | "$wine" "$win/kastrovin-cred.exe" init '..\..\Files\Kastrovin.Ini' \
    --database KVDEMO --login demo --db-system SQLITE --pass - --force >/dev/null) || fail "init --force failed"
  cmp -s "$work/lin/Files/Kastrovin.Ini" "$work/win/Files/Kastrovin.Ini" && fail "init --force left the old file"
  [ "$(ls -A "$work/win/Files")" = "Kastrovin.Ini" ] || fail "init --force left files behind: $(ls -A "$work/win/Files")"
  (cd "$win_run" && printf 'geheim\n' | "$wine" "$win/kastrovin-cred.exe" init '..\..\Files\Kastrovin.Ini' \
    --database KVDEMO --login demo --db-system SQLITE --pass - --force >/dev/null) || fail "init --force failed"
  cmp -s "$work/lin/Files/Kastrovin.Ini" "$work/win/Files/Kastrovin.Ini" || fail "init --force wrote another file"
  status=0
  check=$(cd "$win_run" && "$wine" "$win/kastrovin-cred.exe" check | tr -d '\r') || status=$?
  [ "$status" -eq 0 ] || fail "check ended with $status"
  grep -q '^Credentials file: \.\.\\\.\.\\Files\\Kastrovin\.Ini$' <<<"$check" || fail "check read another file: $check"
  grep -q '^  DB_SYSTEM  line 7  "SQLITE"$' <<<"$check" || fail "check resolved DB_SYSTEM otherwise: $check"
  grep -q '^info: Who may read .* access rules (ACL)' <<<"$check" || fail "check judged the file's mode bits: $check"
  grep -q '^No warnings\.$' <<<"$check" || fail "check warned: $check"
  value='Geheim 42!'
  hex=$("$wine" "$win/kastrovin-cred.exe" encrypt "$value" | tr -d '\r')
  [ "$hex" = "$("$lin_cred" encrypt "$value")" ] || fail "encrypt gave $hex"
  plain=$("$wine" "$win/kastrovin-cred.exe" decrypt "$hex" | tr -d '\r')
  [ "$plain" = "$value" ] || fail "decrypt gave back '$plain'"
  printf 'geheim\n' | "$lin_cred" init "$work/bad/Files/Kastrovin.Ini" --database NOSUCHDSN --login demo \
    --db-system SQLITE --pass - >/dev/null

  echo "-- korvadex.exe"
  run new-file 0 artikel.dat artikel.dat ARTIKEL KASSE1 {} 1
  same new-file artikel.dat artikel.dat
  before=$(inode "$win_run/artikel.dat")
  run replace 0 artikel.dat artikel.dat ARTIKEL KASSE1 {} 1
  same replace artikel.dat artikel.dat
  [ "$(inode "$win_run/artikel.dat")" != "$before" ] || fail "replace: the file was written in place"
  run append 0 artikel.dat artikel.dat ARTIKEL KASSE2 {} 0
  same append artikel.dat artikel.dat
  # The note "oben\nunten" arrives as one line feed byte, never as CR LF.
  [ "$(grep -c $'\r' "$win_run/artikel.dat" || true)" -eq 0 ] || fail "line feed: a CR got into artikel.dat"
  grep -q $'oben\nunten' "$win_run/artikel.dat" || fail "line feed: the note lost its line feed"
  run debug 0 debug.dat debug.dat ARTIKEL KASSE1 {} 1 /d
  same debug debug.dat debug.dat

  run backslash-new 0 sub/a.dat 'sub\a.dat' ARTIKEL KASSE1 {} 1
  same backslash-new sub/a.dat sub/a.dat
  before=$(inode "$win_run/sub/a.dat")
  run backslash-replace 0 sub/a.dat 'sub\a.dat' ARTIKEL KASSE1 {} 1
  same backslash-replace sub/a.dat sub/a.dat
  [ "$(inode "$win_run/sub/a.dat")" != "$before" ] || fail "backslash-replace: the file was written in place"
  run backslash-append 0 sub/a.dat 'sub\a.dat' ARTIKEL KASSE2 {} 0
  same backslash-append sub/a.dat sub/a.dat
  [ "$(ls -A "$win_run/sub")" = "a.dat" ] || fail "sub holds more than a.dat: $(ls -A "$win_run/sub")"

  run dot-new 0 ./c.dat '.\c.dat' ARTIKEL KASSE1 {} 1
  run dot-replace 0 ./c.dat '.\c.dat' ARTIKEL KASSE2 {} 1
  same dot-replace c.dat c.dat
  [ "$(ls -A "$work/win/jobs")" = "run" ] || fail "a file landed beside the run folder: $(ls -A "$work/win/jobs")"
  [ -z "$(ls -A "$win_run" | grep korvadex || true)" ] || fail "temporary files were left: $(ls -A "$win_run")"

  run too-few 1 '' '' ARTIKEL KASSE1
  run bad-flag 2 x.dat x.dat ARTIKEL KASSE1 {} 2
  run no-section 3 x.dat x.dat NOSUCH KASSE1 {} 1
  TREE=bad run no-connect 4 x.dat x.dat ARTIKEL KASSE1 {} 1
  [ ! -e "$win_run/x.dat" ] && [ ! -e "$lin_run/x.dat" ] && [ ! -e "$bad_run/x.dat" ] || fail "a failed run created x.dat"

  name_scenarios

  echo "-- a target held open by another program or run"
  # The reference contents: KASSE1's records alone, and with KASSE2's after them.
  (cd "$lin_run" && "$lin_korvadex" ARTIKEL KASSE1 one.dat 1 >/dev/null && cp one.dat two.dat &&
    "$lin_korvadex" ARTIKEL KASSE2 two.dat 0 >/dev/null)
  cp "$lin_run/one.dat" "$win_run/artikel.dat"
  hold 3000 lock
  held append-waits-for-the-lock 0 "$lin_run/two.dat" ARTIKEL KASSE2 artikel.dat 0
  hold 3000 lock
  held replace-waits-for-the-lock 0 "$lin_run/one.dat" ARTIKEL KASSE1 artikel.dat 1
  cp "$lin_run/two.dat" "$win_run/artikel.dat"
  hold 2500 read
  held replace-waits-to-open 0 "$lin_run/one.dat" ARTIKEL KASSE1 artikel.dat 1
  cp "$lin_run/two.dat" "$win_run/artikel.dat"
  hold 2500 readwrite
  held replace-waits-to-rename 0 "$lin_run/one.dat" ARTIKEL KASSE1 artikel.dat 1
  # Held for longer than a replace tries: the old file stays, nothing is left behind.
  cp "$lin_run/two.dat" "$win_run/artikel.dat"
  hold 60000 readwrite
  held replace-gives-up 7 "$lin_run/two.dat" ARTIKEL KASSE1 artikel.dat 1
  grep -q '^Ausgabedatei konnte nicht geschrieben' "$work/replace-gives-up.win" ||
    fail "replace-gives-up: no write failure reported"
  [ -z "$(ls -A "$win_run" | grep korvadex- || true)" ] || fail "temporary files were left: $(ls -A "$win_run")"

  echo "-- Ctrl-C while the run waits for the lock"
  # wine turns SIGINT into the console's Ctrl-C event. (Ctrl-C during the fetch
  # is one of the process scenarios below.)
  cp "$lin_run/one.dat" "$win_run/artikel.dat"
  hold 30000 lock
  (cd "$win_run" && exec "$wine" "$win/korvadex.exe" ARTIKEL KASSE2 artikel.dat 0 /D >"$work/stop.win" 2>/dev/null) &
  run_pid=$!
  # The run waits for the lock once the rows are in and it starts writing; it
  # holds the file open only for each attempt, too briefly to be seen there.
  for _ in $(seq 600); do
    grep -q '^Str WriteFile' "$work/stop.win" 2>/dev/null && break
    sleep 0.1
  done
  sleep 1
  kill -INT "$run_pid" || fail "Ctrl-C: the run had ended before the signal"
  await_run Ctrl-C "$run_pid"
  kill "$holder" 2>/dev/null || true
  wait "$holder" 2>/dev/null || true
  echo "  ctrl-c: exit $status, $(tr -d '\r' <"$work/stop.win" | tail -1)"
  [ "$status" -eq 130 ] || fail "Ctrl-C: korvadex.exe ended with $status, not 130"
  [ "$(tr -d '\r' <"$work/stop.win" | tail -1)" = "0 Saetze kopiert in Datei artikel.dat " ] ||
    fail "Ctrl-C: the run did not end by itself"
  cmp -s "$win_run/artikel.dat" "$lin_run/one.dat" || fail "Ctrl-C: artikel.dat changed"

  echo "-- a spilled export (KORVADEX_MEMORY)"
  # 20 MB through a budget of 8 MiB: sorted in runs on disk and merged, on
  # both systems, into the same file as a run with the default budget.
  export KORVADEX_MEMORY=8M
  run spill 0 gross.dat gross.dat GROSS X {} 1
  same spill gross.dat gross.dat
  local status=0
  (cd "$win_run" && "$wine" "$win/korvadex.exe" GROSS X gross.dat 1 /D >"$work/spill-d.win" 2>/dev/null) || status=$?
  unset KORVADEX_MEMORY
  local spilled
  spilled=$(tr -d '\r' <"$work/spill-d.win" | grep '^Ausgelagert: ' || true)
  echo "  spill /D: exit $status, ${spilled:-no spill line}"
  [ "$status" -eq 0 ] || fail "spill /D: korvadex.exe ended with $status"
  [[ $spilled =~ ^Ausgelagert:\ [0-9]+\ Laeufe,\ [0-9]+\ Bytes,\ Speicher\ 8388608\ Bytes$ ]] ||
    fail "spill /D: no line that says the export spilled within 8 MiB"
  same spill-d gross.dat gross.dat
  (cd "$lin_run" && "$lin_korvadex" GROSS X whole.dat 1 >/dev/null)
  cmp -s "$lin_run/whole.dat" "$win_run/gross.dat" || fail "spill: the file differs from the export without KORVADEX_MEMORY"
  [ -z "$(ls -A "$win_run" | grep korvadex || true)" ] || fail "spill: temporary files were left: $(ls -A "$win_run")"

  run_process_scenarios "$win" "$root/build" "$work"
  . tests/windows/report-scenarios.sh
  . tests/windows/codepage-scenarios.sh
}

for win in "${builds[@]}"; do
  scenarios "$win"
done

if [ "$failures" -gt 0 ]; then
  echo "$failures checks of the Windows builds failed" >&2
  exit 1
fi
echo "Windows builds: imports, zips, and every run under wine as on Linux"
