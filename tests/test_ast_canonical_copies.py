"""What canonical renaming copies from its input and what it rebuilds.

Atoms and application terms are always new nodes, but an atom whose arguments
come back equal takes over its input's hash and free variables, and a copy is
left untracked by the cycle collector exactly when its input was.  Each result
node is compared with the same node built afresh through the constructors:
same hash, same free variables, same tracking.
"""

import gc

import pytest
from hypothesis import given, settings

from kelvara.core.ast import (And, Constant, Equality, Exists, Forall, FunctionApp, Not, Or, PredicateApp, Variable,
                              canonicalize_bound_variables)
from kelvara.core.sorts import PrimitiveSort
from helpers import assert_like_constructed, nodes
from strategies import formulas
from test_ast_canonical_plain import general


@settings(max_examples=300, deadline=None)
@given(formulas(max_leaves=14))
def test_every_node_matches_a_constructed_one(f):
    assert_like_constructed(canonicalize_bound_variables(f))


@settings(max_examples=200, deadline=None)
@given(formulas(max_leaves=14))
def test_compound_nodes_are_new(f):
    inputs = {id(n) for n in nodes(f)}
    for n in nodes(canonicalize_bound_variables(f)):
        if not isinstance(n, (Variable, Constant)):
            assert id(n) not in inputs, n


x, y = Variable(1), Variable(2)
a = Constant("a")


def f(*args):
    return FunctionApp("f", len(args), tuple(args))


def P(*args):
    return PredicateApp("P", len(args), tuple(args))


def test_an_untouched_atom_is_a_new_equal_node():
    atom = P(x, f(a, f(y)), a)
    out = canonicalize_bound_variables(Not(atom)).operand
    assert out == atom and out is not atom
    assert out.args[1] is not atom.args[1] and out.args[1].args[1] is not atom.args[1].args[1]
    assert out.args[0] is x and out.args[2] is a
    assert hash(out) == hash(atom) and out._free_vars == atom._free_vars == frozenset({x, y})
    assert_like_constructed(out)


def test_a_renamed_atom_gets_its_own_hash_and_free_variables():
    # x is bound, y free: x becomes the variable of index 0, y (index 2) stays
    body = And(P(x, f(y)), Equality(f(x), y))
    out = canonicalize_bound_variables(Forall(x, body))
    v0 = Variable(0)
    assert out == Forall(v0, And(P(v0, f(y)), Equality(f(v0), y)))
    atom, eq = out.body.left, out.body.right
    assert atom._free_vars == frozenset({v0, y}) and eq._free_vars == frozenset({v0, y})
    assert hash(atom) == hash(P(v0, f(y))) and hash(eq) == hash(Equality(f(v0), y))
    assert_like_constructed(out)


class Tagged(PrimitiveSort):
    pass


class MyVar(Variable):
    pass


def test_tracking_follows_the_fields():
    # An atom over a subclass instance is tracked; over plain nodes it is not,
    # and copies keep the difference.
    plain = P(x, a)
    odd = P(MyVar(1), a)
    assert not gc.is_tracked(plain) and gc.is_tracked(odd)
    out = canonicalize_bound_variables(And(plain, odd))
    assert not gc.is_tracked(out.left) and gc.is_tracked(out.right)
    assert_like_constructed(out)


def test_a_variable_of_an_unusual_sort_is_kept():
    z = Variable(1, sort=Tagged("T"))
    out = canonicalize_bound_variables(Forall(x, P(x, z)))
    assert out.body.args[1] is z
    assert_like_constructed(out)


# ---------------------------------------------------------------- tracked leaves in plain trees

# A constant of a sort outside the interned ones is a plain leaf the collector
# tracks, and so is every node above it: the copies must follow node by node,
# whether their arguments are renamed or come back equal.
t = Constant("t", sort=Tagged("T"))
TRACKED = {
    "untouched atom": Forall(x, And(P(x), P(t, y))),
    "renamed atom": Forall(x, P(x, t)),
    "renamed function term": Exists(x, P(f(t, x), y)),
    "untouched function term": Exists(x, Or(P(x), P(f(f(t)), y))),
    "renamed equality": Forall(x, Equality(f(x), t)),
    "untouched equality": Forall(x, And(P(x), Equality(t, f(y)))),
    "under a negation": Not(Forall(x, Not(P(x, f(t))))),
    "side by side": Forall(y, And(P(y, t), Exists(x, P(x, a)))),
}


@pytest.mark.parametrize("name", sorted(TRACKED))
def test_copies_track_what_their_inputs_track(name):
    src = TRACKED[name]
    out = canonicalize_bound_variables(src)
    assert_like_constructed(out)
    for got, was in zip(nodes(out), nodes(src), strict=True):
        if not isinstance(was, (Variable, Constant)):
            assert gc.is_tracked(got) == gc.is_tracked(was), (name, got)
    assert any(gc.is_tracked(n) for n in nodes(out) if not isinstance(n, Constant))


# ---------------------------------------------------------------- copies as inputs

def binder_chain(depth, atom):
    """`depth` alternating quantifiers around `atom`, the innermost binding 0."""
    for i in range(depth):
        atom = (Exists if i % 2 else Forall)(Variable(i), atom)
    return atom


# A renamed copy is as tall as its input: a copy of a 32-level chain wrapped
# in more binders must be renamed like any other tree of that height.
@pytest.mark.parametrize("depth", [28, 29, 30])
@pytest.mark.parametrize("more", [0, 1, 2, 5])
def test_copies_renamed_again_at_the_height_bound(depth, more):
    atom = P(Variable(0), f(Variable(depth - 1), Variable(99)))
    copy = canonicalize_bound_variables(binder_chain(depth, atom))
    wrapped = copy
    for i in range(more):
        wrapped = Forall(Variable(200 + i), wrapped)
    out = canonicalize_bound_variables(wrapped)
    assert out == general(wrapped)
    ids = [n.variable.id for n in nodes(out) if isinstance(n, (Forall, Exists))]
    assert ids == list(range(depth + more))
    assert_like_constructed(out)


@settings(max_examples=200, deadline=None)
@given(formulas(max_leaves=14))
def test_copies_renamed_again_are_like_constructed(g):
    once = canonicalize_bound_variables(g)
    twice = canonicalize_bound_variables(once)
    assert twice == once
    assert_like_constructed(twice)
    assert twice == general(once)
