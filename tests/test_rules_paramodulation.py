"""Subterm enumeration, one-occurrence replacement and paramodulation."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kelvara.prover.rules as R
import rules_model as M
from kelvara.core.ast import Constant, Equality, FunctionApp, Not, PredicateApp, Variable
from kelvara.core.sorts import Ind, Nat
from kelvara.core.substitutions import UnificationError, unify_terms
from kelvara.prover.clausifier import Clause, Literal
from strategies import atoms, terms

x, y = Variable(1), Variable(2)
a, b, c = Constant("a"), Constant("b"), Constant("c")


def f(*args):
    return FunctionApp("f", len(args), tuple(args))


def g(t):
    return FunctionApp("g", 1, (t,))


def P(*args):
    return PredicateApp("P", len(args), tuple(args))


def C(*lits):
    return Clause(frozenset(lits))


def pos(atom):
    return Literal(atom, True)


def neg(atom):
    return Literal(atom, False)


ind_terms = terms(sorts_=(Ind,), max_leaves=4)
literals = st.builds(Literal, atoms(ind_terms), st.booleans())
clauses = st.frozensets(literals, max_size=3).map(Clause)
equation_clauses = st.builds(
    lambda eq, rest: Clause(rest | {Literal(eq, True)}),
    st.builds(Equality, ind_terms, ind_terms),
    st.frozensets(literals, max_size=2),
)


# ---------------------------------------------------------------- subterms


@pytest.mark.parametrize("term,want", [
    (a, [a]),
    (x, [x]),
    (f(g(a), b), [f(g(a), b), g(a), a, b]),
    (f(a, a), [f(a, a), a, a]),
    (f(), [f()]),
])
def test_extract_subterms(term, want):
    got = R.extract_subterms(term)
    assert got == want
    assert got[0] is term


@pytest.mark.parametrize("atom,want", [
    (P(f(a)), [f(a), a]),
    (Equality(f(a), b), [f(a), a, b]),
    (P(), []),
    (Not(P(a)), []),
    ("junk", []),
])
def test_extract_atom_subterms(atom, want):
    assert R.extract_atom_subterms(atom) == want


def test_non_terms_are_leaves():
    assert R.extract_subterms("junk") == ["junk"]
    assert R.replace_subterm("junk", "junk", 1) == [1]
    assert R.replace_subterm(3, a, b) == []
    assert R.replace_atom_subterm(Not(P(a)), a, b) == []


@pytest.mark.parametrize("term,target,replacement,want", [
    (a, a, b, [b]),
    (f(a, a), a, b, [f(b, a), f(a, b)]),
    (f(a), f(a), c, [c]),
    (f(f(a)), f(a), c, [f(c)]),
    (f(a, b), c, a, []),
    (f(a, a), f(a, a), a, [a]),
    (g(g(a)), a, x, [g(g(x))]),
])
def test_replace_subterm(term, target, replacement, want):
    assert R.replace_subterm(term, target, replacement) == want


def test_replace_keeps_the_return_sort_and_symbol():
    t = FunctionApp("h", 2, (a, x), Nat)
    [r] = R.replace_subterm(t, x, b)
    assert (r.func, r.arity, r.args, r.return_sort) == ("h", 2, (a, b), Nat)
    assert type(r.args) is tuple


@pytest.mark.parametrize("atom,target,replacement,want", [
    (Equality(a, a), a, b, [Equality(b, a), Equality(a, b)]),
    (P(a, f(a)), a, c, [P(c, f(a)), P(a, f(c))]),
    (P(b), a, c, []),
])
def test_replace_atom_subterm(atom, target, replacement, want):
    assert R.replace_atom_subterm(atom, target, replacement) == want


@settings(max_examples=60, deadline=None)
@given(ind_terms, ind_terms, ind_terms)
def test_term_operations_match_the_model(term, target, replacement):
    assert R.extract_subterms(term) == M.extract_subterms(term)
    assert R.replace_subterm(term, target, replacement) == M.replace_subterm(term, target, replacement)
    # One replacement per occurrence.
    occurrences = sum(1 for s in M.extract_subterms(term) if s == target)
    assert len(R.replace_subterm(term, target, replacement)) == occurrences


@settings(max_examples=60, deadline=None)
@given(atoms(ind_terms), ind_terms, ind_terms)
def test_atom_operations_match_the_model(atom, target, replacement):
    assert R.extract_atom_subterms(atom) == M.extract_atom_subterms(atom)
    assert R.replace_atom_subterm(atom, target, replacement) == M.replace_atom_subterm(atom, target, replacement)


def test_deep_terms_raise_recursion_error():
    t = a
    for _ in range(100_000):
        t = g(t)
    with pytest.raises(RecursionError):
        R.extract_subterms(t)
    with pytest.raises(RecursionError):
        R.replace_subterm(t, a, b)


# ---------------------------------------------------------------- paramodulation


def test_paramodulate_unit_example():
    [(para, subst)] = R.paramodulate(C(pos(Equality(a, b))), C(pos(P(a))))
    assert para == C(pos(P(b)))
    assert subst == unify_terms(a, a) == {}


@pytest.mark.parametrize("c1,c2", [
    (C(pos(P(a))), C(pos(P(b)))),
    (C(neg(Equality(a, b))), C(pos(P(a)))),
    (C(), C(pos(Equality(a, b)))),
])
def test_paramodulate_nothing(c1, c2):
    assert R.paramodulate(c1, c2) == []


def test_negative_equations_are_rewritten_as_targets():
    out = R.paramodulate(C(pos(Equality(a, b))), C(neg(Equality(a, c))))
    assert (C(neg(Equality(b, c))), {}) in out
    assert all(not lit.positive for para, _ in out for lit in para.literals if lit.atom != Equality(a, b))


def test_variables_are_never_rewritten():
    # x = a against P(y): y is a variable position, so nothing; the second pass has no equation.
    assert R.paramodulate(C(pos(Equality(f(x), a))), C(pos(P(y)))) == []


def test_both_orientations_and_both_passes_share_one_produced_set():
    c1, c2 = C(pos(Equality(a, b))), C(pos(Equality(b, a)))
    out = R.paramodulate(c1, c2)
    assert out == M.paramodulate(c1, c2)
    assert len({p for p, _ in out}) == len(out)


def test_substitution_is_the_unifier_of_the_rewritten_subterm():
    out = R.paramodulate(C(pos(Equality(f(x), x))), C(pos(P(f(a)))))
    assert out[0] == (C(pos(P(a))), {x: a})
    assert out[0][1] == unify_terms(f(a), f(x))
    assert out == M.paramodulate(C(pos(Equality(f(x), x))), C(pos(P(f(a)))))


def test_unify_call_order(monkeypatch):
    calls = []
    real = R.unify_terms
    monkeypatch.setattr(R, "unify_terms", lambda u, s: calls.append((u, s)) or real(u, s))
    eq = C(pos(Equality(f(a), b)))
    target = C(pos(P(f(a), x)), neg(Equality(g(b), a)))
    R.paramodulate(eq, target)
    want = []
    for s in (f(a), b):
        for lit in target.literals:
            want.extend((u, s) for u in M.extract_atom_subterms(lit.atom) if not isinstance(u, Variable))
    assert calls == want


@pytest.mark.parametrize("exc,propagates", [(UnificationError("no"), False), (KeyError("k"), True)])
def test_only_unification_errors_are_skipped(monkeypatch, exc, propagates):
    def unify(u, s):
        raise exc

    monkeypatch.setattr(R, "unify_terms", unify)
    args = (C(pos(Equality(a, b))), C(pos(P(a))))
    if propagates:
        with pytest.raises(KeyError):
            R.paramodulate(*args)
    else:
        assert R.paramodulate(*args) == []


def test_unification_error_in_clause_building_ends_the_subterm(monkeypatch):
    built = []

    class Picky(Clause):
        __slots__ = ()

        def __init__(self, lits):
            built.append(lits)
            raise UnificationError("refused")

    monkeypatch.setattr(R, "Clause", Picky)
    # P(a, a): the subterm a has two replacements; the first failure ends the work on it.
    assert R.paramodulate(C(pos(Equality(a, b))), C(pos(P(a, a)))) == []
    # Two listings of `a`, two orientations (b, a fails to unify with a): one build per listing.
    assert len(built) == 2


def test_literal_built_with_keywords(monkeypatch):
    seen = []

    def literal(**kwargs):
        seen.append(sorted(kwargs))
        return Literal(**kwargs)

    monkeypatch.setattr(R, "Literal", literal)
    R.paramodulate(C(pos(Equality(a, b))), C(neg(P(a))))
    assert seen == [["atom", "positive"]]


@settings(max_examples=60, deadline=None)
@given(equation_clauses, clauses)
def test_paramodulation_matches_the_model(c1, c2):
    got = R.paramodulate(c1, c2)
    assert got == M.paramodulate(c1, c2)
    assert len({p for p, _ in got}) == len(got)


@settings(max_examples=60, deadline=None)
@given(equation_clauses, equation_clauses)
def test_paramodulation_between_equations_matches_the_model(c1, c2):
    assert R.paramodulate(c1, c2) == M.paramodulate(c1, c2)


@pytest.mark.parametrize("fn,args,message", [
    (R.paramodulate, (C(),), "paramodulate() missing 1 required positional argument: 'c2'"),
    (R.extract_subterms, (), "extract_subterms() missing 1 required positional argument: 'term'"),
    (R.replace_subterm, (a, a), "replace_subterm() missing 1 required positional argument: 'replacement'"),
    (R.replace_atom_subterm, (P(a), a, b, c), "replace_atom_subterm() takes 3 positional arguments but 4 were given"),
])
def test_argument_count_errors(fn, args, message):
    with pytest.raises(TypeError) as info:
        fn(*args)
    assert str(info.value) == message


def test_keyword_arguments():
    assert R.replace_subterm(term=f(a), target=a, replacement=b) == [f(b)]
    assert R.extract_atom_subterms(atom=P(a)) == [a]
    assert R.paramodulate(c2=C(pos(P(a))), c1=C(pos(Equality(a, b)))) == [(C(pos(P(b))), {})]
