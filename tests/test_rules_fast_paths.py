"""The rules' direct paths over native clauses give what the general path gives.

Resolution and paramodulation rename the second clause apart and build their
results without intermediate clauses when every record involved is a native
Clause or Literal over plain nodes; a rebound or patched class, companion or
input outside that domain sends them through the public methods instead.
"""

import gc
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kelvara.prover.clausifier as CL
import kelvara.prover.rules as R
import rules_model as M
from helpers import assert_like_constructed
from kelvara.core.ast import Constant, Equality, FunctionApp, PredicateApp, Variable
from kelvara.core.sorts import Ind, Nat, PrimitiveSort
from kelvara.prover.clausifier import Clause, Literal
from strategies import atoms, terms

pytestmark = pytest.mark.skipif(Clause is CL.python_implementation["Clause"], reason="native clauses not built")

x, y = Variable(1), Variable(2)
a, b = Constant("a"), Constant("b")


def P(*args):
    return PredicateApp("P", len(args), tuple(args))


def f(*args):
    return FunctionApp("f", len(args), tuple(args))


def C(*lits):
    return Clause(frozenset(lits))


class Sub(PrimitiveSort):
    pass


literals = st.builds(Literal, atoms(terms(sorts_=(Ind, Nat), max_leaves=4)), st.booleans())
clauses = st.frozensets(literals, max_size=4).map(Clause)


def shape(results):
    """Everything a caller can see of a result list but set iteration order."""
    out = []
    for entry in results:
        clause = entry[0]
        out.append((clause.literals, [l.positive for l in clause.literals], gc.is_tracked(clause),
                    gc.is_tracked(clause.literal_set), entry[1:]))
    return out


@settings(max_examples=150, deadline=None)
@given(clauses, clauses)
@pytest.mark.parametrize("name", ["resolve_clauses", "paramodulate"])
def test_results_and_their_literal_order_match_the_model(name, c1, c2):
    got = getattr(R, name)(c1, c2)
    want = getattr(M, name)(c1, c2)
    assert got == want
    assert shape(got) == shape(want)


@settings(max_examples=60, deadline=None)
@given(clauses, clauses)
def test_renamed_literals_are_those_of_the_renamed_clause_in_its_order(c1, c2):
    c2s = R.standardize_clause_variables(c1, c2)[1]
    pairs = [pair for _, _, pair in R.resolve_clauses(c1, c2)]
    order = {lit: i for i, lit in enumerate(c2s.literals)}
    assert all(l2 in order for _, l2 in pairs)
    # c1's literals outermost, then the renamed clause's in its own order
    keys = [(c1.literals.index(l1), order[l2]) for l1, l2 in pairs]
    assert keys == sorted(keys)


@settings(max_examples=60, deadline=None)
@given(clauses, clauses)
def test_renamed_atoms_are_like_constructed_ones(c1, c2):
    # The renamed copies skip the constructors' checks: their hashes, free
    # variables and tracking must still be those of constructed atoms.
    for lit in R.standardize_clause_variables(c1, c2)[1].literals:
        assert_like_constructed(lit.atom)
    for resolvent, _, (l1, l2) in R.resolve_clauses(c1, c2):
        assert_like_constructed(l2.atom)
        for lit in resolvent.literals:
            assert_like_constructed(lit.atom)


def test_a_renamed_equality_of_nested_terms_is_like_a_constructed_one():
    c1 = C(Literal(P(x, f(y))))
    c2 = C(Literal(P(x, f(y)), False), Literal(Equality(f(f(x)), y)))
    renamed = R.standardize_clause_variables(c1, c2)[1]
    atoms = {type(l.atom).__name__: l.atom for l in renamed.literals}
    # ids shifted past the largest of both clauses (2): x -> 4, y -> 5
    assert atoms["Equality"] == Equality(f(f(Variable(4))), Variable(5))
    for atom in atoms.values():
        assert_like_constructed(atom)


def test_ground_literals_of_the_renamed_clause_are_kept_themselves():
    ground = Literal(P(a), True)
    c2 = C(ground, Literal(P(f(x)), False))
    [(resolvent, _, (_, l2))] = R.resolve_clauses(C(Literal(P(f(y)), True)), c2)
    assert resolvent.literals[0] is ground
    assert l2.atom == P(f(Variable(4))) and l2.positive is False  # offset max(2, 1) + 1


@pytest.mark.parametrize("c2", [
    C(Literal(P(Variable(Fraction(1))), False)),                            # not an int id
    C(Literal(P(FunctionApp("f", 1, frozenset([x]))), False)),              # args not a tuple
    C(Literal(P(type("V", (Variable,), {})(1)), False)),                    # node subclass
    C(Literal(P(Variable(1, sort=Sub("T"))), False), Literal(Equality(x, a), True)),  # sort not interned
])
@pytest.mark.parametrize("name", ["resolve_clauses", "paramodulate"])
def test_inputs_outside_the_direct_path_agree_with_the_model(name, c2):
    c1 = C(Literal(P(f(y)), True), Literal(Equality(f(y), b), True))
    assert getattr(R, name)(c1, c2) == getattr(M, name)(c1, c2)
    assert getattr(R, name)(c2, c1) == getattr(M, name)(c2, c1)


def calls_through(monkeypatch, owner, attr):
    """Wraps owner.attr (a class attribute or a module global) and counts its calls."""
    real = getattr(owner, attr)
    calls = []

    def spy(*args, **kwargs):
        calls.append(args)
        return real(*args, **kwargs)

    monkeypatch.setattr(owner, attr, spy)
    return calls


@pytest.mark.parametrize("owner,attr", [(Clause, "substitute"), (Clause, "free_variables"),
                                        (CL, "substitute_formula")])
@pytest.mark.parametrize("name", ["resolve_clauses", "paramodulate"])
def test_patched_methods_and_companions_are_called(monkeypatch, owner, attr, name):
    c1 = C(Literal(P(f(x)), True), Literal(Equality(f(x), a), True))
    c2 = C(Literal(P(f(y)), False))
    want = getattr(R, name)(c1, c2)  # the direct path first, so that it has seen the classes unpatched
    calls = calls_through(monkeypatch, owner, attr)
    assert getattr(R, name)(c1, c2) == want
    assert calls
    monkeypatch.undo()
    assert getattr(R, name)(c1, c2) == want


def test_a_patched_literal_attribute_is_read(monkeypatch):
    c1, c2 = C(Literal(P(x), True)), C(Literal(P(a), False))
    assert len(R.resolve_clauses(c1, c2)) == 1
    monkeypatch.setattr(Literal, "positive", property(lambda self: True))
    assert R.resolve_clauses(c1, c2) == []
    monkeypatch.undo()
    assert len(R.resolve_clauses(c1, c2)) == 1


def test_rebound_clause_class_builds_the_results(monkeypatch):
    class Mine(Clause):
        __slots__ = ()

    monkeypatch.setattr(R, "Clause", Mine)
    out = R.paramodulate(C(Literal(Equality(f(x), a), True)), C(Literal(P(f(b)), True)))
    assert out and {type(c) for c, _ in out} == {Clause}  # Mine(...).substitute(...) builds a Clause
    assert out == M.paramodulate(C(Literal(Equality(f(x), a), True)), C(Literal(P(f(b)), True)))
