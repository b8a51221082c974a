"""Throughput of the native saturation engine beside E on five fixed problems.

For each problem the engine runs with a wall-clock limit and E (``eprover --auto
--print-statistics``) with the same CPU limit, one after the other in this run;
the table shows given (processed) and generated clauses per second for both
and the ratio ours / E.  Throughput is comparable only roughly: the two
provers select different clauses and count slightly different things (E counts
processed clauses including ones simplified away when picked).

    python bench/bench_engine_throughput.py [--limit SECONDS] [--dev FOLDER]
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "src"))

from kelvara.prover import _engine  # noqa: E402
from kelvara.prover.saturation import clausify_problem  # noqa: E402
from kelvara.prover.tptp import parse_file  # noqa: E402

# Horn logic without equality (condensed detachment), a puzzle with equality,
# a first-order theorem with equality, a geometry theorem, a small Horn set.
PROBLEMS = ["LCL428-1", "PUZ056-1", "COM140+1", "GEO299+1", "MSC002-2"]


def ours(path: Path, limit: float) -> dict:
    inputs, _ = clausify_problem(parse_file(path))
    clauses = [ic.clause for ic in inputs]
    goals = [i for i, ic in enumerate(inputs) if ic.role == "NegatedGoal"]
    result = _engine.saturate(clauses, {"time_limit": limit, "goal_ids": goals})
    s = result.stats
    return {"status": result.status, "given": s["given"], "generated": s["generated"], "seconds": s["seconds"]}


def eprover(path: Path, limit: float) -> dict | None:
    exe = shutil.which("eprover")
    if exe is None:
        return None
    start = time.perf_counter()
    proc = subprocess.run([exe, "--auto", "-s", "--print-statistics", f"--cpu-limit={int(limit)}", str(path)],
                          capture_output=True, text=True, env=dict(os.environ, TPTP=str(path.parent.parent)))
    seconds = time.perf_counter() - start
    text = proc.stdout

    def field(name: str) -> int:
        m = re.search(rf"# {name}\s*:\s*(\d+)", text)
        return int(m.group(1)) if m else 0

    m = re.search(r"# SZS status (\w+)", text)
    return {"status": m.group(1) if m else "?", "given": field("Processed clauses"),
            "generated": field("Generated clauses"), "seconds": seconds}


def rate(n: int, seconds: float) -> float:
    return n / seconds if seconds > 0 else 0.0


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--limit", type=float, default=5.0)
    ap.add_argument("--dev", type=Path, default=ROOT.parent.parent / "shared" / "tptp-dev")
    args = ap.parse_args()
    os.environ.setdefault("TPTP", str(args.dev))
    head = (f"{'problem':14} {'ours':>14} {'given/s':>9} {'gen/s':>9} | {'E':>14} {'given/s':>9} {'gen/s':>9}"
            f" | {'given x':>7} {'gen x':>7}")
    print(head)
    print("-" * len(head))
    for name in PROBLEMS:
        path = args.dev / "problems" / f"{name}.p"
        a = ours(path, args.limit)
        e = eprover(path, args.limit)
        ag, an = rate(a["given"], a["seconds"]), rate(a["generated"], a["seconds"])
        line = f"{name:14} {a['status']:>14} {ag:9.0f} {an:9.0f}"
        if e is None:
            print(line + " | E not installed")
            continue
        eg, en = rate(e["given"], e["seconds"]), rate(e["generated"], e["seconds"])
        gx = ag / eg if eg else float("nan")
        nx = an / en if en else float("nan")
        print(line + f" | {e['status']:>14} {eg:9.0f} {en:9.0f} | {gx:7.2f} {nx:7.2f}")
        print(f"{'':14} ours: {a['given']} given, {a['generated']} generated in {a['seconds']:.2f} s; "
              f"E: {e['given']} processed, {e['generated']} generated in {e['seconds']:.2f} s")


if __name__ == "__main__":
    main()
