#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 (fuzzer, address and undefined
# sanitizers) and runs each for the given number of seconds.
#   scripts/fuzz.sh [SECONDS_PER_TARGET [BUILD_DIR [TARGET...]]]
# Seeds come from fuzz/corpus/<target>/; the growing corpus, the logs and any
# crashing input stay in BUILD_DIR/fuzz-run/<target>/. Exit status 1 when a
# target found a crash, a leak or a broken invariant.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
dir=${2:-build-fuzz}
shift 2 2>/dev/null || shift $#
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(job_definition credentials password record_format)

CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVADEX_FUZZ=ON -DKORVADEX_TESTS=OFF -DKORVADEX_WERROR=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target $(printf 'fuzz_%s ' "${targets[@]}") >/dev/null

failed=0
for t in "${targets[@]}"; do
  run="$dir/fuzz-run/$t"
  mkdir -p "$run/corpus" "$run/crashes"
  case $t in
    job_definition|credentials) max_len=16384 ;;
    *) max_len=4096 ;;
  esac
  echo "== fuzz_$t for ${seconds}s"
  if ! "$dir/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
       -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$run/crashes/" \
       "$run/corpus" "fuzz/corpus/$t" >"$run/log" 2>&1; then
    failed=1
    echo "fuzz_$t FAILED; input and log in $run"
    grep -E 'ERROR|invariant broken|SUMMARY' "$run/log" | head -n 5 || true
  fi
  # The last status line and the totals: executions, coverage (cov) and features (ft).
  grep -E '^#[0-9]+' "$run/log" | tail -n 1 || true
  grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$run/log" || true
done
exit $failed
