"""Run the bundled problems with kelvara and, where installed, with eprover, side by side.

Usage: python bench/bench_prover.py [--time-limit 10] [--jobs 2] [PROBLEM ...]

Each problem runs kelvara (in a fresh worker process) and then ``eprover
--auto`` with the same CPU limit; a worker handles one problem at a time, so
with --jobs 1 the two provers never compete for a core.  A problem counts as
solved when the status matches the expected status in its header (for
eprover, ContradictoryAxioms counts as Theorem).
"""

from __future__ import annotations

import argparse
import multiprocessing
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

from kelvara.prover.cli import Options, bundled_problems, solve


def run_kelvara(path: Path, limit: float) -> tuple[str, float, int]:
    outcome = solve(path, Options(time_limit=limit, max_clauses=None, notation="infix", quiet=True,
                                  show_proof=False))
    return outcome.status, outcome.seconds, outcome.kept


def run_eprover(path: Path, limit: float) -> tuple[str, float]:
    start = time.monotonic()
    try:
        done = subprocess.run(["eprover", "--auto", "-s", f"--cpu-limit={int(limit)}", str(path)],
                              capture_output=True, text=True, timeout=limit + 5)
        output = done.stdout
    except subprocess.TimeoutExpired:
        return "Timeout", time.monotonic() - start
    status = "Unknown"
    for line in output.splitlines():
        if line.startswith("# SZS status"):
            status = line.split()[3]
    if status == "ContradictoryAxioms":
        status = "Theorem"
    if status == "ResourceOut":
        status = "Timeout"
    return status, time.monotonic() - start


def work(args):
    path, limit, with_e = args
    expected = None
    for line in path.read_text(encoding="utf-8").splitlines():
        if line.startswith("% Status"):
            expected = line.split(":", 1)[1].strip()
            break
    k_status, k_time, k_kept = run_kelvara(path, limit)
    e_status, e_time = run_eprover(path, limit) if with_e else ("-", 0.0)
    return path.stem, expected, k_status, k_time, k_kept, e_status, e_time


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("problems", nargs="*")
    parser.add_argument("--time-limit", type=float, default=10.0)
    parser.add_argument("--jobs", type=int, default=1)
    args = parser.parse_args()
    paths = [Path(p) for p in args.problems] or bundled_problems()
    with_e = shutil.which("eprover") is not None
    if not with_e:
        print("% eprover is not installed: kelvara only", file=sys.stderr)
    tasks = [(p, args.time_limit, with_e) for p in paths]
    with multiprocessing.get_context("fork").Pool(args.jobs, maxtasksperchild=1) as pool:
        rows = []
        for row in pool.imap(work, tasks):
            rows.append(row)
            name, expected, ks, kt, kk, es, et = row
            print(f"{name:<8} {expected or '-':<19} kelvara {ks:<19} {kt:6.2f}s {kk:>7}   "
                  f"eprover {es:<19} {et:6.2f}s", flush=True)

    def solved(status, expected):
        return status == expected

    k_solved = [r for r in rows if solved(r[2], r[1])]
    e_solved = [r for r in rows if solved(r[5], r[1])]
    theorems = [r for r in rows if r[1] == "Theorem"]
    print()
    print(f"problems: {len(rows)} ({len(theorems)} theorems), limit {args.time_limit:g} s per problem")
    print(f"kelvara: {len(k_solved)} solved, theorems proved {sum(1 for r in theorems if r[2] == 'Theorem')}"
          f"/{len(theorems)}, total time {sum(r[3] for r in rows):.1f} s")
    if with_e:
        print(f"eprover: {len(e_solved)} solved, theorems proved {sum(1 for r in theorems if r[5] == 'Theorem')}"
              f"/{len(theorems)}, total time {sum(r[6] for r in rows):.1f} s")
        both = [r for r in rows if solved(r[2], r[1]) and solved(r[5], r[1])]
        if both:
            print(f"on the {len(both)} solved by both: median kelvara {statistics.median(r[3] for r in both):.2f} s, "
                  f"median eprover {statistics.median(r[6] for r in both):.2f} s")
    missed = [r[0] for r in rows if not solved(r[2], r[1])]
    print("kelvara misses: " + (", ".join(missed) if missed else "none"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
