"""Micro-benchmark of the hot companion functions: Python reference against the native twin.

Unification (success, and failure caught the way the inference loops catch
it), substitution into terms and atoms, and clause construction from new
literals, each timed with the pure-Python implementation and with
``kelvara._native`` in one run, side by side.

    PYTHONPATH=src python bench/bench_companions.py [--number N]
"""

from __future__ import annotations

import argparse
import os
import sys
import timeit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from twins import functions  # noqa: E402

from kelvara.core.ast import Constant, Equality, Exists, Forall, FunctionApp, PredicateApp, Variable  # noqa: E402
from kelvara.core.exceptions import UnificationError  # noqa: E402
from kelvara.prover import clausifier  # noqa: E402
from kelvara.prover.clausifier import Clause, Literal  # noqa: E402

x, y, z = Variable(0), Variable(1), Variable(2)
a, b = Constant("a"), Constant("b")


def f(*args):
    return FunctionApp("f", len(args), args)


def g(*args):
    return FunctionApp("g", len(args), args)


def P(*args):
    return PredicateApp("P", len(args), args)


def Q(*args):
    return PredicateApp("Q", len(args), args)


A1, A2 = P(f(x, a), y), P(f(b, z), g(z))
B2 = P(f(b, b), g(z))
T = f(g(x, y), z)
MAPPING = {x: f(b), y: a}
QUANTIFIED = Exists(z, Forall(y, P(x, y, z)))
LITERALS = [Literal(P(f(x), y), True), Literal(Q(x, a), False), Literal(Equality(f(y), g(x, b)), True),
            Literal(P(a, g(z, z)), False)]


def cases(fns):
    unify_formulas = fns["unify_formulas"]
    substitute_term = fns["substitute_term"]
    substitute_formula = fns["substitute_formula"]

    def failure():
        try:
            unify_formulas(A1, B2)
        except UnificationError:
            pass

    def clause():
        return Clause(frozenset([Literal(lit.atom, lit.positive) for lit in LITERALS]))

    c = clause()
    return {
        "unify_formulas, success": lambda: unify_formulas(A1, A2),
        "unify_formulas, failure": failure,
        "substitute_term": lambda: substitute_term(T, MAPPING),
        "substitute_formula, atom": lambda: substitute_formula(A1, MAPPING),
        "substitute_formula, unchanged": lambda: substitute_formula(A1, {Variable(9): a}),
        "substitute_formula, capture": lambda: substitute_formula(QUANTIFIED, {x: f(y, z)}),
        "Clause of 4 new literals": clause,
        "Clause.substitute, 4 literals": lambda: c.substitute(MAPPING),
    }


def measure(which: str, number: int) -> dict:
    fns = functions(which)
    saved = clausifier.substitute_formula, clausifier._order_literals
    clausifier.substitute_formula, clausifier._order_literals = fns["substitute_formula"], fns["sort_literals"]
    try:
        return {name: min(timeit.repeat(fn, number=number, repeat=5)) / number
                for name, fn in cases(fns).items()}
    finally:
        clausifier.substitute_formula, clausifier._order_literals = saved


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=20000)
    args = parser.parse_args()
    py = measure("python", args.number)
    nat = measure("native", args.number)
    print(f"{'operation':32s} {'python us':>10s} {'native us':>10s} {'speedup':>8s}")
    for name in py:
        print(f"{name:32s} {py[name] * 1e6:10.2f} {nat[name] * 1e6:10.2f} {py[name] / nat[name]:7.1f}x")


if __name__ == "__main__":
    main()
