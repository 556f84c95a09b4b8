#!/usr/bin/env bash
# The test command: installs what is missing, builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
cd build && ctest --output-on-failure -j"$(nproc)"
