#!/usr/bin/env bash
# The first set-up command: installs what is missing, builds and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
demo/run-demo.sh build/korvadex build/kastrovin-cred
