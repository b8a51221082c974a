"""How much of each core row of bench_core.py is waiting for memory.

Each row runs on the usual 10,000 formulas and on a workload small enough to
stay in the caches (300 formulas, each timing repeated to cover as many
operations); the difference is time spent waiting for memory.  Beside it:
the objects and distinct 64-byte cache lines each operation has to read
(from the objects' addresses: type, header fields and fields, GC header
excluded), how long each line cost, and what reading those lines would cost
even as one sequential stream at this core's best read rate (measured here
by a memchr over 256 MiB).  Last, the large workload once more with every
formula rebuilt in one go, its nodes allocated one after the other with
nothing in between (random_formula leaves other objects among them): how
much of the wait is the layout of the benchmark's formulas in memory.

    PYTHONPATH=src python bench/core_memory.py [--repeat R] [--formulas N] [--small S]

bench/read_floor.patch (applied to a scratch clone) times what no comparison
can skip: reading every object of both trees, level by level.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import bench_core as B  # noqa: E402

from kelvara.core import ast as K  # noqa: E402

LINE = 64
ROWS = ["eq", "set", "canon", "alpha", "subst"]


def objects(node, out: list) -> None:
    """Every object a walk over `node` reads: nodes and argument tuples (shared ones repeated)."""
    stack = [node]
    while stack:
        n = stack.pop()
        out.append(n)
        kind = type(n).__name__
        if kind in ("Variable", "Constant"):
            continue
        if kind in ("FunctionApp", "PredicateApp"):
            out.append(n.args)
            stack.extend(n.args)
        elif kind == "Not":
            stack.append(n.operand)
        elif kind in ("Forall", "Exists"):
            stack.extend((n.variable, n.body))
        else:
            stack.extend((n.left, n.right))


def lines_of(roots) -> tuple[int, int]:
    """Distinct objects and distinct cache lines read in the trees under `roots`."""
    seen: dict[int, object] = {}
    for r in roots:
        objs: list = []
        objects(r, objs)
        for o in objs:
            seen[id(o)] = o
    lines: set[int] = set()
    for addr, o in seen.items():
        # ob_refcnt is not read by the walks; everything from the type on is.
        first, last = (addr + 8) // LINE, (addr + sys.getsizeof(o) - 1) // LINE
        lines.update(range(first, last + 1))
    return len(seen), len(lines)


def read_per_op(w, row: str) -> tuple[float, float]:
    """Objects and lines one operation of `row` reads, averaged over the workload."""
    f, c, v = w.formulas[K], w.copies[K], w.variants[K]
    n = len(f)
    if row == "eq":
        per = [lines_of((f[i], c[i])) for i in range(n)]
    elif row == "set":
        # Every item's root (its cached hash); every other item is a duplicate, whose
        # insertion compares it in full with its equal twin.
        items = w.halfdup[K]
        per = [lines_of((items[i], items[i - 1])) if i % 2 else (1, 1) for i in range(n)]
    elif row == "alpha":
        per = [lines_of((f[i], v[i])) for i in range(n)]
    else:  # canon, subst: the formula itself (the mapping is one small term)
        per = [lines_of((f[i],)) for i in range(n)]
    return sum(p[0] for p in per) / n, sum(p[1] for p in per) / n


def time_rows(small, large, row: str, repeat: int) -> tuple[float, float]:
    """µs per operation of `row` on both workloads, timed alternately (best of `repeat`)."""
    make = {r[0]: r[2] for r in B.ROWS}[row]
    runs = [make(w, K) for w in (small, large)]
    reps = [max(1, 10_000 // n) for _, n in runs]
    best = [float("inf")] * 2
    for _ in range(repeat):
        for i, (run, n) in enumerate(runs):
            best[i] = min(best[i], B.best(run, 1, reps[i]) / (n * reps[i]) * 1e6)
    return best[0], best[1]


def stream_rate() -> float:
    """Bytes per second of the best sequential read this core does (memchr over 256 MiB)."""
    buf = bytearray(256 << 20)
    buf[::4096] = b"\x01" * len(range(0, len(buf), 4096))  # touch every page first
    best = float("inf")
    for _ in range(5):
        t0 = time.perf_counter()
        buf.find(b"\x02")
        best = min(best, time.perf_counter() - t0)
    return len(buf) / best


def workload(size: int, rebuilt_from=None):
    """The inputs of the rows for `size` formulas, all built now (the sizes are module
    globals); with `rebuilt_from`, that workload's formulas and copies rebuilt node by node."""
    B.FORMULAS = size
    w = B.Workload(with_model=False)
    if rebuilt_from is not None:
        for part in ("formulas", "copies"):
            w.__dict__[part] = {K: [B.rename_bound(K, f, {}, 0) for f in getattr(rebuilt_from, part)[K]]}
    for part in ("formulas", "copies", "halfdup", "variants", "substs"):
        getattr(w, part)
    return w


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--formulas", type=int, default=10_000)
    parser.add_argument("--small", type=int, default=300, help="the workload that stays in the caches")
    args = parser.parse_args()
    rate = stream_rate()
    small = workload(args.small)
    large = workload(args.formulas)
    tidy = workload(args.formulas, rebuilt_from=large)
    targets = {r[0]: r[3] for r in B.ROWS}
    print(f"{args.formulas} formulas against {args.small}; best of {args.repeat}; "
          f"sequential read rate {rate / 1e9:.1f} GB/s")
    print(f"{'row':6} {'µs large':>9} {'µs small':>9} {'memory µs':>10} {'objects':>8} {'lines':>6} "
          f"{'ns/line':>8} {'stream µs':>10} {'µs rebuilt':>11} {'target':>7}")
    for row in ROWS:
        t_small, t_large = time_rows(small, large, row, args.repeat)
        _, t_tidy = time_rows(small, tidy, row, args.repeat)
        objs, lines = read_per_op(large, row)
        wait = t_large - t_small
        print(f"{row:6} {t_large:9.2f} {t_small:9.2f} {wait:10.2f} {objs:8.1f} {lines:6.1f} "
              f"{wait * 1e3 / lines:8.1f} {lines * LINE / rate * 1e6:10.2f} {t_tidy:11.2f} {targets[row]:7.1f}")


if __name__ == "__main__":
    main()
