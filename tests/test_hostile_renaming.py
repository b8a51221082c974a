"""Hostile callers, canonical renaming: free variable ids that equal an int
without being one.

Variables compare their ids with ``==``, so ``Variable(0.0) == Variable(0)``.
Canonical renaming must therefore skip every index some free id equals, or a
bound variable renamed to that index captures the free variable.
"""

from __future__ import annotations

from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kelvara.core.ast import (
    Exists,
    Forall,
    PredicateApp,
    Variable,
    canonicalize_bound_variables,
    free_variables,
)


class Index(int):
    """An int subclass: equal to, and hashing like, its value."""


class Loose:
    """Not a number at all, yet equal to (and hashing like) one int."""

    def __init__(self, n):
        self.n = n

    def __eq__(self, other):
        return other == self.n

    def __hash__(self):
        return hash(self.n)

    def __lt__(self, other):
        return self.n < other


EQUAL_TO_ZERO = [0.0, Fraction(0), Decimal(0), Loose(0)]


@pytest.mark.parametrize("free_id", EQUAL_TO_ZERO, ids=lambda v: type(v).__name__)
def test_a_free_id_equal_to_an_index_is_not_captured(free_id):
    x3 = Variable(3)
    free = Variable(free_id)
    f = Exists(x3, PredicateApp("P", 2, (x3, free)))
    c = canonicalize_bound_variables(f)
    assert free_variables(c) == {free}
    assert c.variable == Variable(1)
    assert c.body.args == (Variable(1), free)
    assert c.body.args[1].id is free_id


@pytest.mark.parametrize("ids", [(1.0, 2.0), (Fraction(1), True), (Decimal(2), 0.0), (Index(1), Loose(0))],
                         ids=lambda v: "-".join(type(i).__name__ for i in v))
def test_several_inexact_free_ids_are_all_skipped(ids):
    free = [Variable(i) for i in ids]
    bound = [Variable(10 + i) for i in range(4)]
    body = PredicateApp("P", len(free) + len(bound), (*free, *bound))
    f = body
    for v in reversed(bound):
        f = Forall(v, f)
    c = canonicalize_bound_variables(f)
    taken = {int(i.real) if not isinstance(i, Loose) else i.n for i in ids}
    expected = [i for i in range(8) if i not in taken][:4]
    assert free_variables(c) == set(free)
    got = []
    while isinstance(c, Forall):
        got.append(c.variable.id)
        c = c.body
    assert got == expected


@pytest.mark.parametrize("free_id", [0.5, float("inf"), float("nan"), -0.0 + 3.25, Fraction(7, 2)],
                         ids=repr)
def test_an_id_equal_to_no_index_reserves_nothing(free_id):
    x = Variable(9)
    f = Forall(x, PredicateApp("P", 2, (x, Variable(free_id))))
    assert canonicalize_bound_variables(f).variable.id == 0


@given(st.lists(st.sampled_from([0, 1, 2, 3, 0.0, 1.0, 2.0, 3.0, True, False, Fraction(2)]), min_size=1, max_size=4),
       st.integers(min_value=1, max_value=4))
def test_free_variables_are_preserved_whatever_the_id_type(free_ids, nbound):
    free = [Variable(i) for i in free_ids]
    bound = [Variable(100 + i) for i in range(nbound)]
    f = PredicateApp("P", len(free) + nbound, (*free, *bound))
    for v in bound:
        f = Exists(v, f)
    c = canonicalize_bound_variables(f)
    assert free_variables(c) == free_variables(f)
    assert canonicalize_bound_variables(c) == c
