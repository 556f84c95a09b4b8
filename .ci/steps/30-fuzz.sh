#!/usr/bin/env bash
# Runs every libFuzzer target for about a minute; a crash, a leak or a broken
# invariant fails the step, and the failing input is printed for the record.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps.sh clang-14 libclang-rt-14-dev
status=0
scripts/fuzz.sh "${KORVADEX_FUZZ_SECONDS:-60}" build-fuzz || status=$?
if [ "$status" -ne 0 ]; then
  for input in build-fuzz/fuzz-run/*/crashes/*; do
    [ -f "$input" ] || continue
    echo "== failing input $input (base64):"
    base64 "$input" | head -c 4000
    echo
  done
fi
exit "$status"
