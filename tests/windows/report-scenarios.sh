# The run report of korvadex.exe under wine, sourced by .ci/steps/70-windows.sh
# inside its scenarios for one build: a completed run and a failed connect,
# each report checked against docs/run-report.schema.json, its hash against
# the file's, and the password nowhere in it. Uses the step's `wine`, `win`,
# `win_run`, `bad_run`, `work` and `fail`.

report_schema=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/docs/run-report.schema.json

# report_check LABEL FILE EXIT_NAME ROWS: FILE validates and tells EXIT_NAME
# and ROWS; its sha256 field goes to report_hash.
report_check() {
  report_hash=$(/usr/bin/python3 - "$report_schema" "$2" "$3" "$4" 2>"$work/report-check.err" <<'PY'
import json, sys, jsonschema
schema, path, name, rows = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
report = json.load(open(path))
jsonschema.Draft202012Validator(json.load(open(schema))).validate(report)
if report["exit"]["name"] != name or report["output"]["rows"] != rows:
    sys.exit(f'exit {report["exit"]["name"]}, rows {report["output"]["rows"]}')
print(report["output"]["sha256"] or "")
PY
  ) || fail "report $1: $(tail -3 "$work/report-check.err")"
}

echo "-- run report"
rm -f "$win_run/report.json" "$bad_run/report.json"
report_status=0
(cd "$win_run" && KORVADEX_REPORT=report.json "$wine" "$win/korvadex.exe" ARTIKEL KASSE1 report.dat 1 \
  >"$work/report-run.win") || report_status=$?
[ "$report_status" -eq 0 ] || fail "report completed: korvadex.exe ended with $report_status"
report_rows=$(tr -d '\r' <"$work/report-run.win" | sed -n 's/^\([0-9]*\) Saetze kopiert.*/\1/p')
report_check completed "$win_run/report.json" completed "${report_rows:-0}"
[ "$report_hash" = "$(sha256sum <"$win_run/report.dat" | cut -c1-64)" ] ||
  fail "report completed: sha256 $report_hash is not that of report.dat"
echo "  completed: exit $report_status, $report_rows rows, sha256 ${report_hash:0:16}..."

report_status=0
(cd "$bad_run" && KORVADEX_REPORT=report.json "$wine" "$win/korvadex.exe" ARTIKEL KASSE1 report.dat 1 \
  >"$work/report-bad.win") || report_status=$?
[ "$report_status" -eq 4 ] || fail "report connect_failed: korvadex.exe ended with $report_status, not 4"
report_check connect_failed "$bad_run/report.json" connect_failed 0
echo "  connect_failed: exit $report_status"
for report in "$win_run/report.json" "$bad_run/report.json"; do
  ! grep -q geheim "$report" 2>/dev/null || fail "report: $report holds the password"
done
