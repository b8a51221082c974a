"""Node model benchmark: construction, hashing, deduplication and memory.

Every figure is measured in one run side by side with a frozen-dataclass model
of the same classes (bench/models.py) and with the interpreter's floor, a
builtin of the same arity.  Run: python bench/bench_ast.py

    python bench/bench_ast.py --loop ROW --side kelvara|model|floor --times N
        (one row alone, N runs of 1,000 operations under itertools.starmap, after
        one run to warm up, for valgrind --tool=callgrind --toggle-collect=starmap_next;
        `--rows` lists the rows, bench/icount.py runs them all)
"""

from __future__ import annotations

import argparse
import itertools
import math
import os
import sys
import timeit
import tracemalloc

sys.path.insert(0, os.path.dirname(__file__))

import models as M  # noqa: E402

from kelvara.core import ast as K  # noqa: E402


def best(stmt: str, ns: dict, number: int = 200_000, repeat: int = 5) -> float:
    return min(timeit.repeat(stmt, globals=ns, number=number, repeat=repeat)) / number * 1e9


def construction() -> list[float]:
    print("construction (ns per call)")
    print(f"{'class':14} {'kelvara':>9} {'dataclass':>10} {'floor':>8} {'vs dc':>8} {'vs floor':>9}")
    cases = [
        ("Variable", "Variable(3)", "slice(a)"),
        ("Constant", "Constant('c')", "slice(a)"),
        ("FunctionApp", "FunctionApp('f', 2, args2)", "slice(a, b, c)"),
        ("PredicateApp", "PredicateApp('P', 2, args2)", "slice(a, b, c)"),
        ("And", "And(p, q)", "slice(a, b)"),
        ("Forall", "Forall(x, p)", "slice(a, b)"),
    ]
    results = {}
    best("slice(a, b, c)", {"a": 1, "b": 2, "c": 3}, number=2_000_000)  # warm the CPU up first
    for name, stmt, floor_stmt in cases:
        times = []
        for mod in (K, M):
            x = mod.Variable(0)
            c = mod.Constant("c")
            ns = {**vars(mod), "args2": (x, c), "x": x, "p": mod.PredicateApp("P", 1, (x,)),
                  "q": mod.PredicateApp("Q", 0, ())}
            times.append(best(stmt, ns))
        floor = best(floor_stmt, {"a": 1, "b": 2, "c": 3})
        k, m = times
        results[name] = (k, m, floor)
        print(f"{name:14} {k:9.1f} {m:10.1f} {floor:8.1f} {m / k:7.1f}x {k / floor:8.2f}x")
    six = ["Variable", "Constant", "FunctionApp", "PredicateApp", "And", "Forall"]
    six = [n for n in six if n in results]
    geo = math.exp(sum(math.log(results[n][1] / results[n][0]) for n in six) / len(six))
    worst = max(results[n][0] / results[n][2] for n in six)
    print(f"geometric mean speed-up over the dataclass model: {geo:.1f}x (target >= 10x)")
    print(f"worst ratio to the floor: {worst:.2f}x (target <= 2.5x)")
    return [geo, worst]


def hashing() -> None:
    print("\nhashing (ns per call)")
    for depth in (1, 10, 1000, 100_000):
        row = []
        for mod in (K, M):
            n = mod.PredicateApp("P", 0, ())
            for _ in range(depth):
                n = mod.Not(n)
            row.append(best("hash(n)", {"n": n}, number=500_000))
        print(f"Not^{depth:<7} kelvara {row[0]:6.1f}  dataclass {row[1]:6.1f}")
    kv = best("hash(v)", {"v": K.Variable(3)}, number=1_000_000)
    mv = best("hash(v)", {"v": M.Variable(3)}, number=1_000_000)
    tup = best("hash(t)", {"t": (1, 2, 3)}, number=1_000_000)
    print(f"hash(Variable): kelvara {kv:.1f}  dataclass {mv:.1f}  3-tuple of ints {tup:.1f}  "
          f"ratio to tuple {kv / tup:.2f} (target <= 1)")


def dedup() -> None:
    print("\ndeduplicating 100,000 nodes in a set (ms)")
    for label, mod in (("kelvara", K), ("dataclass", M)):
        xs = [mod.Variable(i % 50) for i in range(100_000)]
        nodes = [mod.PredicateApp("P", 2, (xs[i], mod.FunctionApp("f", 1, (xs[i - 1],)))) for i in range(100_000)]
        t = min(timeit.repeat(lambda: set(nodes), number=1, repeat=5)) * 1e3
        print(f"{label:10} {t:8.2f} ms  ({len(set(nodes))} distinct)")


