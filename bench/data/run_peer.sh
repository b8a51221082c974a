#!/usr/bin/env bash
# How the stored peer results in this folder were made: one peer prover over a problem set with a
# manifest, 10 s of CPU per problem, one problem at a time; every third manifest line first (the
# sample that `bench_prover.py --sample 3` runs), then the rest.
# usage: run_peer.sh eprover|spass OUT.tsv [SET_DIR]   (OUT.tsv: name, status, wall seconds)
# SPASS answers are stored as Proof (unsatisfiable / theorem) and Completion (saturated: satisfiable).
set -u
DEV=${3:-../shared/tptp-dev}; export TPTP=$DEV
prover=$1; out=$2
names() { tail -n +2 $DEV/MANIFEST.tsv | cut -f1 | awk 'NR%3==1'; tail -n +2 $DEV/MANIFEST.tsv | cut -f1 | awk 'NR%3!=1'; }
names | while read name; do
  grep -q "^$name	" "$out" 2>/dev/null && continue
  f=$DEV/problems/$name.p
  start=$(date +%s.%N)
  if [ "$prover" = eprover ]; then
    st=$(timeout 120 eprover --auto -s --cpu-limit=10 "$f" 2>/dev/null | grep -m1 '^# SZS status' | awk '{print $4}')
  else
    o=$(timeout 120 SPASS -TPTP -TimeLimit=10 "$f" 2>&1)
    if grep -q 'Proof found' <<<"$o"; then st=Proof; elif grep -q 'Completion found' <<<"$o"; then st=Completion; else st=Unknown; fi
  fi
  end=$(date +%s.%N)
  printf '%s\t%s\t%.2f\n' "$name" "${st:-Unknown}" "$(echo "$end - $start" | bc)" >> "$out"
done
echo finished >> "$out.done"
