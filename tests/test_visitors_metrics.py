"""DepthVisitor, SizeVisitor and FreeVariableCollector."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from strategies import formulas, terms

from kelvara.core.ast import (
    And,
    Constant,
    Equality,
    Exists,
    Forall,
    FunctionApp,
    Iff,
    Implies,
    Not,
    Or,
    PredicateApp,
    Variable,
    VariableKind,
)
from kelvara.core.visitors import DepthVisitor, FreeVariableCollector, SizeVisitor
from kelvara.sol.ast_ext import ExistsFunc, ExistsPred, ForallFunc, ForallPred, PredicateVariable

x, y = Variable(1), Variable(2)
c = Constant("c")
X = PredicateVariable(0, 1, "X")


def P(*args):
    return PredicateApp("P", len(args), tuple(args))


def Q(*args):
    return PredicateApp("Q", len(args), tuple(args))


def f(*args):
    return FunctionApp("f", len(args), tuple(args))


WORKED = [
    (x, 1, 1, {x}),
    (f(), 1, 1, set()),
    (c, 1, 1, set()),
    (P(), 1, 1, set()),
    (P(f(x), c), 3, 4, {x}),
    (Equality(x, c), 2, 3, {x}),
    (And(P(x), Q()), 3, 4, {x}),
    (Not(P(x)), 3, 3, {x}),
    (Forall(x, P(x, y)), 3, 5, {y}),
    (Forall(x, P(y)), 3, 4, {y}),
    (Forall(x, P(x)), 3, 4, set()),
    (Forall(x, Forall(x, P(x))), 4, 6, set()),
    (Forall(x, And(P(x), Forall(y, Q(x, y)))), 5, 10, set()),
    (ForallPred(X, P(x)), 3, 3, {x}),
    (Equality(x, f(f(c))), 4, 5, {x}),
    (Exists(y, Iff(P(y), Implies(Q(), Or(P(x), Q())))), 6, 11, {x}),
    (ExistsFunc(X, ExistsPred(X, ForallFunc(X, P(x)))), 5, 5, {x}),
]


@pytest.mark.parametrize("node, depth, size, free", WORKED)
def test_worked_values(node, depth, size, free):
    d, s, fv = DepthVisitor().visit(node), SizeVisitor().visit(node), FreeVariableCollector().visit(node)
    assert (d, s, fv) == (depth, size, free)
    assert type(d) is int and type(s) is int and type(fv) is set


@pytest.mark.parametrize("kind", list(VariableKind))
def test_variables_of_every_kind_are_collected(kind):
    v = Variable(7, kind)
    assert FreeVariableCollector().visit(P(v, x)) == {v, x}


def test_not_and_second_order_quantifiers_pass_the_set_on():
    seen = []

    class Spy(FreeVariableCollector):
        def visit_predicate_app(self, node):
            result = super().visit_predicate_app(node)
            seen.append(result)
            return result

    for wrap in (Not, lambda b: ForallPred(X, b), lambda b: ExistsFunc(X, b)):
        seen.clear()
        out = Spy().visit(wrap(P(x)))
        assert out is seen[0]


def test_new_sets_elsewhere():
    seen = []

    class Spy(FreeVariableCollector):
        def visit_variable(self, node):
            result = super().visit_variable(node)
            seen.append(result)
            return result

    for node in (P(x), Equality(x, c), And(P(x), Q()), Forall(y, P(x)), f(x)):
        seen.clear()
        out = Spy().visit(node)
        assert out == {x} and all(out is not s for s in seen)


# ---------------------------------------------------------------- results of overriding handlers


@pytest.mark.parametrize(
    "visitor, node, message",
    [
        (DepthVisitor, Not(P(c)), "Expected int, got float"),
        (DepthVisitor, P(c, c), "Expected int, got float"),
        (SizeVisitor, And(P(c), Q()), "Expected int, got float"),
        (SizeVisitor, f(c), "Expected int, got float"),
        (SizeVisitor, Forall(x, Q()), "Expected int, got float"),
    ],
)
def test_computed_result_of_wrong_type(visitor, node, message):
    class Floating(visitor):
        def visit_constant(self, node):
            return 0.5

        def visit_variable(self, node):
            return 0.5

    with pytest.raises(TypeError) as e:
        Floating().visit(node)
    assert str(e.value) == message


def test_set_result_of_wrong_type():
    class Frozen(FreeVariableCollector):
        def visit_predicate_app(self, node):
            return frozenset(super().visit_predicate_app(node))

    with pytest.raises(TypeError) as e:
        Frozen().visit(Not(P(x)))
    assert str(e.value) == "Expected set, got frozenset"
    with pytest.raises(TypeError) as e:
        Frozen().visit(Forall(x, P(x)))
    assert str(e.value) == "Expected set, got frozenset"
    assert Frozen().visit(And(Equality(c, c), P(x))) == {x}  # set | frozenset is a set


def test_arguments_accept_any_collection_of_variables():
    class Listing(FreeVariableCollector):
        def visit_variable(self, node):
            return [node, node]

    assert Listing().visit(P(x, f(y))) == {x, y}


@pytest.mark.parametrize(
    "visitor, node, exc, text",
    [
        (SizeVisitor, And(P(c), Q()), TypeError, "unsupported operand type(s) for +: 'int' and 'str'"),
        (DepthVisitor, P(c, x), TypeError, "'>' not supported between instances of 'int' and 'str'"),
        (FreeVariableCollector, And(P(c), Q()), TypeError, "'int' object is not iterable"),
    ],
)
def test_host_errors_pass_through(visitor, node, exc, text):
    class Odd(visitor):
        def visit_constant(self, node):
            return "text" if visitor is not FreeVariableCollector else 3

        def visit_variable(self, node):
            return 1

    with pytest.raises(exc) as e:
        Odd().visit(node)
    assert str(e.value) == text


def test_big_integers_and_int_subclasses_keep_python_arithmetic():
    class Big(SizeVisitor):
        def visit_constant(self, node):
            return 2**70

    assert Big().visit(P(c, c)) == 2**71 + 1

    class Flag(DepthVisitor):
        def visit_constant(self, node):
            return True

    assert Flag().visit(P(c)) == 2


ORDER_ROOT = Forall(x, And(P(y), Equality(c, x)))


@pytest.mark.parametrize(
    "cls, expected",
    [
        (SizeVisitor, [ORDER_ROOT, x, ORDER_ROOT.body, P(y), y, Equality(c, x), c, x]),
        (FreeVariableCollector, [ORDER_ROOT, ORDER_ROOT.body, P(y), y, Equality(c, x), c, x]),
        (DepthVisitor, [ORDER_ROOT, ORDER_ROOT.body, P(y), y, Equality(c, x), c, x]),
    ],
)
def test_children_are_visited_in_field_order(cls, expected):
    order = []

    class Trace(cls):
        def visit(self, node):
            order.append(node)
            return super().visit(node)

    Trace().visit(ORDER_ROOT)
    assert order == expected


def test_symbols_are_never_visited():
    class Loud(SizeVisitor):
        def visit(self, node):
            assert node is not X
            return super().visit(node)

    app = PredicateApp(X, 1, (x,))
    assert Loud().visit(ForallPred(X, app)) == 3


# ---------------------------------------------------------------- laws against an independent model


def ref_depth(n):
    if isinstance(n, (Variable, Constant)):
        return 1
    if isinstance(n, (FunctionApp, PredicateApp)):
        return 1 + max((ref_depth(a) for a in n.args), default=0)
    if isinstance(n, Not):
        return 1 + ref_depth(n.operand)
    if isinstance(n, (Forall, Exists)):
        return 1 + ref_depth(n.body)
    return 1 + max(ref_depth(n.left), ref_depth(n.right))


def ref_size(n):
    if isinstance(n, (Variable, Constant)):
        return 1
    if isinstance(n, (FunctionApp, PredicateApp)):
        return 1 + sum(ref_size(a) for a in n.args)
    if isinstance(n, Not):
        return 1 + ref_size(n.operand)
    if isinstance(n, (Forall, Exists)):
        return 2 + ref_size(n.body)
    return 1 + ref_size(n.left) + ref_size(n.right)


def ref_free(n, bound=frozenset()):
    if isinstance(n, Variable):
        return set() if n in bound else {n}
    if isinstance(n, Constant):
        return set()
    if isinstance(n, (FunctionApp, PredicateApp)):
        return set().union(*(ref_free(a, bound) for a in n.args))
    if isinstance(n, Not):
        return ref_free(n.operand, bound)
    if isinstance(n, (Forall, Exists)):
        return ref_free(n.body, bound | {n.variable})
    return ref_free(n.left, bound) | ref_free(n.right, bound)


@settings(max_examples=300, deadline=None)
@given(st.one_of(formulas(max_leaves=16), terms(max_leaves=10)))
def test_metrics_agree_with_an_independent_computation(node):
    assert DepthVisitor().visit(node) == ref_depth(node)
    assert SizeVisitor().visit(node) == ref_size(node)
    assert FreeVariableCollector().visit(node) == ref_free(node)


@settings(max_examples=100, deadline=None)
@given(formulas(max_leaves=12))
def test_python_subclass_overriding_one_handler_changes_only_that_kind(node):
    class Heavy(SizeVisitor):
        def visit_constant(self, n):
            return 1000

    constants = ref_size(node) - SizeVisitor().visit(node)  # 0: the sizes agree
    assert constants == 0
    count = [0]

    def walk(n):
        if isinstance(n, Constant):
            count[0] += 1
        for field in ("args",):
            for a in getattr(n, field, ()):
                walk(a)
        for field in ("left", "right", "operand", "body"):
            if hasattr(n, field):
                walk(getattr(n, field))

    walk(node)
    assert Heavy().visit(node) == SizeVisitor().visit(node) + 999 * count[0]
