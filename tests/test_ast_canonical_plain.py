"""Canonical renaming of small plain trees against the general route.

A tree of exact nodes at most 32 levels tall is renamed by a pass that reads
it in place; a taller one, or one holding other objects, goes the general
way.  The same subtree renamed both ways must give the same nodes: equal
fields, the same reused leaves, hashes, free variables in the same order and
the same tracking by the cycle collector.  Wrapping a tree in 40 negations
sends it the general way without changing the indices its quantifiers get.
"""

import gc

import pytest
from hypothesis import given, settings

from kelvara.core.ast import (And, Constant, Equality, Exists, Forall, FunctionApp, Not, Or, PredicateApp, Variable,
                              canonicalize_bound_variables)
from kelvara.core.exceptions import InvalidFormulaError
from kelvara.core.sorts import PrimitiveSort
from helpers import nodes
from strategies import formulas

WRAP = 40


def general(f):
    """canonicalize_bound_variables(f) taken through the general route."""
    for _ in range(WRAP):
        f = Not(f)
    out = canonicalize_bound_variables(f)
    for _ in range(WRAP):
        out = out.operand
    return out


def assert_same_nodes(got, want, source):
    leaves = {id(n) for n in nodes(source) if isinstance(n, (Variable, Constant))}
    assert got == want
    for g, w in zip(nodes(got), nodes(want), strict=True):
        assert type(g) is type(w)
        assert hash(g) == hash(w), g
        if isinstance(w, (Variable, Constant)):
            # reused from the input on both routes, or new on both
            assert (id(g) in leaves) == (id(w) in leaves), g
            if id(w) in leaves:
                assert g is w
            continue
        assert gc.is_tracked(g) == gc.is_tracked(w), g
        if hasattr(w, "_free_vars"):
            assert list(g._free_vars) == list(w._free_vars), g


@settings(max_examples=300, deadline=None)
@given(formulas(max_leaves=16))
def test_plain_pass_builds_what_the_general_route_builds(f):
    assert_same_nodes(canonicalize_bound_variables(f), general(f), f)


def v(i, **kw):
    return Variable(i, **kw)


def P(*args):
    return PredicateApp("P", len(args), tuple(args))


a = Constant("a")
f1 = FunctionApp("f", 1, (v(3),))


