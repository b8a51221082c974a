"""Throughput of resolution, factoring and paramodulation, and where the time goes.

Random clause pairs (2 to 5 literals over a small shared vocabulary, so that
many literal pairs unify) are run through ``kelvara.prover.rules`` and through
a plain-Python model of the same algorithms over the same companions
(``tests/rules_model.py``), in one process, side by side.  Then one pass of the
native operations runs under cProfile and the time is split between the rules
module itself and the companions it calls (unification, substitution, clause
and literal construction, hashing and comparison).

    PYTHONPATH=src python bench/bench_rules.py [--pairs N] [--seed S] [--repeat R]
"""

from __future__ import annotations

import argparse
import cProfile
import os
import pstats
import random
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import rules_model as model  # noqa: E402

import kelvara.prover.rules as rules  # noqa: E402
from kelvara.core.ast import Constant, Equality, FunctionApp, PredicateApp, Variable  # noqa: E402
from kelvara.prover.clausifier import Clause, Literal  # noqa: E402

CONSTANTS = [Constant(n) for n in ("a", "b", "c")]
VARIABLES = [Variable(i) for i in range(4)]


def random_term(rng: random.Random, depth: int):
    r = rng.random()
    if depth == 0 or r < 0.55:
        return rng.choice(VARIABLES) if rng.random() < 0.5 else rng.choice(CONSTANTS)
    if r < 0.85:
        return FunctionApp("f", 1, (random_term(rng, depth - 1),))
    return FunctionApp("g", 2, (random_term(rng, depth - 1), random_term(rng, depth - 1)))


def random_atom(rng: random.Random):
    r = rng.random()
    if r < 0.25:
        return Equality(random_term(rng, 2), random_term(rng, 2))
    if r < 0.6:
        return PredicateApp("P", 1, (random_term(rng, 2),))
    if r < 0.85:
        return PredicateApp("Q", 2, (random_term(rng, 2), random_term(rng, 2)))
    return PredicateApp("R", 1, (random_term(rng, 1),))


def random_clause(rng: random.Random) -> Clause:
    while True:
        lits = {Literal(random_atom(rng), rng.random() < 0.5) for _ in range(rng.randint(2, 5))}
        if len(lits) >= 2:
            return Clause(frozenset(lits))


OPERATIONS = ("resolvents", "factors", "paramodulants")


def run(impl, pairs, op: str) -> int:
    produced = 0
    if op == "resolvents":
        f = impl.resolve_clauses
        for c1, c2 in pairs:
            produced += len(f(c1, c2))
    elif op == "factors":
        f = impl.factor_clause
        for c1, c2 in pairs:
            produced += len(f(c1)) + len(f(c2))
    else:
        f = impl.paramodulate
        for c1, c2 in pairs:
            produced += len(f(c1, c2))
    return produced


def best_times(pairs, op: str, repeat: int) -> tuple[float, float, int, int]:
    """Best times of the native and the model run, measured alternately so that load affects both."""
    best_native = best_model = float("inf")
    produced_native = produced_model = 0
    for _ in range(repeat):
        t0 = time.perf_counter()
        produced_native = run(rules, pairs, op)
        t1 = time.perf_counter()
        produced_model = run(model, pairs, op)
        t2 = time.perf_counter()
        best_native = min(best_native, t1 - t0)
        best_model = min(best_model, t2 - t1)
    return best_native, best_model, produced_native, produced_model


GROUPS = [
    ("unification", ("unify_formulas", "unify_terms", "_unify_pairs", "_bind", "_start", "_sort_of")),
    ("substitution", ("substitute_formula", "substitute_term", "_subst_term", "_subst_formula",
                      "_subst_atom_generic", "_subst_quantifier", "substitute", "__init__ (_FreshIds)")),
    ("clause/literal construction", ("__init__", "literal_sort_key", "_atom_key", "_term_key",
                                     "_symbol_key", "_sort_key")),
    ("clause/literal hash and eq", ("__eq__", "__ne__", "__hash__")),
]


def classify(func: tuple[str, int, str]) -> str:
    filename, _, name = func
    if filename == "~":
        if "kelvara._native." in name:
            if "unify" in name:
                return "unification"
            if "substitute" in name:
                return "substitution"
            return "clause/literal construction"
        if name.startswith("<built-in method kelvara.prover.rules.") or any(
                f"method {op}" in name or f"function {op}" in name for op in
                ("resolve_clauses", "factor_clause", "paramodulate")):
            return "rules module (C++)"
        if "builtins.sorted" in name:
            return "clause/literal construction"
        if "isinstance" in name or "max" in name or "getattr" in name or "method 'get'" in name:
            return "builtins called by companions"
        return "other builtins"
    if filename.endswith(("substitutions.py", "clausifier.py")):
        if name == "__init__" and filename.endswith("substitutions.py"):
            return "substitution"
        for group, names in GROUPS:
            if name in names:
                return group
        return "other companion code"
    return "benchmark driver"


def profile(pairs) -> None:
    prof = cProfile.Profile()
    prof.enable()
    for op in OPERATIONS:
        run(rules, pairs, op)
    prof.disable()
    stats = pstats.Stats(prof)
    shares: dict[str, float] = {}
    total = 0.0
    for func, (cc, nc, tt, ct, callers) in stats.stats.items():  # type: ignore[attr-defined]
        group = classify(func)
        shares[group] = shares.get(group, 0.0) + tt
        total += tt
    print("\nProfile of the native operations (cProfile, own time by area):")
    for group, t in sorted(shares.items(), key=lambda kv: -kv[1]):
        print(f"  {group:32s} {t:8.3f} s  {100 * t / total:5.1f} %")
    print(f"  {'total':32s} {total:8.3f} s")
    print("\nTop companion functions by own time:")
    rows = sorted(stats.stats.items(), key=lambda kv: -kv[1][2])[:12]  # type: ignore[attr-defined]
    for (filename, line, name), (cc, nc, tt, ct, _) in rows:
        where = os.path.basename(filename) if filename != "~" else "builtin"
        print(f"  {tt:7.3f} s  {nc:8d} calls  {where}:{name}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=400)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--no-profile", action="store_true")
    args = parser.parse_args()

    rng = random.Random(args.seed)
    pairs = [(random_clause(rng), random_clause(rng)) for _ in range(args.pairs)]
    # Both implementations must agree before their speed is compared.
    for c1, c2 in pairs[:50]:
        assert rules.resolve_clauses(c1, c2) == model.resolve_clauses(c1, c2)
        assert rules.factor_clause(c1) == model.factor_clause(c1)
        assert rules.paramodulate(c1, c2) == model.paramodulate(c1, c2)

    print(f"{args.pairs} random clause pairs, 2-5 literals each, seed {args.seed}, best of {args.repeat}")
    print(f"{'operation':14s} {'produced':>9s} {'native/s':>11s} {'model/s':>11s} {'speedup':>8s}"
          f" {'native pairs/s':>15s}")
    for op in OPERATIONS:
        t_native, t_model, produced, produced_model = best_times(pairs, op, args.repeat)
        assert produced == produced_model
        print(f"{op:14s} {produced:9d} {produced / t_native:11.0f} {produced / t_model:11.0f}"
              f" {t_model / t_native:7.2f}x {len(pairs) / t_native:15.0f}")
    if not args.no_profile:
        profile(pairs)


if __name__ == "__main__":
    main()
