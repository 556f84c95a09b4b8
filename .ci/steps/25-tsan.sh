#!/usr/bin/env bash
# The test suite in a ThreadSanitizer build: the rows of a run are
# formatted and stored on a second thread, and the end-to-end tests run the
# instrumented korvadex, so a data race in a real run fails its test (the
# tests expect nothing on standard error).
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps.sh clang
dir=build-tsan
CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVADEX_SANITIZE_THREAD=ON -DKORVADEX_WERROR=ON >/dev/null
cmake --build "$dir" -j"$(nproc)"
# Races inside drivers, which are not instrumented, are listed in .ci/tsan.supp.
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/.ci/tsan.supp
cd "$dir" && ctest --output-on-failure -j"$(nproc)"
