#!/usr/bin/env bash
# The README's first command must work on a fresh clone: it prints the demo's download file.
set -euo pipefail
out=$(scripts/demo.sh) || { echo "$out"; echo "the demo failed" >&2; exit 1; }
echo "$out"
grep -q '^4 Saetze kopiert in Datei artikel.dat $' <<<"$out"
grep -q '|00003Mutter M4   00000.12  lose              |' <<<"$out"
grep -q '^No warnings.$' <<<"$out"
