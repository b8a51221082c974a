"""What canonical renaming copies from its input and what it rebuilds.

Atoms and application terms are always new nodes, but an atom whose arguments
come back equal takes over its input's hash and free variables, and a copy is
left untracked by the cycle collector exactly when its input was.  Each result
node is compared with the same node built afresh through the constructors:
same hash, same free variables, same tracking.
"""

import gc

from hypothesis import given, settings

from kelvara.core.ast import (And, Constant, Equality, Forall, FunctionApp, Not, PredicateApp, Variable,
                              canonicalize_bound_variables)
from kelvara.core.sorts import PrimitiveSort
from helpers import assert_like_constructed, nodes
from strategies import formulas


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
