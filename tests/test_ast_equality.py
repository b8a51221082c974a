"""Node equality: results, the order in which field values run their own __eq__,
and trees deeper than the native comparison recurses (it continues with an
explicit stack there), checked against a recursive Python model."""

from __future__ import annotations

import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kelvara.core.ast import (And, Constant, Equality, Exists, Forall, FunctionApp, Implies, Not, Or,
                              PredicateApp, Variable)


class LoggedInt(int):
    """An int subclass: equality goes through Python, and says when it runs."""

    log: list = []
    boom: set = set()

    def __eq__(self, other):
        LoggedInt.log.append(int(self))
        if int(self) in LoggedInt.boom:
            raise ValueError(f"eq of {int(self)}")
        return int(self) == int(other)

    __hash__ = int.__hash__


@pytest.fixture(autouse=True)
def _reset_log():
    LoggedInt.log = []
    LoggedInt.boom = set()
    yield


def model_equal(a, b) -> bool:
    """Field-order recursive comparison, the reference of the native one."""
    if a is b:
        return True
    if type(a) is not type(b):
        return a == b
    if isinstance(a, tuple):
        return len(a) == len(b) and all(model_equal(x, y) for x, y in zip(a, b))
    fields = {
        Variable: ("sort", "id", "kind"), Constant: ("sort", "name"),
        FunctionApp: ("sort", "func", "arity", "args", "return_sort"), PredicateApp: ("pred", "arity", "args"),
        Equality: ("left", "right"), Not: ("operand",), And: ("left", "right"), Or: ("left", "right"),
        Implies: ("left", "right"), Forall: ("variable", "body"), Exists: ("variable", "body"),
    }.get(type(a))
    if fields is None:
        return a == b
    return all(model_equal(getattr(a, f), getattr(b, f)) for f in fields)


def chain(depth: int, ids, left: bool = True, connective=And):
    """A connective chain of `depth` atoms P(x_i) with x_i = Variable(LoggedInt(ids[i]))."""
    atoms = [PredicateApp("P", 1, (FunctionApp("f", 1, (Variable(LoggedInt(ids[i])),)),)) for i in range(depth)]
    f = atoms[0]
    for a in atoms[1:]:
        f = connective(f, a) if left else connective(a, f)
    return f


def dfs_ids(f) -> list[int]:
    out: list[int] = []
    stack = [f]
    while stack:
        n = stack.pop()
        if isinstance(n, Variable):
            out.append(int(n.id))
        elif isinstance(n, (And, Or, Implies)):
            stack += [n.right, n.left]
        elif isinstance(n, PredicateApp):
            stack += list(reversed(n.args))
        elif isinstance(n, FunctionApp):
            stack += list(reversed(n.args))
    return out


@pytest.mark.parametrize("depth", [1, 3, 95, 96, 97, 250])
@pytest.mark.parametrize("left", [True, False])
def test_python_level_field_comparisons_run_left_to_right(depth, left):
    ids = list(range(depth))
    a, b = chain(depth, ids, left), chain(depth, ids, left)
    assert a == b
    assert LoggedInt.log == dfs_ids(a)


@pytest.mark.parametrize("depth", [5, 200])
@pytest.mark.parametrize("first_bad", ["raise", "differ"])
def test_the_first_comparison_in_field_order_decides(depth, first_bad):
    """Two pairs go wrong, one raising, one unequal: whichever comes first in
    left-to-right field order decides between an exception and False."""
    ids = list(range(depth))
    a = chain(depth, ids)
    # Same hashes (LoggedInt hashes as the int), so the walk reaches the fields.
    b = chain(depth, ids)
    early, late = 1, depth - 2
    raising, unequal = (early, late) if first_bad == "raise" else (late, early)
    LoggedInt.boom = {raising}

    class Unequal(LoggedInt):
        def __eq__(self, other):
            LoggedInt.log.append(int(self))
            return False

        __hash__ = int.__hash__

    b = _replace_id(b, unequal, Unequal(unequal))
    if first_bad == "raise":
        with pytest.raises(ValueError, match=f"eq of {raising}"):
            a == b  # noqa: B015
    else:
        assert (a == b) is False
    assert LoggedInt.log[-1] == min(raising, unequal)


def _replace_id(f, target: int, new_id):
    if isinstance(f, Variable):
        return Variable(new_id) if int(f.id) == target else f
    if isinstance(f, FunctionApp):
        return FunctionApp(f.func, f.arity, tuple(_replace_id(a, target, new_id) for a in f.args))
    if isinstance(f, PredicateApp):
        return PredicateApp(f.pred, f.arity, tuple(_replace_id(a, target, new_id) for a in f.args))
    return type(f)(_replace_id(f.left, target, new_id), _replace_id(f.right, target, new_id))


