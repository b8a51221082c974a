"""Equality of trees built from the exact node classes alone (plain trees),
which the native comparison first settles without running Python code:
hash collisions that only the fields tell apart, fields whose own __eq__
must still run once each and in field order, second-order symbols, and
trees on either side of the height that comparison recurses to."""

from __future__ import annotations

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kelvara.core.ast import (And, Constant, Equality, Exists, Forall, FunctionApp, Iff, Implies, Not, Or,
                              PredicateApp, Variable, VariableKind)
from kelvara.core.sorts import PrimitiveSort

from test_ast_equality import model_equal

# Ints whose hashes collide in pairs (hash is taken modulo 2**61 - 1): trees
# that differ only there have equal cached hashes, so only the fields decide.
M61 = 2**61 - 1
COLLIDING = [(0, M61), (1, M61 + 1), (5, M61 + 5)]


def fresh(s: str) -> str:
    return "".join(list(s))  # equal, not the same object


def unary_chain(height: int, leaf):
    """P(f(f(...f(leaf)))) with `height` levels in all (the atom, the terms, the leaf)."""
    t = leaf
    for _ in range(height - 2):
        t = FunctionApp("f", 1, (t,))
    return PredicateApp("P", 1, (t,))


@pytest.mark.parametrize("small,big", COLLIDING)
def test_colliding_ids_are_told_apart_by_their_values(small, big):
    a, b = Variable(small), Variable(big)
    assert hash(a) == hash(b)
    assert a != b and not (a == b)
    fa = Forall(Variable(9), And(PredicateApp("P", 1, (a,)), Equality(a, Constant("c"))))
    fb = Forall(Variable(9), And(PredicateApp("P", 1, (b,)), Equality(b, Constant("c"))))
    assert hash(fa) == hash(fb)
    assert fa != fb and not (fa == fb)
    assert fa == Forall(Variable(9), And(PredicateApp("P", 1, (Variable(small),)),
                                         Equality(Variable(int(str(small))), Constant(fresh("c")))))


@pytest.mark.parametrize("height", [3, 199, 200, 201, 202, 260])
def test_heights_around_the_recursion_bound(height):
    small, big = COLLIDING[1]
    a = unary_chain(height, Variable(small))
    b = unary_chain(height, Variable(int(str(small))))
    c = unary_chain(height, Variable(big))
    assert hash(a) == hash(c)
    assert a == b and b == a and a is not b
    assert a != c and c != a
    # Binary connectives on the spine, the collision at the far end.
    for connective in (And, Or, Implies, Iff):
        assert connective(Not(a), a) == connective(Not(b), b)
        assert connective(Not(a), a) != connective(Not(a), c)


def test_sorts_and_kinds_of_variables_are_compared():
    nat = PrimitiveSort("Nat")
    assert Variable(0, sort=nat) == Variable(0, sort=PrimitiveSort("Nat"))
    assert Variable(0, sort=nat) != Variable(0)
    assert Variable(0, kind=VariableKind.PREDICATE) != Variable(0)
    assert PredicateApp("P", 1, (Variable(0, sort=nat),)) != PredicateApp("P", 1, (Variable(0),))


class LoggedName:
    """A constant name or symbol compared through Python, logging each call."""

    log: list = []

    def __init__(self, text: str, boom: bool = False, unequal: bool = False, index: int = 0, arity: int = 1):
        self.text, self.boom, self.unequal = text, boom, unequal
        self.index, self.arity = index, arity  # what a second-order symbol carries

    def __eq__(self, other):
        LoggedName.log.append(self.text)
        if self.boom:
            raise ValueError(f"eq of {self.text}")
        return not self.unequal and isinstance(other, LoggedName) and self.text == other.text

    def __hash__(self):
        return hash(self.text)

    def __bool__(self):
        return True


@pytest.fixture(autouse=True)
def _reset_log():
    LoggedName.log = []
    yield


def named_chain(names) -> And:
    atoms = [PredicateApp("P", 1, (FunctionApp("f", 1, (Constant(n),)),)) for n in names]
    f = atoms[0]
    for a in atoms[1:]:
        f = And(f, a)
    return f


