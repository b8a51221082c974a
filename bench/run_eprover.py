"""Run eprover over problems and write a results CSV (problem,status,time) for ``kelvara plot``.

Usage: python bench/run_eprover.py [--time-limit 10] [--jobs 2] --out eprover.csv [PROBLEM ...]

Without problems, runs the bundled set.  ``ContradictoryAxioms`` is kept as
E reports it (a solved status); a run that hits the limit is ``Timeout``.
"""

from __future__ import annotations

import argparse
import csv
import shutil
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from kelvara.prover.cli import bundled_problems


def run(path: Path, limit: float) -> tuple[str, str, float]:
    start = time.monotonic()
    try:
        done = subprocess.run(["eprover", "--auto", "-s", f"--cpu-limit={max(1, round(limit))}", str(path)],
                              capture_output=True, text=True, timeout=limit + 5)
    except subprocess.TimeoutExpired:
        return path.stem, "Timeout", time.monotonic() - start
    seconds = time.monotonic() - start
    status = "Unknown"
    for line in done.stdout.splitlines():
        if line.startswith("# SZS status"):
            status = line.split()[3]
    if status == "ResourceOut":
        status = "Timeout"
    return path.stem, status, seconds


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("problems", nargs="*")
    parser.add_argument("--time-limit", "-t", type=float, default=10.0)
    parser.add_argument("--jobs", "-j", type=int, default=1)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    if shutil.which("eprover") is None:
        print("eprover is not installed", file=sys.stderr)
        return 1
    paths = [Path(p) for p in args.problems] or bundled_problems()
    with ThreadPoolExecutor(args.jobs) as pool:
        rows = list(pool.map(lambda p: run(p, args.time_limit), paths))
    with open(args.out, "w", newline="", encoding="utf-8") as stream:
        writer = csv.writer(stream)
        writer.writerow(["problem", "status", "time"])
        writer.writerows((name, status, f"{seconds:.4f}") for name, status, seconds in rows)
    solved = sum(status in ("Theorem", "Unsatisfiable", "CounterSatisfiable", "Satisfiable",
                            "ContradictoryAxioms") for _, status, _ in rows)
    print(f"eprover: {solved} of {len(rows)} solved", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