@pytest.mark.parametrize("connective,left", [(And, True), (Or, False), (Implies, True)])
def test_deep_chains_compare_without_recursion_limits(connective, left):
    depth = 20_000
    ids = [i % 7 for i in range(depth)]
    a = chain(depth, [0] * depth, left, connective)
    b = chain(depth, [0] * depth, left, connective)
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(100)
    try:
        assert a == b
        c = chain(depth, ids, left, connective)
        assert a != c
    finally:
        sys.setrecursionlimit(old)


def test_deep_not_and_quantifier_spines():
    x = Variable(0)
    a = b = None
    for build in range(2):
        f = PredicateApp("P", 1, (x,))
        for i in range(100_000):
            f = Not(f) if i % 3 else Forall(Variable(i % 5), f)
        if build == 0:
            a = f
        else:
            b = f
    assert a == b and a is not b
    assert Not(a) != Not(Forall(x, b))


def fresh_str(s: str) -> str:
    return "".join(list(s))  # equal, not the same object


@pytest.mark.parametrize("name,other,equal", [
    ("c", "c", True), ("constant_name", "constant_nam", False), ("é", "e", False),
    ("€uro", "€uro", True), ("ab", "ba", False), ("\U0001d4b3", "\U0001d4b3", True), ("é", "\U0001d4b3", False),
])
def test_names_compare_by_value_not_identity(name, other, equal):
    a, b = Constant(fresh_str(name)), Constant(fresh_str(other))
    assert (a == b) is equal
    assert (PredicateApp(fresh_str("P" + name), 1, (a,)) == PredicateApp(fresh_str("P" + other), 1, (b,))) is equal
    assert (FunctionApp(fresh_str(name), 1, (a,)) == FunctionApp(fresh_str(other), 1, (b,))) is equal


@pytest.mark.parametrize("big", [2**40, 10**30, 300])
def test_big_ids_and_arities_compare_by_value(big):
    assert Variable(big) == Variable(int(str(big)))
    assert Variable(big) != Variable(big + 1)
    args = tuple(Constant("c") for _ in range(300))
    assert FunctionApp("f", 300, args) == FunctionApp("f", int("300"), args)


def test_subclass_nodes_inside_exact_nodes_use_their_own_comparison():
    calls = []

    class MyConstant(Constant):
        def __eq__(self, other):
            calls.append("eq")
            return isinstance(other, Constant) and self.name == other.name

        __hash__ = Constant.__hash__

    a = PredicateApp("P", 2, (MyConstant("a"), Variable(0)))
    b = PredicateApp("P", 2, (MyConstant("a"), Variable(0)))
    assert a == b and calls == ["eq"]
    # Types differ: the subclass's reflected comparison decides.
    assert a == PredicateApp("P", 2, (Constant("a"), Variable(0))) and calls == ["eq", "eq"]
    assert a != PredicateApp("P", 2, (MyConstant("b"), Variable(0)))


leaves = st.one_of(st.integers(0, 3).map(Variable), st.sampled_from(["a", "b"]).map(Constant))
terms = st.recursive(leaves, lambda t: st.one_of(
    t.map(lambda a: FunctionApp("f", 1, (a,))),
    st.tuples(t, t).map(lambda p: FunctionApp("g", 2, p))), max_leaves=6)
atoms = st.one_of(terms.map(lambda t: PredicateApp("P", 1, (t,))), st.tuples(terms, terms).map(lambda p: Equality(*p)))
formulas = st.recursive(atoms, lambda f: st.one_of(
    f.map(Not), st.tuples(f, f).map(lambda p: And(*p)), st.tuples(f, f).map(lambda p: Or(*p)),
    st.tuples(st.integers(0, 3).map(Variable), f).map(lambda p: Exists(*p))), max_leaves=12)


def rebuild(n):
    """A structurally equal copy sharing no node with `n`."""
    if isinstance(n, Variable):
        return Variable(int(str(n.id)))
    if isinstance(n, Constant):
        return Constant(fresh_str(n.name))
    if isinstance(n, FunctionApp):
        return FunctionApp(fresh_str(n.func), n.arity, tuple(rebuild(a) for a in n.args))
    if isinstance(n, PredicateApp):
        return PredicateApp(fresh_str(n.pred), n.arity, tuple(rebuild(a) for a in n.args))
    if isinstance(n, Not):
        return Not(rebuild(n.operand))
    if isinstance(n, Exists):
        return Exists(rebuild(n.variable), rebuild(n.body))
    return type(n)(rebuild(n.left), rebuild(n.right))


@given(formulas, formulas)
def test_equality_agrees_with_the_model(a, b):
    assert (a == b) is model_equal(a, b)
    assert (a != b) is not model_equal(a, b)
    c = rebuild(a)
    assert a == c and c == a and hash(a) == hash(c)
