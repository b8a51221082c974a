"""Solved counts of ``--auto``, of each single strategy and of E, side by side on one problem set.

Usage:
    python bench/bench_auto.py --set DIR [--sample K] [--limit 10] [--run auto,auto2] [--jobs 1]
                               [--strategies FILE] [--peer FILE] [--before FILE] [NAME ...]

``--run`` measures kelvara live (one ``kelvara prove`` process per problem,
wall-clock limit ``--limit``) and keeps each configuration's results in
``bench/data/<set>-<config>-<limit>s.tsv`` (resumable; runs already stored
are read, not repeated): ``auto`` is ``--auto``, ``auto2`` is ``--auto --cores
2``, ``default`` the old fixed strategy (``--strategy standard``), ``strategy:NAME``
one built-in strategy.  Single
strategies come from a bench/bench_strategies.py file (``--strategies``,
default ``bench/data/<set>-strategies-2s.tsv``; its limit is what that file
was measured with), E from ``bench/data/<set>-e.tsv`` (10 s of CPU, made by
bench/data/run_peer.sh), and the fixed strategy before schedules from
``bench/data/<set>-kelvara-native.tsv`` (10 s) where it exists.  Every count is over the problems all columns ran;
an answer contradicting a problem's status is counted and listed by name.
"""

from __future__ import annotations

import argparse
import sys
from collections import defaultdict
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_prover import contradicts, load_set, read_results, run_kelvara, solved  # noqa: E402

DATA = HERE / "data"
CONFIGS = {"auto": ("--auto",), "auto2": ("--auto", "--cores", "2"), "default": ("--strategy", "standard")}


def measure(config: str, problems: list[dict], limit: float, root, out: Path, jobs: int) -> dict:
    import concurrent.futures

    done = read_results(out) if out.exists() else {}
    todo = [p for p in problems if p["name"] not in done]
    print(f"% {config}: {len(todo)} problems to run at {limit:g} s", file=sys.stderr)
    with out.open("a", encoding="utf-8") as sink, concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        futures = {pool.submit(run_kelvara, p["path"], limit, "native", root, CONFIGS[config]): p for p in todo}
        for future in concurrent.futures.as_completed(futures):
            p = futures[future]
            status, seconds, cpu = future.result()
            done[p["name"]] = (status, seconds, cpu)
            mark = "  CONTRADICTS THE STATUS" if contradicts(status, p["status"]) else ""
            print(f"{config:<8} {p['name']:<28} {p['status']:<19} {status:<19} {seconds:6.2f}s{mark}", flush=True)
            sink.write(f"{p['name']}\t{status}\t{seconds:.2f}\t{cpu:.2f}\n")
            sink.flush()
    return done


def read_strategies(path: Path) -> dict[str, dict[str, tuple]]:
    """{strategy: {problem: (status, seconds)}} of a bench_strategies.py file."""
    columns: dict[str, dict[str, tuple]] = defaultdict(dict)
    if path.exists():
        for line in path.read_text(encoding="utf-8").splitlines():
            parts = line.split("\t")
            if len(parts) >= 5:
                columns[parts[2]][parts[0]] = (parts[3], float(parts[4]))
    return columns


def table(problems: list[dict], columns: dict[str, dict], out=sys.stdout) -> int:
    """Prints the side-by-side counts; returns the number of contradicting answers."""
    names = {p["name"] for p in problems}
    common = set(names)
    for results in columns.values():
        common &= results.keys()
    status = {p["name"]: p["status"] for p in problems}
    print(f"\n{len(common)} problems run by every column ({len(names)} in the selection)\n", file=out)
    header = f"{'configuration':<34} {'solved':>7} {'unsat':>6} {'sat':>5} {'wrong':>6}"
    print(header, file=out)
    print("-" * len(header), file=out)
    wrong_total = 0
    for label, results in columns.items():
        won = [n for n in common if solved(results[n][0], status[n])]
        unsat = sum(1 for n in won if status[n] in ("Theorem", "Unsatisfiable"))
        wrong = sorted(n for n in common if contradicts(results[n][0], status[n]))
        wrong_total += len(wrong)
        print(f"{label:<34} {len(won):>7} {unsat:>6} {len(won) - unsat:>5} {len(wrong):>6}", file=out)
        for name in wrong:
            print(f"    CONTRADICTS: {name} ({results[name][0]}, status {status[name]})", file=out)
    return wrong_total


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*")
    parser.add_argument("--set", type=Path, required=True)
    parser.add_argument("--sample", type=int, default=None, metavar="K")
    parser.add_argument("--limit", type=float, default=10.0)
    parser.add_argument("--run", default="", help="comma-separated configurations to measure: " + ", ".join(CONFIGS))
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--strategies", type=Path, default=None)
    parser.add_argument("--strategy-limit", default="2s", help="the limit in the strategies file's name")
    parser.add_argument("--peer", type=Path, default=None, help="E's results (default bench/data/<set>-e.tsv)")
    parser.add_argument("--before", type=Path, default=None,
                        help="the fixed strategy's results before schedules (default bench/data/<set>-kelvara-native.tsv)")
    args = parser.parse_args(argv)
    set_name, root, problems = load_set(args.set)
    if args.names:
        problems = [p for p in problems if p["name"] in set(args.names)]
    if args.sample is not None:
        problems = problems[::max(1, args.sample)]
    limit = f"{args.limit:g}s"
    columns: dict[str, dict] = {}
    for config in args.run.split(","):
        if config.startswith("strategy:"):
            CONFIGS[config] = ("--strategy", config.split(":", 1)[1])
    for path in sorted(DATA.glob(f"{set_name}-strategy-*-{limit}.tsv")):
        name = path.name[len(set_name) + len("-strategy-"):-len(f"-{limit}.tsv")]
        CONFIGS.setdefault(f"strategy:{name}", ("--strategy", name))
    for config in CONFIGS:
        # File names without ':' (not allowed in names on every file system).
        out = DATA / f"{set_name}-{config.replace(':', '-')}-{limit}.tsv"
        if config in args.run.split(","):
            columns[f"kelvara {' '.join(CONFIGS[config])} {limit}"] = measure(config, problems, args.limit, root,
                                                                          out, max(1, args.jobs))
        elif out.exists():
            columns[f"kelvara {' '.join(CONFIGS[config])} {limit}"] = read_results(out)
    before = args.before or DATA / f"{set_name}-kelvara-native.tsv"
    if before.exists():
        columns["kelvara before schedules 10s"] = read_results(before)
    strategies = args.strategies or DATA / f"{set_name}-strategies-{args.strategy_limit}.tsv"
    for name, results in read_strategies(strategies).items():
        columns[f"  strategy {name} {args.strategy_limit}"] = results
    peer = args.peer or DATA / f"{set_name}-e.tsv"
    if peer.exists():
        columns["E --auto 10s cpu"] = read_results(peer)
    return 1 if table(problems, columns) else 0


if __name__ == "__main__":
    sys.exit(main())
