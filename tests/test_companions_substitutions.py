"""Unification and substitution of terms and formulas."""

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
    Not,
    PredicateApp,
    Variable,
    VariableKind,
    free_variables,
)
from kelvara.core.sorts import Ind, Nat
from kelvara.core.substitutions import (
    UnificationError,
    max_variable_id,
    substitute_formula,
    substitute_term,
    unify_formulas,
    unify_terms,
)
from kelvara.sol.ast_ext import ForallPred, PredicateVariable

from twins import IMPLEMENTATIONS, use_implementation
from strategies import MAX_VAR_ID, formulas, substitutions, terms, variables

@pytest.fixture(autouse=True, params=IMPLEMENTATIONS)
def implementation(request, monkeypatch):
    """Every test of this module runs against the Python reference and the native twin."""
    use_implementation(request.param, monkeypatch, globals())
    return request.param



x, y, z = Variable(0), Variable(1), Variable(2)
n = Variable(0, sort=Nat)
a, b = Constant("a"), Constant("b")
zero = Constant("0", sort=Nat)


def f(*args):
    return FunctionApp("f", len(args), tuple(args))


def g(*args):
    return FunctionApp("g", len(args), tuple(args))


def P(*args):
    return PredicateApp("P", len(args), tuple(args))


@pytest.mark.parametrize(
    "t1,t2,expected",
    [
        (x, a, {x: a}),
        (a, x, {x: a}),
        (x, x, {}),
        (a, a, {}),
        (f(x, a), f(b, y), {x: b, y: a}),
        (f(x, g(x)), f(g(y), z), {x: g(y), z: g(g(y))}),
        (f(x, y), f(y, a), {x: a, y: a}),
        (g(f(x)), g(f(f(a))), {x: f(a)}),
        (n, zero, {n: zero}),
    ],
)
def test_unify_terms_known_unifiers(t1, t2, expected):
    assert unify_terms(t1, t2) == expected


@pytest.mark.parametrize(
    "t1,t2,fragment",
    [
        (x, f(x), "occurs check"),
        (f(x, y), f(y, g(x)), "occurs check"),
        (a, b, "cannot unify"),
        (f(a), g(a), "symbol clash"),
        (f(a), f(a, a), "symbol clash"),
        (FunctionApp("f", 1, (a,), Nat), f(a), "symbol clash"),
        (a, f(a), "cannot unify"),
        (x, n, "sort mismatch"),
        (n, a, "sort mismatch"),
        (Variable(0, VariableKind.PREDICATE), FunctionApp("f", 0, (), Nat), "sort mismatch"),
    ],
)
def test_unify_terms_failures(t1, t2, fragment):
    with pytest.raises(UnificationError) as info:
        unify_terms(t1, t2)
    assert fragment in str(info.value)


def test_variables_of_same_id_and_different_kind_are_distinct():
    xp = Variable(0, VariableKind.PREDICATE)
    assert unify_terms(f(x, xp), f(a, b)) == {x: a, xp: b}


def test_unify_extends_given_substitution_without_mutating_it():
    start = {x: a}
    result = unify_terms(f(x, y), f(z, x), start)
    assert start == {x: a}
    assert result == {x: a, z: a, y: a}
    with pytest.raises(UnificationError):
        unify_terms(x, b, start)


@pytest.mark.parametrize(
    "a1,a2,expected",
    [
        (P(x, a), P(b, y), {x: b, y: a}),
        (Equality(x, a), Equality(b, y), {x: b, y: a}),
        (PredicateApp("R", 0, ()), PredicateApp("R", 0, ()), {}),
    ],
)
def test_unify_formulas_atoms(a1, a2, expected):
    assert unify_formulas(a1, a2) == expected


@pytest.mark.parametrize(
    "a1,a2",
    [
        (P(x), PredicateApp("Q", 1, (x,))),
        (P(x), P(x, y)),
        (P(x), Equality(x, x)),
        (Equality(x, a), Equality(b, x)),  # left/left, right/right only
        (Not(P(x)), Not(P(x))),
        (P(x), P(f(x))),
    ],
)
def test_unify_formulas_failures(a1, a2):
    with pytest.raises(UnificationError):
        unify_formulas(a1, a2)


def _is_idempotent_unifier(sigma, t1, t2, subst_fn):
    domain = set(sigma)
    for v in sigma.values():
        assert domain.isdisjoint(free_variables(v))
    for k, v in sigma.items():
        assert k.sort is v.sort
        assert k != v
    assert subst_fn(t1, sigma) == subst_fn(t2, sigma)


@settings(max_examples=300)
@given(terms(), terms())
def test_unifier_is_idempotent_and_unifies(t1, t2):
    try:
        sigma = unify_terms(t1, t2)
    except UnificationError:
        return
    _is_idempotent_unifier(sigma, t1, t2, substitute_term)


