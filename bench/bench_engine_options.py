"""Engine option sets side by side: solved counts of the native engine under several option
dicts over one problem set, in one run, with the problems each set solves and the others miss.

Usage:
    python bench/bench_engine_options.py --set DIR [--sample K] [--only-unsolved FILE.tsv]
        [--time-limit 3] [--jobs 1] [--out RESULTS.tsv] CONFIG [CONFIG ...]

A CONFIG is NAME=JSON, the engine options of that run (``base={}`` for the defaults, e.g.
``sos='{"sos": true}'``).  Each problem and option set runs in a child process of its own
(``prove`` with the native engine, whose proofs are replayed before they count); a problem is
solved when the answer has the class of its MANIFEST status.  An answer of the other class is
the worst outcome there is: it is listed by name and the exit code is 1.  --only-unsolved runs
only the problems a result file of bench_prover.py (--out) does not have solved, for quick A/B
runs on the part that matters.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from bench_prover import _env, answer_class, contradicts, load_set, solved  # noqa: E402

CHILD = r"""
import json, sys, time
from kelvara.prover.saturation import ProverConfig, prove
from kelvara.prover.tptp import parse_file
path, limit, options = sys.argv[1], float(sys.argv[2]), json.loads(sys.argv[3])
start = time.monotonic()
problem = parse_file(path)
result, _ = prove(problem, ProverConfig(time_limit=limit, engine="native", engine_options=options))
print(json.dumps({"status": result.status, "given": result.given, "generated": result.generated,
                  "seconds": time.monotonic() - start, "reason": result.reason or ""}))
"""


def run_one(path: Path, limit: float, options: dict, root) -> dict:
    command = [sys.executable, "-c", CHILD, str(path), str(limit), json.dumps(options)]
    start = time.monotonic()
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=limit * 2 + 20, env=_env(root))
    except subprocess.TimeoutExpired:
        return {"status": "Timeout", "given": 0, "generated": 0, "seconds": time.monotonic() - start}
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or not lines:
        tail = (done.stderr.strip().splitlines() or ["?"])[-1]
        return {"status": "Error", "given": 0, "generated": 0, "seconds": time.monotonic() - start,
                "reason": tail}
    return json.loads(lines[-1])


def parse_config(text: str) -> tuple[str, dict]:
    name, sep, spec = text.partition("=")
    if not sep or not name:
        raise SystemExit(f"a config is NAME=JSON, not {text!r}")
    options = json.loads(spec) if spec.strip() else {}
    if not isinstance(options, dict):
        raise SystemExit(f"config {name}: the options must be a JSON object")
    return name, options


def unsolved_names(results: Path, rows: list[dict]) -> set[str]:
    status = {}
    for line in results.read_text(encoding="utf-8").splitlines():
        parts = line.split("\t")
        if len(parts) >= 2:
            status[parts[0]] = parts[1]
    return {r["name"] for r in rows if not solved(status.get(r["name"], "Unknown"), r["status"])}


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("configs", nargs="+")
    ap.add_argument("--set", type=Path, required=True, help="a folder with MANIFEST.tsv and problems/")
    ap.add_argument("--sample", type=int, default=1, help="every K-th problem of the manifest")
    ap.add_argument("--only-unsolved", type=Path)
    ap.add_argument("--time-limit", type=float, default=3.0)
    ap.add_argument("--jobs", type=int, default=1)
    ap.add_argument("--out", type=Path)
    ap.add_argument("--names", nargs="*", default=None)
    args = ap.parse_args(argv)
    configs = [parse_config(c) for c in args.configs]
    _, root, rows = load_set(args.set)
    rows = rows[::args.sample]
    if args.only_unsolved:
        keep = unsolved_names(args.only_unsolved, rows)
        rows = [r for r in rows if r["name"] in keep]
    if args.names:
        rows = [r for r in rows if r["name"] in set(args.names)]
    print(f"{len(rows)} problems x {len(configs)} option sets, {args.time_limit:g} s each", flush=True)
    results: dict[tuple[str, str], dict] = {}
    out = args.out.open("a", encoding="utf-8") if args.out else None
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        futures = {pool.submit(run_one, r["path"], args.time_limit, opts, root): (r, name)
                   for r in rows for name, opts in configs}
        for fut in concurrent.futures.as_completed(futures):
            row, name = futures[fut]
            res = fut.result()
            results[(row["name"], name)] = res
            if out:
                out.write(f"{row['name']}\t{name}\t{res['status']}\t{res['seconds']:.2f}\t{res['given']}\t"
                          f"{res['generated']}\n")
                out.flush()
    bad = []
    print(f"{'options':<24}{'solved':>8}{'unsat':>8}{'sat':>6}{'errors':>8}")
    solved_by = {}
    for name, _ in configs:
        got = {r["name"] for r in rows if solved(results[(r["name"], name)]["status"], r["status"])}
        solved_by[name] = got
        n_unsat = sum(1 for r in rows if r["name"] in got and answer_class(r["status"]) == "unsat")
        errors = sum(1 for r in rows if results[(r["name"], name)]["status"] == "Error")
        print(f"{name:<24}{len(got):>8}{n_unsat:>8}{len(got) - n_unsat:>6}{errors:>8}")
        for r in rows:
            if contradicts(results[(r["name"], name)]["status"], r["status"]):
                bad.append((name, r["name"], results[(r["name"], name)]["status"], r["status"]))
    for name, _ in configs:
        others = set().union(*(solved_by[o] for o, _ in configs if o != name)) if len(configs) > 1 else set()
        only = sorted(solved_by[name] - others)
        if only:
            print(f"only {name}: {' '.join(only)}")
    for r in rows:
        for name, _ in configs:
            if results[(r["name"], name)]["status"] == "Error":
                print(f"error {name} {r['name']}: {results[(r['name'], name)].get('reason', '')}")
    for name, problem, got, expected in bad:
        print(f"CONTRADICTION {name} {problem}: answered {got}, status {expected}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