def memory() -> None:
    print("\nbytes per node (not counting shared children)")
    for label, mod in (("kelvara", K), ("dataclass", M)):
        x = mod.Variable(0)
        p = mod.PredicateApp("P", 1, (x,))
        for name, make in (("Variable", lambda i: mod.Variable(i + 1000)), ("And", lambda i: mod.And(p, p))):
            tracemalloc.start()
            before = tracemalloc.get_traced_memory()[0]
            keep = [make(i) for i in range(10_000)]
            after = tracemalloc.get_traced_memory()[0]
            tracemalloc.stop()
            list_bytes = sys.getsizeof(keep)
            ints = sum(sys.getsizeof(i + 1000) for i in range(10_000)) if name == "Variable" else 0
            per = (after - before - list_bytes - ints) / len(keep)
            print(f"{label:10} {name:9} {per:6.1f} bytes   sys.getsizeof {sys.getsizeof(keep[0])}")


# ---------------------------------------------------------------- one row in a loop

CONSTRUCTION = {
    "Variable": ("Variable(3)", "slice(a)"),
    "Constant": ("Constant('c')", "slice(a)"),
    "FunctionApp": ("FunctionApp('f', 2, args2)", "slice(a, b, c)"),
    "PredicateApp": ("PredicateApp('P', 2, args2)", "slice(a, b, c)"),
    "And": ("And(p, q)", "slice(a, b)"),
    "Forall": ("Forall(x, p)", "slice(a, b)"),
}
HASH_DEPTHS = (1, 10, 1000)
LOOP_ROWS = [*CONSTRUCTION, *(f"hash-not{d}" for d in HASH_DEPTHS), "hash-variable", "dedup"]
PER_RUN = 1000


def loop_namespace(row: str, side: str) -> tuple[str, dict]:
    """The statement of `row` and the names it reads, for one side."""
    if side == "floor":
        if row not in CONSTRUCTION:
            raise SystemExit(f"row {row} has no floor")
        return CONSTRUCTION[row][1], {"a": 1, "b": 2, "c": 3}
    mod = K if side == "kelvara" else M
    if row in CONSTRUCTION:
        x = mod.Variable(0)
        ns = {**vars(mod), "args2": (x, mod.Constant("c")), "x": x, "p": mod.PredicateApp("P", 1, (x,)),
              "q": mod.PredicateApp("Q", 0, ())}
        return CONSTRUCTION[row][0], ns
    if row.startswith("hash-not"):
        n = mod.PredicateApp("P", 0, ())
        for _ in range(int(row[len("hash-not"):])):
            n = mod.Not(n)
        return "hash(n)", {"n": n}
    if row == "hash-variable":
        return "hash(v)", {"v": mod.Variable(3)}
    xs = [mod.Variable(i % 50) for i in range(PER_RUN)]
    nodes = [mod.PredicateApp("P", 2, (xs[i], mod.FunctionApp("f", 1, (xs[i - 1],)))) for i in range(PER_RUN)]
    return "set(nodes)", {"nodes": nodes}


def loop(row: str, side: str, times: int) -> None:
    stmt, ns = loop_namespace(row, side)
    if row == "dedup":  # one set of PER_RUN nodes is PER_RUN operations
        src = f"def run():\n    {stmt}\n"
    else:  # as timeit runs a statement: inline in a counted loop
        src = f"def run():\n    for _ in range({PER_RUN}):\n        {stmt}\n"
    exec(compile(src, f"<loop {row}>", "exec"), ns)
    run = ns["run"]
    run()
    list(itertools.starmap(run, [()] * times))
    print(f"{times * PER_RUN} operations")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--loop", metavar="ROW", choices=LOOP_ROWS)
    parser.add_argument("--side", choices=("kelvara", "model", "floor"), default="kelvara")
    parser.add_argument("--times", type=int, default=1)
    parser.add_argument("--rows", action="store_true", help="print the row keys and stop")
    args = parser.parse_args()
    if args.rows:
        print(" ".join(LOOP_ROWS))
        return
    if args.loop:
        loop(args.loop, args.side, args.times)
        return
    construction()
    hashing()
    dedup()
    memory()


if __name__ == "__main__":
    main()
