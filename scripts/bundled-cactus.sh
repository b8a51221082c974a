#!/usr/bin/env bash
# Draws docs/cactus-bundled.png: the bundled problems solved within a time
# limit, kelvara (a batch of 2 local workers) beside eprover when installed.
# Run from an installed kelvara, or with PYTHONPATH=src after an in-place build.
set -euo pipefail
cd "$(dirname "$0")/.."
limit=${LIMIT:-10}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 -m kelvara batch --bundled -t "$limit" -j 2 -q --out "$work/kelvara.jsonl"
runs=("$work/kelvara.jsonl") labels=(--label kelvara)
if command -v eprover >/dev/null; then
    python3 bench/run_eprover.py -t "$limit" -j 2 --out "$work/eprover.csv"
    runs+=("$work/eprover.csv") labels+=(--label E)
fi
python3 -m kelvara plot "${runs[@]}" "${labels[@]}" -o docs/cactus-bundled.png \
    --title "bundled problems solved within a time limit (${limit} s each, 2 jobs)"
