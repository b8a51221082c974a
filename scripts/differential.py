#!/usr/bin/env python3
"""Differential run of the native modules against their Python twins and
models (see tests/differential.py): prints the cases run per check and every
divergence, and exits non-zero when there is one.

    PYTHONPATH=src python3 scripts/differential.py [--cases 100000] [--seed 1] [--only rules]
"""

from __future__ import annotations

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import differential  # noqa: E402


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--cases", type=int, default=100_000)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--only", choices=sorted(differential.CHECKS))
    p.add_argument("--plain", action="store_true", help="no odd inputs (exact int ids, tuple args, one sort)")
    p.add_argument("--show", type=int, default=20, help="divergences printed in full")
    a = p.parse_args()
    start = time.perf_counter()
    found, counts = differential.run(a.seed, a.cases, odd=not a.plain, only=a.only)
    elapsed = time.perf_counter() - start
    for name, n in counts.items():
        print(f"{name:10s} {n:8d} cases")
    print(f"{sum(counts.values())} cases in {elapsed:.1f} s, {len(found)} divergences")
    kinds: dict = {}
    for d in found:
        kinds.setdefault(d[0], []).append(d)
    for op, ds in sorted(kinds.items()):
        print(f"\n{op}: {len(ds)}")
        for d in ds[: max(1, a.show // max(1, len(kinds)))]:
            print(f"  inputs:    {d[1]!r}"[:600])
            print(f"  native:    {d[2]!r}"[:600])
            print(f"  reference: {d[3]!r}"[:600])
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
