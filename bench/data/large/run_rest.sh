#!/usr/bin/env bash
# How e-60s.tsv and kelvara-10s.tsv in this folder were made (e-10s.tsv: ../run_peer.sh eprover
# e-10s.tsv .): one problem at a time, columns name, SZS status, wall seconds.
#   run_rest.sh e60      E at 60 s of CPU on the problems e-10s.tsv left unsolved, domains interleaved
#   run_rest.sh kelvara  kelvara prove -t 10 (wall clock) on every problem, every third first
# A run that is stopped resumes where it was: problems already in the output are skipped.
set -u
D=$(cd "$(dirname "$0")" && pwd); export TPTP=$D
REPO=$(cd "$D/../../.." && pwd)
case "${1:-}" in
  e60) out=$D/e-60s.tsv
       names() { awk -F'\t' '$2!="Theorem"{print $1}' "$D/e-10s.tsv" | sort |
                 awk '{d=substr($0,1,3); n[d]++; print n[d]"\t"$0}' | sort -n -s -k1,1 | cut -f2; }
       prove() { timeout 900 eprover --auto -s --cpu-limit=60 "$1" 2>/dev/null; } ;;
  kelvara) out=$D/kelvara-10s.tsv
       names() { tail -n +2 "$D/MANIFEST.tsv" | cut -f1 | awk 'NR%3==1'; tail -n +2 "$D/MANIFEST.tsv" | cut -f1 | awk 'NR%3!=1'; }
       prove() { (cd "$REPO" && PYTHONPATH=src timeout 120 python3 -m kelvara prove -q --no-proof -t 10 "$1" 2>/dev/null); } ;;
  *) echo "usage: $0 e60|kelvara" >&2; exit 2 ;;
esac
names | while read -r name; do
  grep -q "^$name	" "$out" 2>/dev/null && continue
  start=$(date +%s.%N)
  st=$(prove "$D/problems/$name.p" | grep -m1 'SZS status' | awk '{print $4}')
  end=$(date +%s.%N)
  printf '%s\t%s\t%.2f\n' "$name" "${st:-Unknown}" "$(echo "$end - $start" | bc)" >> "$out"
done
