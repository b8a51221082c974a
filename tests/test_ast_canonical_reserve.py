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


class Args(tuple):
    pass

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
    # The ids are read off the atoms' arguments: variables, constants and the
    # cached free variables of function terms, bound or free where they occur.
    "free inside a function term": Forall(v(1), P(FunctionApp("g", 2, (v(1), v(3))), v(0))),
    "nested function terms": Forall(v(0), P(FunctionApp("f", 1, (FunctionApp("f", 1, (v(4),)),)), v(0))),
    "constants only": Forall(v(0), P(a, a)),
    "function terms on both sides": Exists(v(2), Equality(FunctionApp("f", 1, (v(2),)),
                                                         FunctionApp("g", 2, (v(0), v(3))))),
    "binder inside a function term only": Forall(v(6), Exists(v(1), P(FunctionApp("h", 2, (v(6), v(1)))))),
    # free ids running past the first 256, with and without a gap there
    "free ids past 256": Forall(v(999), Exists(v(998), And(P(*map(v, range(258))), P(v(999), v(998))))),
    "a gap past 256": Forall(v(1000), Forall(v(1001), P(v(1000), v(1001), *map(v, range(256)), v(257)))),
}


@pytest.mark.parametrize("name, ids", [("free ids past 256", [258, 259]), ("a gap past 256", [256, 258])])
def test_indices_past_the_first_256(name, ids):
    out = canonicalize_bound_variables(CASES[name])
    assert [out.variable.id, out.body.variable.id] == ids


@pytest.mark.parametrize("name", sorted(CASES))
def test_reserved_indices_match_the_model(name):
    f = CASES[name]
    assert to_model(canonicalize_bound_variables(f)) == model(f)


def test_arguments_in_a_tuple_subclass():
    # Not read in place: the general route reserves 5 and renames 3 to 0.
    f = Forall(v(3), And(PredicateApp("P", 2, Args((v(3), v(5)))), P(v(1))))
    out = canonicalize_bound_variables(f)
    assert out == Forall(v(0), And(PredicateApp("P", 2, (v(0), v(5))), P(v(1))))
    g = Forall(v(3), PredicateApp("P", 2, Args((v(0), v(3)))))
    assert canonicalize_bound_variables(g) == Forall(v(1), PredicateApp("P", 2, (v(0), v(1))))


def test_arguments_in_a_frozenset():
    # The arguments' order is the set's own, so the result is checked by value.
    out = canonicalize_bound_variables(Forall(v(4), PredicateApp("P", 2, frozenset({v(4), v(0)}))))
    assert out.variable == v(1) and set(out.body.args) == {v(0), v(1)}


def test_shadowed_and_free_example():
    f = And(Forall(v(0), P(v(0))), P(v(0), v(1)))
    # 0 and 1 are free in the right conjunct: the quantifier gets 2
    assert canonicalize_bound_variables(f) == And(Forall(v(2), P(v(2))), P(v(0), v(1)))


@settings(max_examples=200, deadline=None)
@given(formulas(max_leaves=12))
def test_random_formulas_match_the_model(f):
    assert to_model(canonicalize_bound_variables(f)) == model(f)
