"""Higher-order pattern matching and predicate substitution."""

import pytest
from hypothesis import given, settings

from kelvara.core.ast import (
    And,
    Constant,
    Equality,
    Exists,
    Forall,
    FunctionApp,
    Implies,
    Not,
    Or,
    PredicateApp,
    Variable,
    canonicalize_bound_variables,
    free_variables,
)
from kelvara.core.exceptions import InvalidFormulaError
from kelvara.core.sorts import Nat
from kelvara.sol.ast_ext import ExistsPred, ForallPred, PredicateVariable
from kelvara.sol.substitutions_ext import ho_pattern_unify, substitute_predicate

from strategies import atoms, formulas, terms

x, y, n = Variable(0), Variable(1), Variable(5)
a, b = Constant("a"), Constant("b")
Pv = PredicateVariable(0, 1)
Rv = PredicateVariable(1, 2, "R")


def app(p, *args):
    return PredicateApp(p, len(args), tuple(args))


def Q(*args):
    return PredicateApp("Q", len(args), tuple(args))


def test_pattern_with_explicit_bound_variable():
    target = And(Q(n, a), Q(b))
    assert ho_pattern_unify(app(Pv, n), target, bound_vars={n}) == {Pv: ((n,), target)}


def test_unrelated_target_variable_is_rigid():
    assert ho_pattern_unify(app(Pv, n), Q(x), bound_vars={n}) == {Pv: ((n,), Q(x))}


def test_quantifiers_are_aligned_to_template_variables():
    template = Forall(n, app(Pv, n))
    result = ho_pattern_unify(template, Forall(x, Or(Q(x, a), Q(b))))
    assert result == {Pv: ((n,), Or(Q(n, a), Q(b)))}


def test_alignment_when_template_variable_is_free_in_target():
    # x = Variable(0) is free in the target: the binders are renamed to a fresh variable.
    template = Forall(y, app(Pv, y))
    target = Forall(n, Q(n, y))
    result = ho_pattern_unify(template, target)
    (params, body) = result[Pv]
    (c,) = params
    assert c.id > 5
    assert body == Q(c, y)


@pytest.mark.parametrize(
    "template,target,bound",
    [
        (Forall(n, app(Pv, n)), Exists(n, Q(n)), None),  # quantifier class differs
        (Forall(n, app(PredicateVariable(0, 0))), Forall(x, Q(x)), None),  # bound x escapes
        (And(app(Pv, n), app(Pv, n)), And(Q(n), Q(a)), {n}),  # inconsistent bindings
        (And(app(Pv, n), Q(a)), And(Q(n), Q(b)), {n}),  # rigid part differs
        (Q(x), Q(Variable(0, sort=Nat)), None),  # first-order sort clash
        (And(Q(x), Q(x)), And(Q(a), Q(b)), None),  # first-order variable used twice
        (Forall(n, Q(x)), Forall(y, Q(y)), None),  # match variable cannot take a bound variable
        (app(Pv, n), x, {n}),  # a term is no formula
    ],
)
def test_pattern_match_failures(template, target, bound):
    assert ho_pattern_unify(template, target, bound_vars=bound) is None


def test_first_order_part_and_consistent_repeats():
    template = And(app(Pv, n), Or(app(Pv, n), Q(y)))
    target = And(Q(n, n), Or(Q(n, n), Q(FunctionApp("f", 1, (a,)))))
    assert ho_pattern_unify(template, target, bound_vars={n}) == {
        Pv: ((n,), Q(n, n)),
        y: FunctionApp("f", 1, (a,)),
    }


def test_non_pattern_application_is_rigid():
    assert ho_pattern_unify(app(Pv, a), app(Pv, a)) == {}
    assert ho_pattern_unify(app(Pv, a), Q(a)) is None


def test_predicate_bound_in_template_is_rigid():
    template = ForallPred(Pv, app(Pv, n))
    assert ho_pattern_unify(template, ForallPred(Pv, app(Pv, n)), bound_vars={n}) == {}
    assert ho_pattern_unify(template, ForallPred(Pv, Q(n)), bound_vars={n}) is None


def test_binary_pattern():
    template = Forall(x, Forall(y, app(Rv, y, x)))
    target = Forall(n, Forall(Variable(6), Q(n, Variable(6))))
    assert ho_pattern_unify(template, target) == {Rv: ((y, x), Q(x, y))}


# --- substitute_predicate --------------------------------------------------


def test_beta_reduction():
    formula = And(app(Pv, a), Forall(x, app(Pv, FunctionApp("f", 1, (x,)))))
    out = substitute_predicate(formula, {Pv: ((n,), Q(n, b))})
    assert out == And(Q(a, b), Forall(x, Q(FunctionApp("f", 1, (x,)), b)))


def test_beta_reduction_avoids_capture_of_binding_variables():
    formula = Forall(y, app(Pv, y))
    out = substitute_predicate(formula, {Pv: ((n,), Q(n, y))})
    fresh = out.variable
    assert fresh != y and fresh.id > 5
    assert out.body == Q(fresh, y)
    assert free_variables(out) == {y}


def test_beta_reduction_inside_body_is_capture_avoiding():
    body = Exists(x, Q(n, x))
    out = substitute_predicate(app(Pv, x), {Pv: ((n,), body)})
    assert type(out) is Exists and out.variable != x
    assert out.body == Q(x, out.variable)


def test_bare_formula_binding_ignores_arguments():
    formula = Or(app(Pv, a), Q(b))
    assert substitute_predicate(formula, {Pv: Q(a, a)}) == Or(Q(a, a), Q(b))


@pytest.mark.parametrize(
    "binding,exc,message",
    [
        (42, TypeError, "binding for P0 must be a pair (parameters, body) or a Formula, got int"),
        (((n,), a), TypeError, "body of the binding for P0 must be a Formula, got Constant"),
        (((n, y), Q(n)), InvalidFormulaError,
         "Predicate variable P0 is bound to an abstraction of 2 parameters but applied to 1 arguments."),
    ],
)
def test_bad_bindings(binding, exc, message):
    with pytest.raises(exc) as info:
        substitute_predicate(app(Pv, a), {Pv: binding})
    assert str(info.value) == message


def test_second_order_binder_shadows_mapping():
    inner = ForallPred(Pv, app(Pv, a))
    formula = And(app(Pv, b), inner)
    out = substitute_predicate(formula, {Pv: ((n,), Q(n))})
    assert out == And(Q(b), inner)
    assert out.right is inner


def test_unmapped_formula_is_returned_unchanged():
    formula = Forall(x, Implies(Q(x), Not(Equality(x, a))))
    assert substitute_predicate(formula, {Pv: ((n,), Q(n))}) is formula
    assert substitute_predicate(formula, {}) is formula


def _alpha_equal(f1, f2):
    return canonicalize_bound_variables(f1) == canonicalize_bound_variables(f2)


@settings(max_examples=200)
@given(formulas(atoms(terms(max_leaves=3)), max_leaves=5))
def test_match_then_substitute_recovers_target(phi):
    template = Forall(n, app(Pv, n))
    target = Forall(x, phi)
    result = ho_pattern_unify(template, target)
    assert result is not None and set(result) == {Pv}
    assert _alpha_equal(substitute_predicate(template, result), target)


@settings(max_examples=200)
@given(formulas(atoms(terms(max_leaves=3)), max_leaves=5))
def test_rigid_template_matches_itself(phi):
    result = ho_pattern_unify(phi, phi)
    assert result is not None
    for key, value in result.items():
        assert key == value  # every free variable matches itself
    assert _alpha_equal(substitute_predicate(phi, result), phi)
