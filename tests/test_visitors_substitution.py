"""SubstitutionTransformer: capture-avoiding simultaneous substitution."""

from __future__ import annotations

from collections import OrderedDict

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from strategies import formulas, terms, variables

from kelvara.core.ast import (
    And,
    Constant,
    Exists,
    Forall,
    FunctionApp,
    Not,
    PredicateApp,
    Variable,
    VariableKind,
    free_variables,
)
from kelvara.core.sorts import Nat
from kelvara.core.visitors import FreeVariableCollector, SubstitutionTransformer
from kelvara.sol.ast_ext import ExistsPred, ForallPred, PredicateVariable

x, y, z = Variable(1), Variable(2), Variable(5)
c = Constant("c")


def P(*args):
    return PredicateApp("P", len(args), tuple(args))


def Q(*args):
    return PredicateApp("Q", len(args), tuple(args))


def f(*args):
    return FunctionApp("f", len(args), tuple(args))


def sub(mapping, node):
    return SubstitutionTransformer(mapping).visit(node)


@pytest.mark.parametrize("quant", [Forall, Exists])
def test_capture_renames_to_one_above_the_ids_in_view(quant):
    fresh = Variable(3)
    out = sub({y: f(x)}, quant(x, P(x, y)))
    assert type(out) is quant
    assert out == quant(fresh, P(fresh, f(x)))


def test_capture_test_ignores_whether_the_key_occurs():
    out = sub({y: f(x)}, Forall(x, Q(x)))
    assert out == Forall(Variable(3), Q(Variable(3)))


def test_fresh_variable_keeps_sort_and_kind_of_the_binder():
    b = Variable(1, VariableKind.PREDICATE, sort=Nat)
    out = sub({y: f(b)}, Forall(b, P(b)))
    assert out.variable == Variable(3, VariableKind.PREDICATE, sort=Nat)


def test_fresh_id_counts_keys_and_replacements():
    far = Variable(40)
    out = sub({far: c, y: x}, Forall(x, P(x, Variable(9))))
    assert out.variable == Variable(41)
    out = sub({y: f(x, Variable(60))}, Forall(x, P(x)))
    assert out.variable == Variable(61)


def test_no_capture_drops_the_binders_entry_and_rebuilds():
    node = Forall(x, P(x, y))
    out = sub({x: z}, node)
    assert out == node and out is not node
    assert out.variable is x


def test_substitution_under_a_quantifier():
    assert sub({y: z}, Forall(x, P(x, y))) == Forall(x, P(x, z))


def test_binders_own_entry_has_no_effect_when_renaming():
    out = sub({x: c, y: f(x)}, Forall(x, P(x, y)))
    assert out == Forall(Variable(3), P(Variable(3), f(x)))


def test_empty_mapping_rebuilds_quantifiers_only():
    inner = P(x)
    node = And(Forall(x, inner), Q(y))
    out = sub({}, node)
    assert out == node and out is not node
    assert out.right is node.right and out.left is not node.left and out.left.body is inner
    plain = And(P(x), Not(Q(y)))
    assert sub({}, plain) is plain
    assert sub({z: c}, plain) is plain


def test_replacement_is_returned_by_reference():
    t = f(c)
    assert sub({x: t}, x) is t
    assert sub({x: t}, y) is y
    assert sub({x: t}, P(x)).args[0] is t


def test_second_order_quantifiers_never_rename():
    X = PredicateVariable(0, 1)
    out = sub({y: f(x)}, ForallPred(X, Forall(x, P(x, y))))
    assert type(out) is ForallPred and out.variable is X
    assert out.body == Forall(Variable(3), P(Variable(3), f(x)))
    assert sub({y: x}, ExistsPred(X, P(y))) == ExistsPred(X, P(x))


def test_inner_binder_equal_to_the_fresh_variable_is_renamed_again():
    three = Variable(3)
    out = sub({y: f(x)}, Forall(x, Exists(three, P(x, y, three))))
    assert out.variable == three
    inner = out.body
    assert inner.variable not in (x, three)
    assert inner.body == P(three, f(x), inner.variable)


@pytest.mark.parametrize(
    "bad, name",
    [
        (None, "NoneType"),
        ([], "list"),
        (OrderedDict(), "collections.OrderedDict"),
        (type("D", (dict,), {})(), "D"),
        (frozenset(), "frozenset"),
    ],
)
def test_mapping_must_be_exactly_a_dict(bad, name):
    with pytest.raises(TypeError) as e:
        SubstitutionTransformer(bad)
    assert str(e.value) == f"Argument 'mapping' has incorrect type (expected dict, got {name})"


def test_mapping_is_held_not_copied():
    m = {}
    t = SubstitutionTransformer(m)
    assert t.mapping is m
    m[x] = c
    assert t.visit(P(x)) == P(c)
    assert m == {x: c}


def test_overridden_collector_takes_part():
    class Blind(FreeVariableCollector):
        def visit_variable(self, node):
            return set()

    import kelvara.core.visitors as V

    saved = V.FreeVariableCollector
    V.FreeVariableCollector = Blind
    try:
        out = sub({y: f(x)}, Forall(x, P(x, y)))
    finally:
        V.FreeVariableCollector = saved
    assert out == Forall(x, P(x, f(x)))  # the blind collector sees no capture


# ---------------------------------------------------------------- laws


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


mappings = st.dictionaries(variables(), terms(max_leaves=4), max_size=3)


@settings(max_examples=300, deadline=None)
@given(formulas(max_leaves=12), mappings)
def test_free_variables_after_substitution(node, mapping):
    # fv(node[mapping]) = (fv(node) - keys) | union of fv(mapping[k]) for free keys k:
    # no free variable of a replacement is captured, and no other variable appears.
    out = SubstitutionTransformer(mapping).visit(node)
    free = ref_free(node)
    expected = {v for v in free if v not in mapping}
    for k in free & set(mapping):
        expected |= ref_free(mapping[k])
    assert ref_free(out) == expected
    assert free_variables(out) == expected


@settings(max_examples=200, deadline=None)
@given(formulas(max_leaves=12), mappings)
def test_input_and_mapping_are_unchanged(node, mapping):
    before = dict(mapping)
    snapshot = repr(node)
    SubstitutionTransformer(mapping).visit(node)
    assert mapping == before and list(mapping) == list(before)
    assert repr(node) == snapshot


@settings(max_examples=200, deadline=None)
@given(formulas(max_leaves=12, quantifiers=False), mappings)
def test_quantifier_free_formulas_substitute_pointwise(node, mapping):
    def ref(n):
        if isinstance(n, Variable):
            return mapping.get(n, n)
        if isinstance(n, Constant):
            return n
        if isinstance(n, FunctionApp):
            return FunctionApp(n.func, n.arity, tuple(ref(a) for a in n.args), n.return_sort)
        if isinstance(n, PredicateApp):
            return PredicateApp(n.pred, n.arity, tuple(ref(a) for a in n.args))
        if isinstance(n, Not):
            return Not(ref(n.operand))
        return type(n)(ref(n.left), ref(n.right))

    assert SubstitutionTransformer(mapping).visit(node) == ref(node)
