"""Every strategy on every problem of a set: the data the schedule is derived from.

Usage:
    python bench/bench_strategies.py --set DIR [--sample K] [--limit 2] [--strategies a,b,...]
                                     [--out RESULTS.tsv] [--resume] [--jobs 1] [NAME ...]

One child process per problem reads and clausifies it once and runs each
strategy in turn with a fresh limit of ``--limit`` seconds (wall clock),
printing one line per strategy.  The results are appended to ``--out`` as
tab-separated lines ``name, class, strategy, status, seconds`` (``class`` is
the problem class of the schedule); ``--resume`` skips problems already
there.  An answer whose class contradicts the problem's status is printed in
capitals and makes the exit code 1.  bench/derive_schedule.py reads the file.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import dataclasses
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_prover import contradicts, load_set  # noqa: E402

SRC = HERE.parent / "src"


def child(path: str, limit: float, names: list[str]) -> int:
    """Runs in the per-problem process: one line ``class strategy status seconds`` per strategy."""
    sys.path.insert(0, str(SRC))
    from kelvara.prover.auto import prepare, run_strategy
    from kelvara.prover.features import problem_class
    from kelvara.prover.limits import Budget, LimitReached
    from kelvara.prover.saturation import ProverConfig
    from kelvara.prover.strategy import BUILTIN
    from kelvara.prover.tptp import TPTPError, parse_file

    try:
        problem = parse_file(path)
        config = ProverConfig(time_limit=None, budget=Budget(60.0))
        prepared = prepare(problem, config)
    except (TPTPError, LimitReached) as exc:
        print(f"-\t*\t{type(exc).__name__}\t0.00", flush=True)
        return 0
    klass = problem_class(prepared.features)
    for name in names:
        budget = Budget(limit)
        run_config = dataclasses.replace(config, time_limit=limit, budget=budget)
        status = ""
        try:
            outcome = run_strategy(prepared, BUILTIN[name], run_config, None, [])
        except LimitReached as exc:
            outcome, status = None, exc.status
        if outcome is not None:
            status = outcome[0].status
        elif not status:
            status = "Skipped"
        print(f"{klass}\t{name}\t{status}\t{budget.elapsed():.2f}", flush=True)
    return 0


def run_problem(problem: dict, limit: float, names: list[str], root: Path | None) -> list[tuple]:
    env = dict(os.environ)
    env["PYTHONPATH"] = str(SRC) + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    if root is not None:
        env["TPTP"] = str(root)
    command = [sys.executable, str(Path(__file__).resolve()), "--child", str(problem["path"]),
               "--limit", str(limit), "--strategies", ",".join(names)]
    try:
        done = subprocess.run(command, capture_output=True, text=True, env=env,
                              timeout=len(names) * (limit + 5) + 60)
        output = done.stdout
    except subprocess.TimeoutExpired as exc:
        output = exc.stdout.decode() if isinstance(exc.stdout, bytes) else (exc.stdout or "")
    rows = []
    seen = set()
    for line in output.splitlines():
        parts = line.split("\t")
        if len(parts) == 4:
            rows.append((problem["name"], *parts))
            seen.add(parts[1])
    klass = rows[0][1] if rows else "-"
    rows.extend((problem["name"], klass, name, "Crash", f"{limit:.2f}") for name in names if name not in seen)
    return [r for r in rows if r[2] != "*"]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*")
    parser.add_argument("--set", type=Path, default=None)
    parser.add_argument("--sample", type=int, default=None, metavar="K")
    parser.add_argument("--limit", type=float, default=2.0)
    parser.add_argument("--strategies", default=None, help="comma-separated built-in names (default: all the engine runs)")
    parser.add_argument("--out", type=Path, default=None)
    parser.add_argument("--resume", action="store_true")
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--child", default=None, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.strategies:
        names = [n.strip() for n in args.strategies.split(",") if n.strip()]
    else:
        sys.path.insert(0, str(SRC))
        from kelvara.prover.strategy import BUILTIN, engine_refusal

        names = [n for n, s in BUILTIN.items() if engine_refusal(s) is None]
    if args.child is not None:
        return child(args.child, args.limit, names)

    set_name, root, problems = load_set(args.set)
    if args.names:
        problems = [p for p in problems if p["name"] in set(args.names)]
    if args.sample is not None:
        problems = problems[::max(1, args.sample)]
    done: set = set()
    if args.out is not None and args.resume and args.out.exists():
        done = {line.split("\t")[0] for line in args.out.read_text().splitlines() if line}
    todo = [p for p in problems if p["name"] not in done]
    print(f"% {len(names)} strategies at {args.limit:g} s on {len(todo)} problems of {set_name}", file=sys.stderr)
    sink = args.out.open("a", encoding="utf-8") if args.out is not None else None
    bad = 0
    with concurrent.futures.ThreadPoolExecutor(max(1, args.jobs)) as pool:
        futures = {pool.submit(run_problem, p, args.limit, names, root): p for p in todo}
        for future in concurrent.futures.as_completed(futures):
            problem = futures[future]
            rows = future.result()
            for row in rows:
                wrong = contradicts(row[3], problem["status"])
                bad += wrong
                print("\t".join(row) + ("\tCONTRADICTS " + problem["status"] if wrong else ""), flush=True)
                if sink is not None:
                    sink.write("\t".join(row) + "\n")
            if sink is not None:
                sink.flush()
    if sink is not None:
        sink.close()
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
