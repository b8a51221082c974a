"""The free-variable cache of atoms and applications kept without a set: a
single variable, or a few variables that become a frozenset only when read.  Whatever the cache holds, `_free_vars` is the very frozenset the
constructor builds by adding the arguments' variables in order (the same
elements in the same iteration order), checked against a model of that
construction, with reference counts and the collector's view around it."""

from __future__ import annotations

import gc
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kelvara.core.ast import (Constant, Equality, Forall, FunctionApp, PredicateApp, Variable,
                              canonicalize_bound_variables, free_variables)
from kelvara.core.visitors import SubstitutionTransformer


def children(n):
    return (n.left, n.right) if isinstance(n, Equality) else tuple(n.args)


def model_fv(n, memo):
    """The frozenset the constructor builds for atom or application `n`: each
    variable argument and each argument's own set contribute in order; one
    contribution alone is kept (a child's set is shared as it is), anything
    more goes into a new frozenset in the order of the additions."""
    if id(n) in memo:
        return memo[id(n)]
    contributions = []
    for c in children(n):
        if type(c) is Variable:
            contributions.append(("item", c))
        elif type(c) is not Constant:
            fs = model_fv(c, memo)
            if len(fs) == 1 and memo.get(("single", id(c))):
                contributions.append(("item", memo[("single", id(c))]))
            elif fs:
                contributions.append(("set", fs))
    var = shared = acc = None

    def materialize():
        nonlocal var, shared, acc
        if acc is None:
            acc = ([var] if var is not None else []) + (list(shared) if shared is not None else [])
            var = shared = None

    for kind, x in contributions:
        if kind == "item":
            if acc is None and shared is None:
                if var is None:
                    var = x
                    continue
                if var is x:
                    continue
            materialize()
            acc.append(x)
        else:
            if acc is None and shared is None and var is None:
                shared = x
                continue
            if shared is x:
                continue
            materialize()
            acc.extend(x)
    if acc is not None:
        out = frozenset(acc)
    elif shared is not None:
        out = shared
    elif var is not None:
        out = frozenset([var])
        memo[("single", id(n))] = var
    else:
        out = frozenset()
    memo[id(n)] = out
    return out


def atoms_and_apps(n, out):
    if isinstance(n, (FunctionApp, PredicateApp, Equality)):
        out.append(n)
        for c in children(n):
            atoms_and_apps(c, out)
    return out


# Ids 0..40 collide often in the low bits that place a small set's elements.
variables = st.integers(0, 40).map(Variable)
leaves = st.one_of(variables, st.sampled_from(["a", "b"]).map(Constant))
terms = st.recursive(leaves, lambda t: st.one_of(
    t.map(lambda a: FunctionApp("f", 1, (a,))),
    st.tuples(t, t).map(lambda p: FunctionApp("g", 2, p)),
    st.tuples(t, t, t).map(lambda p: FunctionApp("h", 3, p))), max_leaves=7)
atoms = st.one_of(st.tuples(terms, terms).map(lambda p: PredicateApp("Q", 2, p)),
                  st.tuples(terms, terms).map(lambda p: Equality(*p)),
                  st.tuples(terms, terms, terms).map(lambda p: PredicateApp("R", 3, p)))


@given(atoms, st.booleans())
def test_cached_sets_iterate_as_the_constructor_built_them(atom, top_down):
    nodes = atoms_and_apps(atom, [])
    memo: dict = {}
    want = [list(model_fv(n, memo)) for n in nodes]
    order = nodes if top_down else nodes[::-1]  # reading one node must not disturb another
    got = {id(n): list(n._free_vars) for n in order}
    assert [got[id(n)] for n in nodes] == want
    for n in nodes:
        assert n._free_vars is n._free_vars
        assert list(free_variables(n)) == list(set(model_fv(n, memo)))


