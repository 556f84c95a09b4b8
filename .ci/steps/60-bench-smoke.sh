#!/usr/bin/env bash
# The benchmark at a small size, once, on all three data sources: it must run
# through, korvadex's file must be byte-identical to the pyodbc peer's for
# SQLite, PostgreSQL and MariaDB, and the same through all three. The speed
# figures of so short a run are printed but judge nothing.
set -euo pipefail
cd "$(dirname "$0")/../.."
RUNS=1 DRIVERS="sqlite pg mariadb" bench/run-bench.sh "${KORVADEX_BENCH_SMOKE_ROWS:-20000}"
