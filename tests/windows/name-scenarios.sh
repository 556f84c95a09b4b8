# Targets and arguments with names the ANSI code page cannot hold, and names
# that Windows takes for devices, for korvadex.exe under wine; sourced by
# .ci/steps/70-windows.sh and run in its `scenarios` with the step's `wine`,
# `win`, `fail`, `work`, `lin_run` and `win_run`.

# name_run LABEL EXIT TARGET ARG...: korvadex.exe in the Windows tree with
# ARG (the target among them); its output in $work/LABEL.win, exit code in `status`.
name_run() {
  local label=$1 expected=$2
  shift 2
  status=0
  (cd "$win_run" && "$wine" "$win/korvadex.exe" "$@" >"$work/$label.win") || status=$?
  echo "  $label: exit $status, $(tr -d '\r' <"$work/$label.win" | tail -1)"
  [ "$status" -eq "$expected" ] || fail "$label: korvadex.exe ended with $status, not $expected"
}

# attributes FILE: the attribute letters of FILE in the Windows tree, as attrib shows them.
attributes() { (cd "$win_run" && "$wine" cmd /c attrib "$1" | tr -d '\r' | cut -c1-11); }

name_scenarios() {
  echo "-- names the ANSI code page lacks, and device names"
  # The reference: KASSE1's records as the Linux binary writes them.
  (cd "$lin_run" && "$lin_korvadex" ARTIKEL KASSE1 names.dat 1 >/dev/null)
  # Best fit would turn each of these into another name: Artikel.dat, Omega.dat, y.dat.
  printf 'keep me' >"$win_run/Artikel.dat"
  local target
  for target in 'Ārtikel.dat' 'Ωmega.dat' 'x＼..＼y.dat'; do
    name_run "name $target" 0 ARTIKEL KASSE1 "$target" 1
    cmp -s "$win_run/$target" "$lin_run/names.dat" || fail "name $target: not written under that name"
    grep -q '^5 Saetze kopiert in Datei ' "$work/name $target.win" || fail "name $target: no count line"
  done
  [ "$(cat "$win_run/Artikel.dat")" = "keep me" ] || fail "name: Artikel.dat was overwritten"
  for target in Omega.dat y.dat; do
    [ ! -e "$win_run/$target" ] && [ ! -e "$work/win/jobs/$target" ] || fail "name: $target was written"
  done
  rm -f "$win_run/Artikel.dat" "$win_run/Ārtikel.dat" "$win_run/Ωmega.dat" "$win_run/x＼..＼y.dat"

  # Names that are text for the job file and the statement: refused, never
  # best-fitted into another section or other SQL.
  name_run section-lacks 1 'ARTIKELΩ' KASSE1 z.dat 1
  grep -q '^Falscher Sektionsname, erlaubt: Zeichen der ANSI-Codepage' "$work/section-lacks.win" ||
    fail "section-lacks: no message that names the section"
  name_run terminal-lacks 1 ARTIKEL 'KASSEā' z.dat 1
  grep -q '^Falscher Terminalname, erlaubt: Zeichen der ANSI-Codepage' "$work/terminal-lacks.win" ||
    fail "terminal-lacks: no message that names the terminal"
  grep -q '^Befehlsformat: ' "$work/terminal-lacks.win" || fail "terminal-lacks: no usage"
  [ ! -e "$win_run/z.dat" ] || fail "a refused command line wrote z.dat"

  # A device's name with an extension is the device there: refused as a
  # target that cannot be opened. The device's own name writes to it.
  local flag
  for target in nul.txt NUL.dat con.x; do
    for flag in 1 0; do
      name_run "device $target $flag" 7 ARTIKEL KASSE1 "$target" "$flag"
      [ "$(tr -d '\r' <"$work/device $target $flag.win")" = "Ausgabedatei konnte nicht geoeffnet 
0 Saetze kopiert in Datei $target " ] || fail "device $target $flag: not reported as not opened"
    done
  done
  name_run device-itself 0 ARTIKEL KASSE1 NUL 1

  # The replace's new file is hidden while it is written; as a new target it
  # is not, and a hidden target it replaces stays hidden.
  name_run shown-new 0 ARTIKEL KASSE1 shown.dat 1
  [[ $(attributes shown.dat) != *H* ]] || fail "shown-new: the new target is hidden: $(attributes shown.dat)"
  (cd "$win_run" && "$wine" cmd /c attrib +h shown.dat >/dev/null)
  name_run hidden-replaced 0 ARTIKEL KASSE2 shown.dat 1
  [[ $(attributes shown.dat) == *H* ]] || fail "hidden-replaced: the target lost its hidden attribute"
  rm -f "$win_run/shown.dat"
  [ -z "$(ls -A "$win_run" | grep -i -E '^(nul|con)' || true)" ] || fail "device: files were left: $(ls -A "$win_run")"
}