@settings(max_examples=300)
@given(terms(), substitutions(values=terms(ground=True, max_leaves=4)))
def test_term_unifies_with_its_ground_instance_by_that_instance(t, theta):
    instance = substitute_term(t, theta)
    sigma = unify_terms(t, instance)
    _is_idempotent_unifier(sigma, t, instance, substitute_term)
    fv = free_variables(t)
    assert sigma == {k: v for k, v in theta.items() if k in fv}


@given(variables(), terms())
def test_occurs_check(v, t):
    wrapped = FunctionApp("h", 2, (t, v), v.sort)
    with pytest.raises(UnificationError) as info:
        unify_terms(v, wrapped)
    assert "occurs check" in str(info.value)
    with pytest.raises(UnificationError):
        unify_terms(wrapped, v)


@given(st.lists(st.tuples(terms(), terms()), min_size=1, max_size=3))
def test_unify_formulas_agrees_with_argumentwise_unification(pairs):
    lefts = tuple(p[0] for p in pairs)
    rights = tuple(p[1] for p in pairs)
    a1 = PredicateApp("P", len(lefts), lefts)
    a2 = PredicateApp("P", len(rights), rights)
    try:
        sigma = unify_formulas(a1, a2)
    except UnificationError:
        with pytest.raises(UnificationError):
            unify_terms(FunctionApp("t", len(lefts), lefts), FunctionApp("t", len(rights), rights))
        return
    _is_idempotent_unifier(sigma, a1, a2, substitute_formula)


# --- substitution ----------------------------------------------------------


def test_substitute_term_shares_unchanged_parts():
    t = f(g(a), x)
    out = substitute_term(t, {x: b})
    assert out == f(g(a), b)
    assert out.args[0] is t.args[0]
    assert substitute_term(t, {y: b}) is t
    assert substitute_term(t, {}) is t
    assert substitute_term(a, {x: b}) is a


def test_substitution_is_simultaneous():
    assert substitute_term(f(x, y), {x: y, y: x}) == f(y, x)
    assert substitute_formula(P(x, y), {x: y, y: x}) == P(y, x)


@pytest.mark.parametrize(
    "formula,mapping,expected",
    [
        (Forall(x, P(x, y)), {x: a}, Forall(x, P(x, y))),
        (Forall(x, P(x, y)), {y: a}, Forall(x, P(x, a))),
        (And(P(x), Exists(x, P(x))), {x: a}, And(P(a), Exists(x, P(x)))),
        (Not(Equality(x, f(y))), {y: b}, Not(Equality(x, f(b)))),
        (Forall(y, P(y)), {x: y}, Forall(y, P(y))),  # x not free: no renaming
    ],
)
def test_substitute_formula_cases(formula, mapping, expected):
    assert substitute_formula(formula, mapping) == expected


def test_substitute_formula_avoids_capture_with_fresh_id():
    formula = Forall(y, P(x, y, Variable(7)))
    out = substitute_formula(formula, {x: f(y)})
    assert type(out) is Forall
    fresh = out.variable
    assert fresh.id == 8 and fresh.sort is Ind and fresh.kind is VariableKind.INDIVIDUAL
    assert out.body == P(f(y), fresh, Variable(7))


def test_substitute_formula_returns_identical_object_when_unchanged():
    formula = And(Forall(x, P(x)), Not(P(y)))
    assert substitute_formula(formula, {x: a}) is formula
    assert substitute_formula(formula, {z: a}) is formula
    changed = substitute_formula(formula, {y: a})
    assert changed.left is formula.left


def test_substitute_formula_goes_through_second_order_body():
    p = PredicateVariable(0, 1)
    node = ForallPred(p, And(PredicateApp(p, 1, (x,)), P(y)))
    out = substitute_formula(node, {y: a})
    assert type(out) is ForallPred and out.variable is p
    assert out.body == And(PredicateApp(p, 1, (x,)), P(a))
    assert substitute_formula(node, {z: a}) is node


@settings(max_examples=300)
@given(formulas(), st.integers(0, MAX_VAR_ID), terms(max_leaves=4))
def test_substitution_free_variable_law(formula, vid, t):
    v = Variable(vid, sort=t.sort)  # a variable of the term's sort, drawn without rejection
    out = substitute_formula(formula, {v: t})
    before = free_variables(formula)
    if v in before:
        assert free_variables(out) == (before - {v}) | free_variables(t)
    else:
        assert out is formula


@given(formulas())
def test_renaming_round_trip(formula):
    top = max_variable_id(formula)
    fv = free_variables(formula)
    forward = {v: Variable(v.id + top + 1, v.kind, sort=v.sort) for v in fv}
    back = {w: v for v, w in forward.items()}
    assert substitute_formula(substitute_formula(formula, forward), back) == formula
