#!/usr/bin/env bash
# The whole test suite once more in an AddressSanitizer + UndefinedBehaviorSanitizer
# build with leak detection on; korvadex children of the end-to-end tests inherit
# the options, so a leak or an error inside a run fails its test.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps.sh strace gdb
dir=build-sanitize
# unixODBC loads libodbcinst at run time and unloads it at exit while its
# configuration cache still points into the heap: LeakSanitizer then reports
# that cache as leaked from an "<unknown module>", which no suppression by
# library name can match. Linking libodbcinst in keeps it loaded and its cache
# reachable, so only leaks of korvadex's own remain to be reported.
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVADEX_SANITIZE=ON -DKORVADEX_WERROR=ON \
  "-DCMAKE_EXE_LINKER_FLAGS=-Wl,--no-as-needed,-lodbcinst,--as-needed" >/dev/null
cmake --build "$dir" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd "$dir" && ctest --output-on-failure -j"$(nproc)"
