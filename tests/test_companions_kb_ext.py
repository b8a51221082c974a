"""Induction instances."""

import pytest

from kelvara.core.ast import (
    And,
    Constant,
    Exists,
    Forall,
    FunctionApp,
    Implies,
    PredicateApp,
    Variable,
    VariableKind,
)
from kelvara.core.sorts import Ind, Nat
from kelvara.prover.clausifier import to_cnf
from kelvara.sol.kb_ext import instantiate_induction

n = Variable(0, sort=Nat)
m = Variable(3, sort=Nat)


def P(*args):
    return PredicateApp("P", len(args), tuple(args))


def s(t):
    return FunctionApp("s", 1, (t,), t.sort)


@pytest.mark.parametrize("sort", [Nat, Ind])
def test_instance_shape(sort):
    v = Variable(2, sort=sort)
    w = Variable(7, sort=sort)
    body = PredicateApp("Q", 2, (v, w))
    step = Variable(8, sort=sort)
    zero = Constant("0", sort=sort)
    expected = Implies(
        And(
            PredicateApp("Q", 2, (zero, w)),
            Forall(step, Implies(PredicateApp("Q", 2, (step, w)), PredicateApp("Q", 2, (s(step), w)))),
        ),
        Forall(v, body),
    )
    assert instantiate_induction(body, v) == expected


def test_step_variable_exceeds_bound_ids_and_keeps_kind():
    body = Forall(Variable(9, sort=Nat), P(n, Variable(9, sort=Nat)))
    inst = instantiate_induction(body, n)
    step = inst.left.right.variable
    assert step.id == 10 and step.sort is Nat and step.kind is VariableKind.INDIVIDUAL


def test_only_free_occurrences_are_replaced():
    body = And(P(n), Exists(n, P(n)))
    inst = instantiate_induction(body, n)
    assert inst.left.left == And(P(Constant("0", sort=Nat)), Exists(n, P(n)))


def test_body_without_variable_gives_trivial_premises():
    body = P(m)
    inst = instantiate_induction(body, n)
    assert inst.left.left == body
    assert inst.right == Forall(n, body)


def test_rejects_non_variable():
    with pytest.raises(TypeError) as info:
        instantiate_induction(P(n), Constant("c"))
    assert str(info.value) == "induction variable must be a Variable, got Constant"


def test_instance_clausifies():
    clauses = to_cnf(instantiate_induction(P(n), n))
    texts = sorted(str(c) for c in clauses)
    # ~P(0) | P(sk0) | P(x), ~P(0) | ~P(s(sk0)) | P(x)
    assert len(texts) == 2
    assert all("~P(0)" in t for t in texts)
    assert any("~P(s(sk0))" in t for t in texts)
    assert any("P(sk0)" in t.split(" | ") for t in texts)
