"""Which indices canonical renaming reserves for free variables.

A free variable's id is never handed to a quantifier; a variable that is bound
where it occurs reserves nothing there, whether the binder is an enclosing
quantifier or an equal variable bound elsewhere.  Checked against the Python
model of the canonicalizer, on trees of plain nodes (read from the atoms'
free-variable caches) and on trees that hold other objects.
"""

import pytest
from hypothesis import given, settings

from kelvara.core.ast import (And, Constant, Equality, Exists, Forall, FunctionApp, Not, Or, PredicateApp, Variable,
                              canonicalize_bound_variables)
from kelvara.core.sorts import PrimitiveSort
from strategies import formulas

from differential import Q, to_model  # noqa: E402  (also puts bench/ on the path)


def model(f):
    return Q.py_canonicalize(to_model(f))


class Sub(PrimitiveSort):
    pass


def v(i, **kw):
    return Variable(i, **kw)


def P(*args):
    return PredicateApp("P", len(args), tuple(args))


a = Constant("a")

CASES = {
    "free ids skipped": Forall(v(5), P(v(5), v(0), v(2))),
    "bound here, free there": And(Forall(v(0), P(v(0))), P(v(0), v(1))),
    "free under an unrelated binder": Exists(v(3), Or(P(v(0)), Not(P(v(3), v(1))))),
    "shadowed binder": Forall(v(0), Forall(v(0), P(v(0), v(4)))),
    "same id, other sort": Forall(v(0), P(v(0), v(0, sort=Sub("T")))),
    "large ids": Forall(v(1 << 20), P(v(0), v(1 << 20), v(1 << 40))),
    "equality atoms": Forall(v(1), Equality(FunctionApp("f", 2, (v(1), v(0))), a)),
    "variable with a float id": Forall(v(1), P(v(1), Variable(0.0))),
    "binder of another sort": Forall(v(2, sort=Sub("T")), P(v(2), v(2, sort=Sub("T")))),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_reserved_indices_match_the_model(name):
    f = CASES[name]
    assert to_model(canonicalize_bound_variables(f)) == model(f)


def test_shadowed_and_free_example():
    f = And(Forall(v(0), P(v(0))), P(v(0), v(1)))
    # 0 and 1 are free in the right conjunct: the quantifier gets 2
    assert canonicalize_bound_variables(f) == And(Forall(v(2), P(v(2))), P(v(0), v(1)))


@settings(max_examples=200, deadline=None)
@given(formulas(max_leaves=12))
def test_random_formulas_match_the_model(f):
    assert to_model(canonicalize_bound_variables(f)) == model(f)
