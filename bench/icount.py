"""Instructions per operation of the visitor and node rows, kelvara beside its
Python model, under several interpreters: a figure that load on the machine
cannot move, for comparing the speed-up over the model between interpreters.

Each row runs alone (`bench_visitors.py --loop`, `bench_ast.py --loop`) under
valgrind's callgrind, collecting only the measured loop; the ratio is model
instructions / kelvara instructions, and the last column compares the second
interpreter's ratio with the first's (1.00: the same speed-up over the model).

    python bench/icount.py --python 3.11=/path/python3.11 --python 3.13=/path/python3.13 \\
        [--bench visitors,ast] [--rows subst,size1] [--save counts.tsv] [--before old.tsv]

The interpreters find kelvara as they would anyway (an in-place build with
PYTHONPATH=src holds one module per interpreter version).  --save writes the
raw counts; --before reads such a file and adds each interpreter's kelvara
instructions then and now.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def count(python: str, script: str, args: list[str]) -> float:
    """Instructions per operation of one --loop run."""
    cmd = ["valgrind", "--tool=callgrind", "--toggle-collect=starmap_next", "--callgrind-out-file=/dev/null",
           python, os.path.join(HERE, script), *args]
    env = dict(os.environ, PYTHONHASHSEED="0")
    out = subprocess.run(cmd, capture_output=True, text=True, env=env, check=False)
    text = out.stdout + out.stderr
    collected = re.search(r"Collected : (\d+)", text)
    ops = re.search(r"^(\d+) operations", out.stdout, re.M)
    if out.returncode or not collected or not ops:
        raise SystemExit(f"failed: {' '.join(cmd)}\n{text[-2000:]}")
    return int(collected.group(1)) / int(ops.group(1))


def jobs(bench: str, rows: list[str] | None, python: str) -> list[tuple[str, str, list[str]]]:
    """(row label, script, extra arguments) of every row of `bench`."""
    script = f"bench_{bench}.py"
    listed = subprocess.run([python, os.path.join(HERE, script), "--rows"], capture_output=True, text=True,
                            check=True).stdout.split()
    keep = [r for r in listed if rows is None or r in rows]
    if bench == "visitors":
        return [(f"{size} {r}", script, ["--loop", r, "--size", str(size), "--times", "3" if size == 30 else "1"])
                for size in (30, 300) for r in keep]
    return [(r, script, ["--loop", r, "--times", "3"]) for r in keep]


def read_counts(path: str) -> dict:
    counts = {}
    with open(path) as f:
        for line in f:
            interp, bench, row, side, value = line.rstrip("\n").split("\t")
            counts[interp, bench, row, side] = float(value)
    return counts


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", action="append", required=True, metavar="LABEL=PATH")
    parser.add_argument("--bench", default="visitors,ast")
    parser.add_argument("--rows", help="comma-separated row keys (default: all)")
    parser.add_argument("--save", help="write the raw counts here (tab-separated)")
    parser.add_argument("--before", help="raw counts of an earlier run, to compare kelvara's instructions with")
    args = parser.parse_args()
    pythons = [p.split("=", 1) for p in args.python]
    rows = args.rows.split(",") if args.rows else None
    counts: dict = {}
    table = []
    for bench in args.bench.split(","):
        for label, script, extra in jobs(bench, rows, pythons[0][1]):
            for interp, python in pythons:
                for side in ("kelvara", "model"):
                    counts[interp, bench, label, side] = count(python, script, [*extra, "--side", side])
            table.append((bench, label))
            print(".", end="", file=sys.stderr, flush=True)
    print(file=sys.stderr)
    if args.save:
        with open(args.save, "w") as f:
            for key, value in counts.items():
                f.write("\t".join((*key, f"{value:.1f}")) + "\n")
    before = read_counts(args.before) if args.before else {}
    labels = [p[0] for p in pythons]
    head = ["bench", "row"]
    for lab in labels:
        head += [f"{lab} kelvara", f"{lab} model", f"{lab} ratio"]
        if before:
            head.append(f"{lab} kelvara before")
    if len(labels) > 1:
        head.append(f"{labels[-1]}/{labels[0]} ratio")
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for bench, label in table:
        cells = [bench, label]
        ratios = []
        for lab in labels:
            k, m = counts[lab, bench, label, "kelvara"], counts[lab, bench, label, "model"]
            ratios.append(m / k)
            cells += [f"{k:,.0f}", f"{m:,.0f}", f"{m / k:.2f}x"]
            if before:
                old = before.get((lab, bench, label, "kelvara"))
                cells.append(f"{old:,.0f}" if old else "-")
        if len(labels) > 1:
            cells.append(f"{ratios[-1] / ratios[0]:.2f}")
        print("| " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