@pytest.mark.parametrize("ids", [(0, 8), (8, 0), (1, 9), (3, 4), (16, 0)])
def test_a_pair_of_variables(ids):
    x, y = Variable(ids[0]), Variable(ids[1])
    atom = PredicateApp("Q", 2, (x, FunctionApp("f", 1, (y,))))
    assert list(atom._free_vars) == list(frozenset([x, y]))
    eq = Equality(FunctionApp("g", 2, (y, x)), Constant("c"))
    assert list(eq._free_vars) == list(frozenset([y, x]))
    # Three variables: the pair's set first, then the third, in argument order.
    z = Variable(24)
    both = PredicateApp("R", 2, (FunctionApp("g", 2, (x, y)), z))
    assert list(both._free_vars) == list(frozenset([*frozenset([x, y]), z]))
    other = PredicateApp("R", 2, (z, FunctionApp("g", 2, (x, y))))
    assert list(other._free_vars) == list(frozenset([z, *frozenset([x, y])]))


@pytest.mark.parametrize("ids", [(0, 8, 16), (16, 8, 0), (1, 9, 17, 25), (3, 11, 19, 27, 35), (2, 10, 18, 26, 34, 42),
                                 (0, 8, 2**61 - 1, 16), (5, 13, 5, 21)])
def test_a_few_variables_in_argument_order(ids):
    """Ids 8 apart share the low bits that place them in a small set, so the
    order of the additions shows in the order of iteration."""
    vs = [Variable(i) for i in ids]
    atom = PredicateApp("R", len(vs), tuple(vs))
    assert list(atom._free_vars) == list(frozenset(vs))
    app = FunctionApp("h", len(vs), tuple(FunctionApp("f", 1, (v,)) for v in reversed(vs)))
    assert list(app._free_vars) == list(frozenset(reversed(vs)))
    assert list(Equality(app, Constant("c"))._free_vars) == list(frozenset(reversed(vs)))


def test_equal_or_colliding_variables_are_not_kept_as_a_pair():
    a, b = Variable(3), Variable(3)
    assert a is not b
    assert PredicateApp("Q", 2, (a, b))._free_vars == frozenset({a}) and len(PredicateApp("Q", 2, (a, b))._free_vars) == 1
    small, big = Variable(0), Variable(2**61 - 1)
    assert hash(small) == hash(big) and small != big
    fv = PredicateApp("Q", 2, (small, big))._free_vars
    assert len(fv) == 2 and small in fv and big in fv


def test_subclass_variables_go_into_a_set():
    class V(Variable):
        pass

    x, y = V(1), V(2)
    fv = PredicateApp("Q", 2, (x, y))._free_vars
    assert type(fv) is frozenset and list(fv) == list(frozenset([x, y]))
    assert all(type(v) is V for v in fv)


def test_a_parent_sharing_a_pair_reads_on_its_own():
    x, y = Variable(5), Variable(13)
    g = FunctionApp("g", 2, (x, y))
    f = FunctionApp("f", 1, (g,))
    atom = PredicateApp("P", 1, (f,))
    assert atom._free_vars == {x, y}
    assert list(f._free_vars) == list(g._free_vars) == list(atom._free_vars) == list(frozenset([x, y]))
    del atom, f
    assert g._free_vars == {x, y}


def test_reference_counts_and_tracking():
    x, y = Variable(6), Variable(14)
    before = sys.getrefcount(x), sys.getrefcount(y)
    for read in (False, True):
        atom = PredicateApp("Q", 2, (FunctionApp("g", 2, (x, y)), Constant("c")))
        assert not gc.is_tracked(atom)
        if read:
            assert atom._free_vars == {x, y}
            assert not gc.is_tracked(atom)
        del atom
        assert (sys.getrefcount(x), sys.getrefcount(y)) == before


def test_queries_and_walks_over_pairs():
    x, y, z = Variable(0), Variable(8), Variable(16)
    f = Forall(x, PredicateApp("Q", 2, (x, FunctionApp("g", 2, (y, z)))))
    assert free_variables(f) == {y, z}
    # y -> f(x) under the binder x: the binder is renamed away from x.
    out = SubstitutionTransformer({y: FunctionApp("f", 1, (x,))}).visit(f)
    fresh = out.variable
    assert fresh != x and free_variables(out) == {x, z}
    assert out.body == PredicateApp("Q", 2, (fresh, FunctionApp("g", 2, (FunctionApp("f", 1, (x,)), z))))
    assert out.body._free_vars == {fresh, x, z}
    assert canonicalize_bound_variables(f) == canonicalize_bound_variables(
        Forall(Variable(30), PredicateApp("Q", 2, (Variable(30), FunctionApp("g", 2, (y, z))))))
