"""Derives the schedule of ``--auto`` from per-strategy results (bench/bench_strategies.py).

Usage:
    python bench/derive_schedule.py --set DIR ... [--results FILE ...] [--slots 4]
                                    [--min-class 6] [--out src/kelvara/prover/schedule.json]

For each problem class, strategies are picked greedily: first the one that
solves the most problems of the class, then the one solving the most of
those still unsolved, and so on while a strategy adds a problem, up to
``--slots`` strategies (ties: fewer seconds in total, then a complete
strategy, then the order of the built-in list); the default's strategies
fill a class's list up to ``--slots``, since what no strategy solved in the
short measurement may fall to one of them in a longer run.  A class with fewer than
``--min-class`` measured problems gets the default list, derived the same
way over the problems of the first ``--set`` (so that a second set of one
class, such as a set of large problems, shapes only its class).  The first slot gets twice the time share of the
others.  A result whose answer contradicts the problem's status stops the
derivation (a schedule is never built on a wrong answer).  Statuses come
from the set's MANIFEST.tsv.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections import defaultdict
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
try:
    import kelvara  # noqa: F401
except ImportError:  # a checkout without the package installed: its sources
    sys.path.append(str(HERE.parent / "src"))
from bench_prover import contradicts, load_set, solved  # noqa: E402

from kelvara.prover.features import CLASSES  # noqa: E402
from kelvara.prover.strategy import BUILTIN  # noqa: E402

DEFAULT_RESULTS = [HERE / "data" / "tptp-dev-strategies-2s.tsv"]


def read_results(paths: list[Path], statuses: dict[str, str]):
    """{problem: class}, {strategy: {problem: seconds}} of the solved runs; raises on a contradiction."""
    classes: dict[str, str] = {}
    wins: dict[str, dict[str, float]] = defaultdict(dict)
    for path in paths:
        for line in path.read_text(encoding="utf-8").splitlines():
            parts = line.split("\t")
            if len(parts) < 5:
                continue
            name, klass, strategy, status, seconds = parts[:5]
            expected = statuses.get(name)
            if expected is None:
                continue
            if contradicts(status, expected):
                raise SystemExit(f"{path.name}: {strategy} answers {status} on {name}, whose status is {expected}")
            classes[name] = klass
            if solved(status, expected) and strategy in BUILTIN:
                wins[strategy][name] = float(seconds)
    return classes, wins


def greedy(problems: set[str], wins: dict[str, dict[str, float]], slots: int) -> list[tuple[str, int]]:
    """Strategies with the problems each adds, in the order picked."""
    order = list(BUILTIN)
    left = set(problems)
    picked: list[tuple[str, int]] = []
    while left and len(picked) < slots:
        def score(name: str):
            gained = left & wins.get(name, {}).keys()
            seconds = sum(wins[name][p] for p in gained) if gained else 0.0
            return (-len(gained), seconds, not BUILTIN[name].complete, order.index(name))

        candidates = [n for n in order if n not in {p for p, _ in picked}]
        best = min(candidates, key=score, default=None)
        if best is None:
            break
        gained = left & wins.get(best, {}).keys()
        if not gained:
            break
        picked.append((best, len(gained)))
        left -= gained
    return picked


def as_slots(picked: list[tuple[str, int]]) -> list[list]:
    return [[name, 2.0 if index == 0 else 1.0] for index, (name, _) in enumerate(picked)]


def derive(classes: dict[str, str], wins, slots: int, min_class: int, out=sys.stdout,
           default_from: set[str] | None = None) -> dict:
    everything = set(classes) if default_from is None else set(classes) & default_from
    default = greedy(everything, wins, slots)
    print(f"default over {len(everything)} problems: {default}", file=out)
    schedule: dict = {
        "about": "derived by bench/derive_schedule.py from per-strategy results of bench/bench_strategies.py",
        "strategies": {},
        "classes": {},
        "default": as_slots(default) or [["standard", 1.0]],
    }
    for klass in CLASSES:
        members = {p for p, k in classes.items() if k == klass}
        if len(members) < min_class:
            print(f"{klass}: {len(members)} problems, the default", file=out)
            continue
        picked = greedy(members, wins, slots)
        print(f"{klass}: {len(members)} problems: {picked}", file=out)
        # Padded with the default's strategies: longer runs solve what no short one did.
        for name, gained in default:
            useless = klass == "nogoal" and BUILTIN[name].sine is not None  # selection needs a goal
            if len(picked) < slots and name not in {n for n, _ in picked} and not useless:
                picked.append((name, 0))
        if picked:
            schedule["classes"][klass] = as_slots(picked)
    return schedule


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--results", type=Path, nargs="+", default=DEFAULT_RESULTS)
    parser.add_argument("--set", type=Path, nargs="+", required=True,
                        help="the problem sets (folders with MANIFEST.tsv) the results are of")
    parser.add_argument("--slots", type=int, default=4)
    parser.add_argument("--min-class", type=int, default=6)
    parser.add_argument("--out", type=Path, default=None, help="write the schedule here (default: print it)")
    args = parser.parse_args(argv)
    sets = [load_set(folder)[2] for folder in args.set]
    statuses = {p["name"]: p["status"] for problems in sets for p in problems}
    classes, wins = read_results(args.results, statuses)
    schedule = derive(classes, wins, args.slots, args.min_class, out=sys.stderr,
                      default_from={p["name"] for p in sets[0]})
    text = json.dumps(schedule, indent=1) + "\n"
    if args.out is None:
        sys.stdout.write(text)
    else:
        args.out.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