CASES = {
    # an inner binder of an equal variable shadows the outer one
    "shadowing": Forall(v(0), And(P(v(0)), Forall(v(0), P(v(0), v(5))))),
    # equal variables that are different objects are one variable
    "equal copies": Forall(Variable(7), P(Variable(7), Variable(7), Variable(8))),
    # free ids are skipped whatever their sort
    "free id of another sort": Forall(v(1), P(v(1), v(0, sort=PrimitiveSort("T")))),
    "bound elsewhere, free here": And(Exists(v(3), P(f1)), P(f1, v(2))),
    "equality atom": Forall(v(3), Equality(f1, FunctionApp("g", 2, (v(3), a)))),
    "nested function terms": Exists(v(3), P(FunctionApp("h", 1, (f1,)), a)),
    "no quantifier": Or(P(a, v(4)), Not(P(f1))),
    "formula as an argument": Forall(v(2), P(Not(P(v(2))), v(2))),
    "large ids take the general route": Forall(v(1 << 40), P(v(1 << 40), v(1 << 41))),
    # without a binder nothing is renamed, whatever sits at a term position
    "formula as an argument, no binder": Or(P(Not(P(v(2))), v(2)), Not(P(FunctionApp("h", 1, (f1,))))),
    "large ids, no binder": And(P(v(1 << 40), f1), Not(Equality(v(1 << 41), FunctionApp("h", 1, (v(1 << 62),))))),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_cases_agree_with_the_general_route(name):
    f = CASES[name]
    assert_same_nodes(canonicalize_bound_variables(f), general(f), f)


def test_expected_indices():
    out = canonicalize_bound_variables(CASES["shadowing"])
    assert out == Forall(v(0), And(P(v(0)), Forall(v(1), P(v(1), v(5)))))
    out = canonicalize_bound_variables(CASES["bound elsewhere, free here"])
    # 2 and 3 are free in the right conjunct: the quantifier gets 0
    assert out == And(Exists(v(0), P(FunctionApp("f", 1, (v(0),)))), P(f1, v(2)))
    out = canonicalize_bound_variables(CASES["formula as an argument"])
    # the negated atom in argument position is a foreign object there: passed through
    assert out.body.args[0] is CASES["formula as an argument"].body.args[0]


def chain(height):
    """A plain formula of `height` levels (the atom and its variables are two):
    alternating quantifiers binding 0, 1, ... from the inside out around
    P(x0, x_height), whose second variable is free."""
    f = P(v(0), v(height))
    for i in range(height - 2):
        f = (Forall if i % 2 else Exists)(v(i), f)
    return f


@pytest.mark.parametrize("height", [31, 32, 33, 34])
def test_heights_around_the_bound(height):
    f = chain(height)
    out = canonicalize_bound_variables(f)
    assert_same_nodes(out, general(f), f)
    # pre-order numbering: the outermost quantifier gets 0, the innermost
    # (which binds x0) height - 3; the free variable is the input's object
    ids, atom = [], out
    while not isinstance(atom, PredicateApp):
        ids.append(atom.variable.id)
        atom = atom.body
    assert ids == list(range(height - 2))
    assert atom.args[0] == v(height - 3)
    assert atom.args[1] is f.body.body.body.body.args[1] if height == 6 else atom.args[1] == v(height)


@pytest.mark.parametrize("bad", [Forall(v(1), v(1)), Forall(v(1), a), Forall(v(1), f1), f1, v(2)])
def test_terms_at_formula_positions(bad):
    name = type(bad.body if isinstance(bad, Forall) else bad).__name__
    with pytest.raises(InvalidFormulaError) as e:
        canonicalize_bound_variables(bad)
    assert str(e.value) == f"Unsupported Formula node: <class 'kelvara.core.ast.{name}'>"


def conj(leaves):
    """The leaves joined by And in a balanced tree (their order kept)."""
    while len(leaves) > 1:
        leaves = [And(leaves[i], leaves[i + 1]) if i + 1 < len(leaves) else leaves[i]
                  for i in range(0, len(leaves), 2)]
    return leaves[0]


def g(*args):
    return FunctionApp("g", len(args), tuple(args))


# Trees beyond what the walk keeps in arrays (formula nodes, binders, arguments
# of atoms) within the height bound; the free variables 0 and 1 sit in the last
# leaf, so a walk that gave up early would hand out their ids to binders.
WIDE = {
    "many formula nodes": conj([Forall(v(5), P(v(5), a)) for _ in range(99)] + [Exists(v(5), P(v(5), v(0), v(1)))]),
    "many binders": conj([Forall(v(2), Exists(v(3), Forall(v(4), P(v(2), v(3), v(4))))) for _ in range(22)]
                         + [Forall(v(2), P(v(2), v(1), v(0)))]),
    "many arguments": Forall(v(3), P(*([v(3), a] * 70), f1, v(1), v(0))),
    "many atoms": Forall(v(7), conj([P(v(7), g(a, a), a) for _ in range(49)] + [P(v(1), v(0), v(7))])),
}
# Free-variable caches of every form under binders: one variable, a few (a
# tuple), many (a frozenset), each with some of them bound.
CACHES = {
    "one": Forall(v(2), P(g(v(2)), g(v(0)))),
    "few": Exists(v(1), Forall(v(4), P(g(v(0), v(1), g(v(4), v(2))), v(3)))),
    "many": Forall(v(0), Exists(v(5), P(g(v(0), v(1), v(2), v(3), v(4), v(5), v(6)), v(8)))),
    "few in an equality": Forall(v(3), Equality(g(v(3), v(0), v(1)), g(g(v(2), v(3)), v(1)))),
}


@pytest.mark.parametrize("name", sorted(WIDE) + sorted(CACHES))
def test_wide_trees_and_caches_agree_with_the_general_route(name):
    f = WIDE.get(name) or CACHES[name]
    assert plain_height(f) <= 32
    out = canonicalize_bound_variables(f)
    assert_same_nodes(out, general(f), f)


@pytest.mark.parametrize("name", sorted(WIDE))
def test_wide_trees_skip_the_free_ids(name):
    out = canonicalize_bound_variables(WIDE[name])
    bound = [n.variable.id for n in nodes(out) if isinstance(n, (Forall, Exists))]
    assert min(bound) == 2 and len(set(bound)) == len(bound)


def plain_height(f):
    """Levels of f, terms included (a leaf: 1)."""
    kids = {"PredicateApp": lambda n: n.args, "FunctionApp": lambda n: n.args,
            "Equality": lambda n: (n.left, n.right), "Not": lambda n: (n.operand,),
            "Forall": lambda n: (n.variable, n.body), "Exists": lambda n: (n.variable, n.body)}
    get = kids.get(type(f).__name__, lambda n: (n.left, n.right) if hasattr(n, "left") else ())
    return 1 + max((plain_height(c) for c in get(f)), default=0)
