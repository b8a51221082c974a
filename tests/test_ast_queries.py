"""Structural queries and canonical renaming of bound variables."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kelvara.core.ast import (
    And,
    Constant,
    Equality,
    Exists,
    Forall,
    FunctionApp,
    Iff,
    Implies,
    InvalidFormulaError,
    Not,
    Or,
    PredicateApp,
    Variable,
    VariableKind,
    bound_variables,
    canonicalize_bound_variables,
    formula_depth,
    formula_size,
    free_variables,
)
from kelvara.core.sorts import Nat
from kelvara.sol.ast_ext import ForallPred, PredicateVariable

from strategies import formulas

x, y, z = Variable(1), Variable(2), Variable(5)
a = Constant("a")


def P(*args):
    return PredicateApp("P", len(args), tuple(args))


def Q(*args):
    return PredicateApp("Q", len(args), tuple(args))


def f(*args):
    return FunctionApp("f", len(args), tuple(args))


# ---- an independent model of the four queries, written from their definitions


def ref_free(n):
    if isinstance(n, Variable):
        return {n}
    if isinstance(n, Constant):
        return set()
    if isinstance(n, FunctionApp):
        return set().union(*(ref_free(t) for t in n.args))
    if isinstance(n, PredicateApp):
        return set().union(*(ref_free(t) for t in n.args))
    if isinstance(n, Equality):
        return ref_free(n.left) | ref_free(n.right)
    if isinstance(n, Not):
        return ref_free(n.operand)
    if isinstance(n, (And, Or, Implies, Iff)):
        return ref_free(n.left) | ref_free(n.right)
    if isinstance(n, (Forall, Exists)):
        return ref_free(n.body) - {n.variable}
    return ref_free(n.body)


def ref_bound(n):
    if isinstance(n, Not):
        return ref_bound(n.operand)
    if isinstance(n, (And, Or, Implies, Iff)):
        return ref_bound(n.left) | ref_bound(n.right)
    if isinstance(n, (Forall, Exists)):
        return {n.variable} | ref_bound(n.body)
    return set()


def ref_term_size(t):
    return 1 + sum(ref_term_size(s) for s in t.args) if isinstance(t, FunctionApp) else 1


def ref_size(n):
    if isinstance(n, PredicateApp):
        return 1 + sum(ref_term_size(t) for t in n.args)
    if isinstance(n, Equality):
        return 1 + ref_term_size(n.left) + ref_term_size(n.right)
    if isinstance(n, Not):
        return 1 + ref_size(n.operand)
    if isinstance(n, (And, Or, Implies, Iff)):
        return 1 + ref_size(n.left) + ref_size(n.right)
    return 2 + ref_size(n.body)


def ref_depth(n):
    if isinstance(n, (PredicateApp, Equality)):
        return 1
    if isinstance(n, Not):
        return 1 + ref_depth(n.operand)
    if isinstance(n, (And, Or, Implies, Iff)):
        return 1 + max(ref_depth(n.left), ref_depth(n.right))
    return 1 + ref_depth(n.body)


@settings(max_examples=300, deadline=None)
@given(formulas(max_leaves=12))
def test_queries_agree_with_reference(g):
    assert free_variables(g) == ref_free(g)
    assert bound_variables(g) == ref_bound(g)
    assert formula_size(g) == ref_size(g)
    assert formula_depth(g) == ref_depth(g)


@pytest.mark.parametrize(
    "node, free, bound, depth, size",
    [
        (P(x, f(y)), {x, y}, set(), 1, 4),
        (Forall(x, P(x, y)), {y}, {x}, 2, 5),
        (And(P(x), Forall(x, Q(x))), {x}, {x}, 3, 7),
        (Forall(x, P(x)), set(), {x}, 2, 4),
        (PredicateApp("R", 0, ()), set(), set(), 1, 1),
        (And(P(x), Forall(x, Not(Q(x)))), {x}, {x}, 4, 8),
        (Not(P(x)), {x}, set(), 2, 3),
    ],
)
def test_worked_values(node, free, bound, depth, size):
    assert free_variables(node) == free
    assert bound_variables(node) == bound
    assert formula_depth(node) == depth
    assert formula_size(node) == size


def test_results_are_fresh_sets():
    atom = P(x, y)
    s = free_variables(atom)
    assert type(s) is set
    s.add(z)
    assert atom._free_vars == {x, y} and free_variables(atom) == {x, y}
    assert free_variables(x) == {x} and free_variables(a) == set()
    assert free_variables(x) is not free_variables(x)


def test_quantifier_removes_only_its_own_variable():
    other_sort = Variable(1, sort=Nat)
    other_kind = Variable(1, VariableKind.PREDICATE)
    g = Forall(x, P(x, other_sort, other_kind))
    assert free_variables(g) == {other_sort, other_kind}


def test_terms_are_accepted_by_variable_queries_only():
    assert free_variables(Not(x)) == {x}
    assert bound_variables(f(x)) == set()
    for q in (formula_depth, formula_size):
        with pytest.raises(InvalidFormulaError) as info:
            q(x)
        assert str(info.value) == "Expected Formula, got <class 'kelvara.core.ast.Variable'>"
    with pytest.raises(InvalidFormulaError, match=r"^Expected Term, got <class 'int'>$"):
        formula_size(Forall(3, P(x)))


class Opaque:
    pass


@pytest.mark.parametrize("query", [free_variables, bound_variables])
def test_unknown_classes_in_variable_queries(query):
    with pytest.raises(InvalidFormulaError) as info:
        query(And(P(x), Opaque()))
    assert str(info.value) == f"Unsupported AST node type: {Opaque!r}"


@pytest.mark.parametrize("query", [formula_depth, formula_size])
def test_unknown_classes_in_measures(query):
    with pytest.raises(InvalidFormulaError, match=r"^Expected Formula, got <class 'NoneType'>$"):
        query(Not(None))


def test_second_order_nodes_are_handled_through_their_body():
    X = PredicateVariable(0, 1)
    g = ForallPred(variable=X, body=And(P(x), Forall(y, Q(y))))
    assert free_variables(g) == {x}
    assert bound_variables(g) == {y}
    assert formula_depth(g) == 4
    assert formula_size(g) == 1 + 3 + 4

    class ForallFunc:  # recognised by its class name alone
        def __init__(self, variable, body):
            self.variable, self.body = variable, body

    assert free_variables(ForallFunc(None, P(z))) == {z}
    c = canonicalize_bound_variables(ForallFunc(variable="F", body=Forall(z, P(z))))
    assert type(c) is ForallFunc and c.variable == "F" and c.body == Forall(Variable(0), P(Variable(0)))


def test_objects_with_a_free_variable_cache():
    class Cached:
        _free_vars = frozenset({z})

    assert free_variables(Cached()) == {z}
    assert FunctionApp("f", 1, (Cached(),))._free_vars == {z}


def test_deep_spines_need_no_recursion():
    n = P(x)
    for i in range(50_000):
        n = Not(n) if i % 2 else Forall(Variable(i + 10), n)
    assert free_variables(n) == {x}
    assert len(bound_variables(n)) == 25_000
    assert formula_depth(n) == 50_001
    assert formula_size(n) == 50_000 + 25_000 + 2


# ---- canonical renaming


def v(i, *args, **kw):
    return Variable(i, *args, **kw)


@pytest.mark.parametrize(
    "before, after",
    [
        (Forall(v(5), Exists(v(7), P(v(5), v(7), v(0)))), Forall(v(1), Exists(v(2), P(v(1), v(2), v(0))))),
        (And(Forall(v(3), P(v(3))), Forall(v(9), Q(v(9)))), And(Forall(v(0), P(v(0))), Forall(v(1), Q(v(1))))),
        (Forall(x, And(P(x), Forall(x, Q(x)))), Forall(v(0), And(P(v(0)), Forall(v(1), Q(v(1)))))),
        (
            And(P(v(0), v(1), v(3)), Forall(v(0), Exists(v(1), Forall(v(8), Q(v(0), v(1), v(8)))))),
            And(P(v(0), v(1), v(3)), Forall(v(2), Exists(v(4), Forall(v(5), Q(v(2), v(4), v(5)))))),
        ),
        (
            Forall(v(2), P(v(2), v(2, sort=Nat))),
            Forall(v(0), P(v(0), v(2, sort=Nat))),
        ),
        (
            Forall(v(4, VariableKind.PREDICATE, sort=Nat), P(v(4, VariableKind.PREDICATE, sort=Nat))),
            Forall(v(0, VariableKind.PREDICATE, sort=Nat), P(v(0, VariableKind.PREDICATE, sort=Nat))),
        ),
    ],
)
def test_canonical_examples(before, after):
    assert canonicalize_bound_variables(before) == after


def test_canonical_rebuilds_atoms_and_keeps_leaves():
    atom = P(x, f(a))
    out = canonicalize_bound_variables(atom)
    assert out == atom and out is not atom and out.args[1] is not atom.args[1]
    assert out.args[0] is x and out.args[1].args[0] is a


def test_canonical_errors():
    with pytest.raises(InvalidFormulaError, match=r"^Unsupported Formula node: <class 'kelvara.core.ast.Variable'>$"):
        canonicalize_bound_variables(x)
    with pytest.raises(InvalidFormulaError, match=r"^Unsupported AST node type: <class 'object'>$"):
        canonicalize_bound_variables(Not(object()))
    opaque = type("Opaque", (), {"_free_vars": frozenset()})()
    assert canonicalize_bound_variables(Equality(x, opaque)).right is opaque


def rename_bound(g, draw_id):
    """Renames every bound variable to a fresh id from `draw_id` (alpha-equivalent result)."""

    def term(t, env):
        if isinstance(t, Variable):
            return env.get(t, t)
        if isinstance(t, FunctionApp):
            return FunctionApp(t.func, t.arity, tuple(term(s, env) for s in t.args), t.return_sort)
        return t

    def form(n, env):
        if isinstance(n, PredicateApp):
            return PredicateApp(n.pred, n.arity, tuple(term(s, env) for s in n.args))
        if isinstance(n, Equality):
            return Equality(term(n.left, env), term(n.right, env))
        if isinstance(n, Not):
            return Not(form(n.operand, env))
        if isinstance(n, (And, Or, Implies, Iff)):
            return type(n)(form(n.left, env), form(n.right, env))
        new = Variable(draw_id(), n.variable.kind, sort=n.variable.sort)
        return type(n)(new, form(n.body, {**env, n.variable: new}))

    return form(g, {})


@settings(max_examples=250, deadline=None)
@given(formulas(max_leaves=10), st.randoms(use_true_random=False))
def test_canonical_guarantees(g, rnd):
    c = canonicalize_bound_variables(g)
    assert canonicalize_bound_variables(c) == c
    assert free_variables(c) == free_variables(g)
    assert hash(c) == hash(canonicalize_bound_variables(g))
    used = iter(rnd.sample(range(100, 10_000), 200))
    alpha = rename_bound(g, lambda: next(used))
    assert canonicalize_bound_variables(alpha) == c
    assert len({c, canonicalize_bound_variables(alpha)}) == 1


@pytest.mark.parametrize(
    "fn, name",
    [(free_variables, "node"), (bound_variables, "node"), (formula_depth, "formula"), (formula_size, "formula"),
     (canonicalize_bound_variables, "formula")],
)
def test_query_arguments_by_keyword(fn, name):
    g = Forall(x, P(x, y))
    assert fn(**{name: g}) == fn(g)
    with pytest.raises(TypeError):
        fn()
    with pytest.raises(TypeError):
        fn(g, g)
    with pytest.raises(TypeError, match="unexpected keyword argument 'other'"):
        fn(other=g)


class OddForall(Forall):
    """A quantifier whose `variable` attribute cannot be hashed."""

    @property
    def variable(self):
        return []


def test_unhashable_bound_variable_fails_after_its_body():
    # free_variables(body) - {variable}: the body's own errors come first.
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        free_variables(OddForall(x, P(x)))
    with pytest.raises(InvalidFormulaError, match="Unsupported AST node type"):
        free_variables(OddForall(x, Not(object())))
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        bound_variables(OddForall(x, P(x)))
