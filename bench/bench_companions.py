"""Micro-benchmark of the hot companion functions: Python reference against the native twin.

Unification (success, and failure caught the way the inference loops catch
it), substitution into terms and atoms, and the clause and literal classes
(construction, substitution, free variables, hashing and comparison, text),
each timed in one run, side by side, with the pure-Python implementation, with
the Python classes over the native functions, and with ``kelvara._native``
throughout.

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
SIGNED = [(P(f(x), y), True), (Q(x, a), False), (Equality(f(y), g(x, b)), True), (P(a, g(z, z)), False)]


def cases(fns):
    Clause, Literal = fns["Clause"], fns["Literal"]
    LITERALS = [Literal(atom, sign) for atom, sign in SIGNED]
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
    c2 = clause()
    lit = LITERALS[0]
    atom = lit.atom
    return {
        "unify_formulas, success": lambda: unify_formulas(A1, A2),
        "unify_formulas, failure": failure,
        "substitute_term": lambda: substitute_term(T, MAPPING),
        "substitute_formula, atom": lambda: substitute_formula(A1, MAPPING),
        "substitute_formula, unchanged": lambda: substitute_formula(A1, {Variable(9): a}),
        "substitute_formula, capture": lambda: substitute_formula(QUANTIFIED, {x: f(y, z)}),
        "Clause of 4 new literals": clause,
        "Clause.substitute, 4 literals": lambda: c.substitute(MAPPING),
        "Clause.substitute, untouched": lambda: c.substitute({Variable(9): a}),
        "Clause.free_variables": c.free_variables,
        "Clause hash and ==": lambda: hash(c) == hash(c2) and c == c2,
        "str(Clause)": lambda: str(c),
        "Literal(atom, positive)": lambda: Literal(atom, False),
        "Literal(atom=, positive=)": lambda: Literal(atom=atom, positive=False),
        "Literal.substitute": lambda: lit.substitute(MAPPING),
        "Literal.negate": lit.negate,
    }


def measure(which: str, classes: str, number: int) -> dict:
    """Times every case with the functions of ``which`` and the classes of ``classes``."""
    fns = dict(functions(which))
    fns.update({name: functions(classes)[name] for name in ("Literal", "Clause")})
    names = ("substitute_formula", "_order_literals", "Literal", "Clause")
    saved = [getattr(clausifier, name) for name in names]
    for name, value in zip(names, (fns["substitute_formula"], fns["sort_literals"], fns["Literal"], fns["Clause"])):
        setattr(clausifier, name, value)
    try:
        return {name: min(timeit.repeat(fn, number=number, repeat=5)) / number
                for name, fn in cases(fns).items()}
    finally:
        for name, value in zip(names, saved):
            setattr(clausifier, name, value)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=20000)
    args = parser.parse_args()
    py = measure("python", "python", args.number)
    mixed = measure("native", "python", args.number)
    nat = measure("native", "native", args.number)
    print(f"{'operation':32s} {'python us':>10s} {'py classes':>10s} {'native us':>10s} {'vs python':>9s} "
          f"{'vs py cls':>9s}")
    for name in py:
        print(f"{name:32s} {py[name] * 1e6:10.2f} {mixed[name] * 1e6:10.2f} {nat[name] * 1e6:10.2f} "
              f"{py[name] / nat[name]:8.1f}x {mixed[name] / nat[name]:8.1f}x")


if __name__ == "__main__":
    main()
