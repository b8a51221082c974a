"""Hostile callers, node fields: `args` that are not a plain tuple.

Node constructors accept any sized, hashable iterable as `args` (a
frozenset, a tuple subclass whose iteration differs from its storage, a
custom container).  Native code that indexes `args` must check the type
first; the native twins must give exactly what their Python references give,
which read `args` by iteration.  The calls that used to crash run in a child
process.
"""

from __future__ import annotations

import pytest

from helpers import run_isolated
from kelvara import _native
from kelvara.core import substitutions
from kelvara.core.ast import Constant, Equality, FunctionApp, PredicateApp, Variable

REFERENCE = substitutions.python_implementation


class Backwards(tuple):
    """A tuple that iterates backwards: storage and iteration disagree."""

    def __iter__(self):
        return iter(tuple.__getitem__(self, slice(None, None, -1)))


class Bag:
    """A sized, hashable iterable that is no sequence at all."""

    def __init__(self, *items):
        self.items = items

    def __iter__(self):
        return iter(self.items)

    def __len__(self):
        return len(self.items)

    def __hash__(self):
        return hash(self.items)

    def __eq__(self, other):
        return isinstance(other, Bag) and other.items == self.items


x, y, z = Variable(0), Variable(1), Variable(2)
a, b = Constant("a"), Constant("b")
CONTAINERS = {"frozenset": frozenset, "backwards": Backwards, "bag": lambda items: Bag(*items)}


def outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except Exception as e:  # the type and message are part of the outcome
        return (type(e), str(e))


@pytest.mark.parametrize("container", sorted(CONTAINERS))
@pytest.mark.parametrize(
    "name, make",
    [
        ("unify_terms", lambda c: (FunctionApp("f", 2, c((x, a))), FunctionApp("f", 2, c((b, y))))),
        ("unify_terms", lambda c: (FunctionApp("f", 2, c((x, a))), FunctionApp("f", 2, (b, y)))),
        ("unify_terms", lambda c: (FunctionApp("g", 1, (FunctionApp("f", 2, c((x, z))),)),
                                   FunctionApp("g", 1, (FunctionApp("f", 2, c((a, b))),)))),
        ("unify_formulas", lambda c: (PredicateApp("P", 2, c((x, a))), PredicateApp("P", 2, c((b, y))))),
        ("unify_formulas", lambda c: (PredicateApp("P", 2, c((x, y))), PredicateApp("P", 2, (a, b)))),
        ("unify_formulas", lambda c: (Equality(FunctionApp("f", 2, c((x, a))), z),
                                      Equality(FunctionApp("f", 2, c((b, y))), z))),
        ("substitute_term", lambda c: (FunctionApp("f", 2, c((x, a))), {x: b})),
        ("substitute_term", lambda c: (FunctionApp("g", 1, (FunctionApp("f", 2, c((x, y))),)), {y: a})),
        ("substitute_formula", lambda c: (PredicateApp("P", 2, c((x, y))), {x: a, y: FunctionApp("f", 2, c((z, a)))})),
        ("substitute_formula", lambda c: (Equality(FunctionApp("f", 2, c((x, a))), y), {x: b})),
    ],
)
def test_native_twin_gives_the_reference_outcome(name, make, container):
    args = make(CONTAINERS[container])
    native = outcome(getattr(_native, name), *args)
    reference = outcome(REFERENCE[name], *args)
    assert native == reference
    if native[0] == "ok" and name.startswith("unify"):
        assert list(native[1].items()) == list(reference[1].items())  # same bindings, same order


def _child(body: str):
    r = run_isolated(
        """
from kelvara.core.ast import Constant, FunctionApp, PredicateApp, Variable
from kelvara import _native
from kelvara.prover import clausifier, rules
import sys
sys.path.insert(0, "tests")
import rules_model
x, y, a = Variable(0), Variable(1), Constant("a")
Literal, Clause = _native.Literal, _native.Clause
"""
        + body
    )
    assert r.returncode == 0, r.stderr[-2000:]
    return r.stdout.split()


def test_resolving_atoms_with_frozenset_args_matches_the_model():
    out = _child("""
c1 = Clause(frozenset({Literal(PredicateApp("P", 2, frozenset({x, a})), True)}))
c2 = Clause(frozenset({Literal(PredicateApp("P", 2, frozenset({y, a})), False),
                       Literal(PredicateApp("Q", 1, frozenset({y})), True)}))
got = rules.resolve_clauses(c1, c2)
want = rules_model.resolve_clauses(c1, c2)
assert [(r, s) for r, s, _ in got] == [(r, s) for r, s, _ in want], (got, want)
assert len(got) == 1
print("ok")
""")
    assert out == ["ok"]


@pytest.mark.parametrize("call", [
    "_native.substitute_formula(PredicateApp('P', 2, frozenset({x, a})), {x: y})",
    "_native.substitute_term(FunctionApp('f', 2, frozenset({x, a})), {x: y})",
    "Literal(PredicateApp('P', 2, frozenset({x, a})), True).substitute({x: y})",
    "Clause(frozenset({Literal(PredicateApp('P', 2, frozenset({x, a})), True)})).substitute({x: y})",
    "rules.factor_clause(Clause(frozenset({Literal(PredicateApp('P', 2, frozenset({x, a})), True),"
    " Literal(PredicateApp('P', 2, frozenset({y, a})), True)})))",
])
def test_substituting_into_frozenset_args_does_not_crash(call):
    out = _child(f"""
r = {call}
print(type(r).__name__)
""")
    assert out and out[0] in {"PredicateApp", "FunctionApp", "Literal", "Clause", "list"}