@pytest.mark.parametrize("depth", [1, 4, 150, 240])
def test_foreign_names_in_plain_trees_run_once_each_in_field_order(depth):
    texts = [f"n{i}" for i in range(depth)]
    a = named_chain([LoggedName(t) for t in texts])
    b = named_chain([LoggedName(t) for t in texts])
    assert a == b
    assert LoggedName.log == texts
    LoggedName.log = []
    assert not (a != b)
    assert LoggedName.log == texts


@pytest.mark.parametrize("raising,unequal", [(1, 4), (4, 1)])
def test_first_foreign_failure_in_field_order_decides_in_plain_trees(raising, unequal):
    """One name raises, another compares unequal (their hashes agree, so the
    walk gets there): whichever comes first in field order decides."""
    texts = [f"n{i}" for i in range(6)]
    a = named_chain([LoggedName(t) for t in texts])
    names = [LoggedName(t) for t in texts]
    names[raising] = LoggedName(texts[raising], boom=True)
    names[unequal] = LoggedName(texts[unequal], unequal=True)
    b = named_chain(names)
    if raising < unequal:
        with pytest.raises(ValueError, match=f"eq of n{raising}"):
            b == a  # noqa: B015
    else:
        assert (b == a) is False
    assert LoggedName.log == texts[:min(raising, unequal) + 1]


def test_str_subclass_symbols_compare_through_their_own_eq():
    class Sym(str):
        def __eq__(self, other):
            LoggedName.log.append(str(self))
            return str.__eq__(self, other)

        __hash__ = str.__hash__

    a = PredicateApp(Sym("Q"), 2, (FunctionApp(Sym("g"), 1, (Constant("c"),)), Variable(0)))
    b = PredicateApp(Sym("Q"), 2, (FunctionApp(Sym("g"), 1, (Constant("c"),)), Variable(0)))
    assert a == b and LoggedName.log == ["Q", "g"]


def test_second_order_symbols_compare_by_value():
    a = FunctionApp(LoggedName("F", index=0), 1, (Variable(0),))
    b = FunctionApp(LoggedName("F", index=0), 1, (Variable(0),))
    assert a == b and LoggedName.log == ["F"]
    assert Exists(Variable(1), PredicateApp("P", 1, (a,))) == Exists(Variable(1), PredicateApp("P", 1, (b,)))


ids = st.sampled_from([0, 1, 5, M61, M61 + 1, M61 + 5])
leaves = st.one_of(ids.map(Variable), st.sampled_from(["a", "b"]).map(Constant))
terms = st.recursive(leaves, lambda t: st.one_of(
    t.map(lambda a: FunctionApp("f", 1, (a,))),
    st.tuples(t, t).map(lambda p: FunctionApp("g", 2, p))), max_leaves=5)
atoms = st.one_of(terms.map(lambda t: PredicateApp("P", 1, (t,))), st.tuples(terms, terms).map(lambda p: Equality(*p)))
formulas = st.recursive(atoms, lambda f: st.one_of(
    f.map(Not), st.tuples(f, f).map(lambda p: Iff(*p)), st.tuples(f, f).map(lambda p: Or(*p)),
    st.tuples(ids.map(Variable), f).map(lambda p: Forall(*p))), max_leaves=10)


def collide(n):
    """`n` with every id replaced by the id it collides with."""
    swap = {**{s: b for s, b in COLLIDING}, **{b: s for s, b in COLLIDING}}
    if isinstance(n, Variable):
        return Variable(swap[int(n.id)])
    if isinstance(n, Constant):
        return Constant(fresh(n.name))
    if isinstance(n, FunctionApp):
        return FunctionApp(n.func, n.arity, tuple(collide(a) for a in n.args))
    if isinstance(n, PredicateApp):
        return PredicateApp(n.pred, n.arity, tuple(collide(a) for a in n.args))
    if isinstance(n, Not):
        return Not(collide(n.operand))
    if isinstance(n, Forall):
        return Forall(collide(n.variable), collide(n.body))
    return type(n)(collide(n.left), collide(n.right))


@given(formulas, formulas)
def test_plain_trees_with_colliding_ids_agree_with_the_model(a, b):
    assert (a == b) is model_equal(a, b)
    c = collide(a)
    assert hash(c) == hash(a)
    # Every variable changed its id: only a tree without one stays equal.
    assert (a == c) is model_equal(a, c) is ("Variable(" not in repr(a))
    assert collide(c) == a and a == collide(c)
