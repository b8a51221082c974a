"""Standardizing apart, binary resolution and factoring."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kelvara.prover.rules as R
import rules_model as M
from kelvara.core.ast import Constant, Equality, FunctionApp, PredicateApp, Variable, VariableKind
from kelvara.core.sorts import Ind, Nat
from kelvara.core.substitutions import UnificationError
from kelvara.prover.clausifier import Clause, Literal
from strategies import atoms, terms

x, y, z = Variable(1), Variable(2), Variable(3)
a, b = Constant("a"), Constant("b")


def P(t):
    return PredicateApp("P", 1, (t,))


def Q(s, t):
    return PredicateApp("Q", 2, (s, t))


def f(t):
    return FunctionApp("f", 1, (t,))


def C(*lits):
    return Clause(frozenset(lits))


def pos(atom):
    return Literal(atom, True)


def neg(atom):
    return Literal(atom, False)


literals = st.builds(Literal, atoms(terms(sorts_=(Ind,), max_leaves=3)), st.booleans())
clauses = st.frozensets(literals, max_size=4).map(Clause)


# ---------------------------------------------------------------- standardizing apart


@pytest.mark.parametrize("c1,c2", [
    (C(pos(P(a))), C(neg(P(b)))),
    (C(pos(P(a))), C(neg(P(x)))),
    (C(pos(P(x))), C(neg(P(a)))),
    (C(), C(pos(P(x)))),
])
def test_standardize_returns_the_inputs_when_one_side_is_ground(c1, c2):
    r1, r2, renaming = R.standardize_clause_variables(c1, c2)
    assert r1 is c1 and r2 is c2
    assert renaming == {} and type(renaming) is dict


def test_standardize_disjoint_variables_still_renames():
    c1, c2 = C(pos(P(Variable(1)))), C(pos(P(Variable(5))))
    r1, r2, renaming = R.standardize_clause_variables(c1, c2)
    assert r1 is c1
    assert renaming == {Variable(5): Variable(11)}
    assert r2 == C(pos(P(Variable(11))))


def test_standardize_keeps_sort_and_kind():
    v = Variable(2, VariableKind.FUNCTION, sort=Nat)
    c2 = C(pos(PredicateApp("N", 2, (v, Variable(0)))))
    _, r2, renaming = R.standardize_clause_variables(C(pos(P(Variable(4)))), c2)
    new = renaming[v]
    assert (new.id, new.sort, new.kind) == (7, Nat, VariableKind.FUNCTION)
    assert renaming[Variable(0)] == Variable(5)
    assert r2 == c2.substitute(renaming)


def test_standardize_renames_every_variable_of_c2_by_keyword():
    r1, r2, renaming = R.standardize_clause_variables(c2=C(pos(Q(x, z))), c1=C(pos(Q(x, y))))
    assert renaming == {x: Variable(5), z: Variable(7)}
    assert r2 == C(pos(Q(Variable(5), Variable(7))))


@settings(max_examples=60, deadline=None)
@given(clauses, clauses)
def test_standardize_matches_the_model(c1, c2):
    got = R.standardize_clause_variables(c1, c2)
    want = M.standardize_clause_variables(c1, c2)
    assert got == want
    assert list(got[2]) == list(want[2])
    _, r2, renaming = got
    ids1 = {v.id for v in c1.free_variables()} | {v.id for v in c2.free_variables()}
    if renaming:
        shifts = {new.id - old.id for old, new in renaming.items()}
        assert len(shifts) == 1
        assert min(new.id for new in renaming.values()) > max(ids1)
        assert not (r2.free_variables() & c1.free_variables())


# ---------------------------------------------------------------- resolution


def test_resolve_unit_clauses():
    l1, l2 = pos(P(x)), neg(P(a))
    [(resolvent, subst, pair)] = R.resolve_clauses(C(l1), C(l2))
    assert resolvent == Clause() and subst == {x: a}
    assert pair[0] is l1 and pair[1] is l2


def test_resolve_names_the_renamed_literal_of_c2():
    l1, l2 = pos(P(x)), neg(P(f(x)))
    [(resolvent, subst, (m1, m2))] = R.resolve_clauses(C(l1), C(l2))
    assert m1 is l1 and m2 == neg(P(f(Variable(3))))
    assert subst == {x: f(Variable(3))}


@pytest.mark.parametrize("c1,c2", [
    (C(pos(P(x))), C(pos(P(a)))),
    (C(neg(P(x))), C(neg(P(a)))),
    (C(pos(P(a))), C(neg(P(b)))),
    (C(pos(Q(x, f(x)))), C(neg(Q(y, y)))),
    (C(pos(Equality(a, b))), C(neg(P(a)))),
    (C(), C(neg(P(a)))),
])
def test_resolve_nothing(c1, c2):
    assert R.resolve_clauses(c1, c2) == []


def test_equal_resolvents_are_reported_once_with_the_first_pair():
    # Both P(x) and P(y) resolve with ~P(a) to Q(a, a) ... once.
    c1 = C(pos(P(x)), pos(P(y)), pos(Q(a, a)))
    c2 = C(neg(P(a)))
    out = R.resolve_clauses(c1, c2)
    firsts = [pair[0] for _, _, pair in out]
    assert len(out) == 2
    assert firsts == [lit for lit in c1.literals if lit.atom.pred == "P"]
    assert out[0][0] == C(pos(P(y)), pos(Q(a, a))) or out[0][0] == C(pos(P(x)), pos(Q(a, a)))


def test_duplicate_resolvent_keeps_the_first_substitution():
    c1 = C(pos(P(x)), pos(P(a)))
    c2 = C(neg(P(a)))
    out = R.resolve_clauses(c1, c2)
    want = M.resolve_clauses(c1, c2)
    assert out == want
    assert len({r for r, _, _ in out}) == len(out)


def test_resolution_loop_order(monkeypatch):
    calls = []
    real = R.unify_formulas

    def spy(p, q):
        calls.append((p, q))
        return real(p, q)

    monkeypatch.setattr(R, "unify_formulas", spy)
    c1 = C(pos(P(a)), neg(Q(a, b)), pos(P(b)))
    c2 = C(neg(P(x)), pos(Q(y, b)), neg(P(f(y))))
    R.resolve_clauses(c1, c2)
    c2s = R.standardize_clause_variables(c1, c2)[1]
    want = [(l1.atom, l2.atom) for l1 in c1.literals for l2 in c2s.literals if l1.positive != l2.positive]
    assert calls == want


class Boom(Exception):
    pass


@pytest.mark.parametrize("exc,propagates", [
    (UnificationError("no"), False),
    (type("SubUnificationError", (UnificationError,), {})("no"), False),
    (Boom("other"), True),
    (ValueError("other"), True),
])
def test_only_unification_errors_are_skipped(monkeypatch, exc, propagates):
    def unify(p, q):
        raise exc

    monkeypatch.setattr(R, "unify_formulas", unify)
    c1, c2 = C(pos(P(x))), C(neg(P(a)))
    for fn, args in ((R.resolve_clauses, (c1, c2)), (R.factor_clause, (C(pos(P(x)), pos(P(a))),))):
        if propagates:
            with pytest.raises(type(exc)):
                fn(*args)
        else:
            assert fn(*args) == []


def test_unification_error_from_clause_building_is_skipped(monkeypatch):
    class Picky(Clause):
        __slots__ = ()

        def __init__(self, lits):
            if len(lits) == 1:
                raise UnificationError("refused")
            super().__init__(lits)

    monkeypatch.setattr(R, "Clause", Picky)
    c1 = C(pos(P(x)), pos(Q(x, x)))
    c2 = C(neg(P(a)), neg(Q(b, b)), pos(P(b)))
    out = R.resolve_clauses(c1, c2)
    assert all(len(r.literals) != 1 for r, _, _ in out)
    assert [type(r) for r, _, _ in out] == [Clause] * len(out)


@settings(max_examples=60, deadline=None)
@given(clauses, clauses)
def test_resolution_matches_the_model(c1, c2):
    got = R.resolve_clauses(c1, c2)
    assert got == M.resolve_clauses(c1, c2)
    assert len({r for r, _, _ in got}) == len(got)


@settings(max_examples=60, deadline=None)
@given(clauses)
def test_resolving_with_itself(c):
    assert R.resolve_clauses(c, c) == M.resolve_clauses(c, c)


# ---------------------------------------------------------------- factoring


@pytest.mark.parametrize("clause", [C(), C(pos(P(x))), C(pos(P(x)), neg(P(a))), C(pos(P(a)), pos(P(b)))])
def test_factor_nothing(clause):
    assert R.factor_clause(clause) == []


def test_factor_merges_two_literals():
    [(factor, subst)] = R.factor_clause(C(pos(P(x)), pos(P(a))))
    assert factor == C(pos(P(a))) and subst == {x: a}


def test_factor_needs_a_smaller_clause():
    # x := y unifies P(x) with P(y) but the clause keeps Q(x, a) and Q(y, b) apart... it still
    # merges the P literals, so one factor; Q(x, a) with Q(y, b) never unifies.
    out = R.factor_clause(C(pos(P(x)), pos(P(y)), pos(Q(x, a)), pos(Q(y, b))))
    assert out == M.factor_clause(C(pos(P(x)), pos(P(y)), pos(Q(x, a)), pos(Q(y, b))))
    assert all(len(f_.literals) < 4 for f_, _ in out)


def test_factor_requires_the_count_to_drop(monkeypatch):
    class Same(Clause):
        __slots__ = ()

        def substitute(self, mapping):
            return self

    c = Same(frozenset([pos(P(x)), pos(P(a))]))
    assert R.factor_clause(c) == []
    assert R.factor_clause(c=C(pos(P(x)), pos(P(a)))) != []


def test_factor_pair_order(monkeypatch):
    calls = []
    real = R.unify_formulas
    monkeypatch.setattr(R, "unify_formulas", lambda p, q: calls.append((p, q)) or real(p, q))
    c = C(pos(P(x)), pos(P(a)), neg(P(b)), pos(P(y)), neg(P(z)))
    R.factor_clause(c)
    lits = list(c.literals)
    want = [(lits[i].atom, lits[j].atom) for i in range(5) for j in range(i + 1, 5)
            if lits[i].positive == lits[j].positive]
    assert calls == want


@settings(max_examples=60, deadline=None)
@given(clauses)
def test_factoring_matches_the_model(c):
    got = R.factor_clause(c)
    assert got == M.factor_clause(c)
    assert all(len(fc.literals) < len(c.literals) for fc, _ in got)


@pytest.mark.parametrize("fn,args,message", [
    (R.resolve_clauses, (C(),), "resolve_clauses() missing 1 required positional argument: 'c2'"),
    (R.factor_clause, (), "factor_clause() missing 1 required positional argument: 'c'"),
    (R.factor_clause, (C(), C()), "factor_clause() takes 1 positional argument but 2 were given"),
    (R.standardize_clause_variables, (C(), C(), C()),
     "standardize_clause_variables() takes 2 positional arguments but 3 were given"),
])
def test_argument_count_errors(fn, args, message):
    with pytest.raises(TypeError) as info:
        fn(*args)
    assert str(info.value) == message
