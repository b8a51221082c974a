"""Literals, clauses and conversion to clause normal form."""

import itertools
import os
import subprocess
import sys
import textwrap
from dataclasses import FrozenInstanceError

import pytest
from hypothesis import given, settings

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
)
from kelvara.core.exceptions import InvalidFormulaError
from kelvara.core.sorts import Nat
from kelvara.prover.clausifier import Clause, Literal, literal_sort_key, to_cnf
from kelvara.sol.ast_ext import ForallPred, PredicateVariable

from twins import IMPLEMENTATIONS, use_implementation
from strategies import atoms, formulas, propositional_atoms, terms

@pytest.fixture(autouse=True, params=IMPLEMENTATIONS)
def implementation(request, monkeypatch):
    """Every test of this module runs against the Python reference and the native twin."""
    use_implementation(request.param, monkeypatch, globals())
    return request.param



x, y, z = Variable(0), Variable(1), Variable(2)
a, b = Constant("a"), Constant("b")
A, B, C = (PredicateApp(name, 0, ()) for name in "ABC")


def P(*args):
    return PredicateApp("P", len(args), tuple(args))


def Q(*args):
    return PredicateApp("Q", len(args), tuple(args))


def lit(atom, positive=True):
    return Literal(atom=atom, positive=positive)


def clause(*lits):
    return Clause(frozenset(lits))


# --- literals and clauses --------------------------------------------------


def test_literal_value_semantics():
    l1 = Literal(atom=P(x), positive=True)
    assert l1 == Literal(P(x), True) and hash(l1) == hash(Literal(P(x), True))
    assert l1 != Literal(P(x), False)
    assert l1 != Literal(P(y), True)
    assert l1.negate() == Literal(P(x), False)
    assert repr(l1) == f"Literal(atom={P(x)!r}, positive=True)"
    with pytest.raises(FrozenInstanceError):
        l1.positive = False


def test_clause_basics():
    c = clause(lit(Q(x), False), lit(P(a)), lit(P(x)))
    assert len(c) == 3 and not c.is_empty()
    assert [str(l) for l in c] == ["P(v0)", "P(a)", "~Q(v0)"]
    assert list(c) == list(c.literals)
    assert str(c) == "P(v0) | P(a) | ~Q(v0)"
    assert c == clause(lit(P(x)), lit(P(a)), lit(Q(x), False))
    assert hash(c) == hash(clause(lit(P(x)), lit(P(a)), lit(Q(x), False)))
    assert lit(P(a)) in c and lit(P(b)) not in c
    empty = Clause(frozenset())
    assert empty.is_empty() and len(empty) == 0 and str(empty) == "[]"
    with pytest.raises(FrozenInstanceError):
        c.literals = ()


def test_clause_repr_lists_literals_in_order():
    l1, l2 = lit(P(x)), lit(Equality(x, a), False)
    assert repr(clause(l2, l1)) == f"Clause(frozenset({{{l1!r}, {l2!r}}}))"
    assert repr(Clause(frozenset())) == "Clause(frozenset())"


def test_clause_free_variables_is_a_new_set():
    c = clause(lit(P(x, a)), lit(Equality(y, FunctionApp("f", 1, (z,))), False))
    fv = c.free_variables()
    assert fv == {x, y, z}
    fv.clear()
    assert c.free_variables() == {x, y, z}


def test_clause_substitute_merges_literals():
    c = clause(lit(P(x)), lit(P(a)), lit(Q(y), False))
    out = c.substitute({x: a})
    assert out == clause(lit(P(a)), lit(Q(y), False))
    assert len(out) == 2
    assert c.substitute({}) == c and c.substitute({}) is not c
    assert len(c) == 3


@pytest.mark.parametrize(
    "lits",
    [
        [lit(P(y)), lit(P(x)), lit(P(x), False)],
        [lit(Equality(x, a)), lit(P(a)), lit(Q(a, b), False), lit(Q(a, a), False)],
        [lit(P(Variable(3, sort=Nat))), lit(P(Variable(3)))],
    ],
)
def test_literal_order_is_sorted_by_structural_key(lits):
    c = Clause(frozenset(lits))
    keys = [literal_sort_key(l) for l in c.literals]
    assert keys == sorted(keys)
    assert len(set(keys)) == len(keys)
    for perm in itertools.permutations(lits):
        assert Clause(frozenset(perm)).literals == c.literals


_CHILD = textwrap.dedent(
    """
    from kelvara.core.ast import *
    from kelvara.prover.clausifier import Clause, Literal, to_cnf
    names = ["alpha%d" % i for i in range(12)]
    lits = [Literal(PredicateApp("P", 1, (Constant(n),)), i % 2 == 0) for i, n in enumerate(names)]
    lits += [Literal(PredicateApp(n, 0, ()), True) for n in names]
    c = Clause(frozenset(lits))
    print([str(l) for l in c.literals])
    x, y = Variable(0), Variable(1)
    f = Forall(x, Or(Exists(y, And(PredicateApp("Q", 2, (x, y)), PredicateApp("beta", 0, ()))),
                     Iff(PredicateApp("gamma", 1, (x,)), PredicateApp("delta", 0, ()))))
    print([[str(l) for l in cl.literals] for cl in to_cnf(f)])
    print(str(Clause(frozenset(lits)).substitute({})))
    """
)


def _run_child(seed):
    env = dict(os.environ)
    env["PYTHONHASHSEED"] = str(seed)
    # The child imports kelvara exactly as this process does.
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    out = subprocess.run([sys.executable, "-c", _CHILD], env=env, capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout


def test_clause_order_is_independent_of_hash_seed():
    outputs = {_run_child(seed) for seed in (0, 1, 4242)}
    assert len(outputs) == 1
    first_line = outputs.pop().splitlines()[0]
    assert first_line.startswith("['P(alpha0)', '~P(alpha1)', ")


# --- clause normal form ----------------------------------------------------


def _texts(clauses):
    return [str(c) for c in clauses]


@pytest.mark.parametrize(
    "formula,expected",
    [
        (Implies(A, B), ["~A | B"]),
        (Iff(A, B), ["~A | B", "A | ~B"]),
        (Not(Iff(A, B)), ["A | B", "~A | ~B"]),
        (Not(And(A, B)), ["~A | ~B"]),
        (Not(Or(A, Not(B))), ["~A", "B"]),
        (Or(And(A, B), C), ["A | C", "B | C"]),
        (Or(A, Not(A)), []),
        (And(A, And(A, B)), ["A", "B"]),
        (Not(Implies(A, B)), ["A", "~B"]),
        (Not(Not(A)), ["A"]),
        (Equality(x, x), []),
        (Not(Equality(x, a)), ["~v0 = a"]),
    ],
)
def test_to_cnf_propositional_classics(formula, expected):
    assert _texts(to_cnf(formula)) == expected


def test_to_cnf_skolemizes_under_universals():
    formula = Forall(x, Exists(y, Q(x, y)))
    (c,) = to_cnf(formula)
    (l,) = c.literals
    u, sk = l.atom.args
    assert type(u) is Variable and u.id == 2  # fresh: above ids 0 and 1
    assert sk == FunctionApp("sk0", 1, (u,))


def test_to_cnf_skolem_constant_and_free_variables():
    (c,) = to_cnf(Exists(y, P(y)))
    assert c.literals[0].atom == P(FunctionApp("sk0", 0, ()))
    (c,) = to_cnf(Exists(y, Q(x, y)))  # free x reads as universal
    assert c.literals[0].atom == Q(x, FunctionApp("sk0", 1, (x,)))


def test_to_cnf_skolem_sort_follows_variable():
    n = Variable(0, sort=Nat)
    (c,) = to_cnf(Exists(n, P(n)))
    assert c.literals[0].atom.args[0].sort is Nat
    assert c.literals[0].atom.args[0].return_sort is Nat


@pytest.mark.parametrize(
    "formula,signature,expected",
    [
        (Exists(y, P(y)), None, "sk0"),
        (And(Exists(y, P(y)), P(Constant("sk0"))), None, "sk1"),
        (Exists(y, PredicateApp("sk0", 1, (y,))), None, "sk1"),
        (Exists(y, P(y)), {"sk0", "sk1"}, "sk2"),
        (Exists(y, P(y)), {"sk0": 1}, "sk1"),
        (Exists(y, P(FunctionApp("sk0", 1, (y,)))), ["sk1"], "sk2"),
    ],
)
def test_to_cnf_skolem_names_avoid_used_symbols(formula, signature, expected):
    nullary = set()
    stack = [t for c in to_cnf(formula, signature=signature) for l in c for t in l.atom.args]
    while stack:
        t = stack.pop()
        if type(t) is FunctionApp:
            if t.arity == 0:
                nullary.add(t.func)
            stack.extend(t.args)
    assert nullary == {expected}


def test_to_cnf_negated_quantifiers_and_standardizing_apart():
    formula = And(Not(Exists(x, P(x))), Forall(x, Q(x, x)))
    c1, c2 = to_cnf(formula)
    v1 = c1.literals[0].atom.args[0]
    v2 = c2.literals[0].atom.args[0]
    assert not c1.literals[0].positive
    assert v1 != v2 and {v1.id, v2.id} == {1, 2}


def test_to_cnf_rejects_second_order():
    p = PredicateVariable(0, 0)
    with pytest.raises(InvalidFormulaError) as info:
        to_cnf(ForallPred(p, PredicateApp(p, 0, ())))
    assert str(info.value) == "Cannot clausify second-order quantifier ForallPred."
    with pytest.raises(InvalidFormulaError):
        to_cnf(x)


def _eval(formula, valuation):
    if isinstance(formula, PredicateApp):
        return valuation[formula.pred]
    if isinstance(formula, Not):
        return not _eval(formula.operand, valuation)
    left, right = _eval(formula.left, valuation), _eval(formula.right, valuation)
    return {And: left and right, Or: left or right, Implies: (not left) or right,
            Iff: left == right}[type(formula)]


@settings(max_examples=200)
@given(formulas(propositional_atoms(), quantifiers=False, max_leaves=10))
def test_to_cnf_preserves_propositional_truth(formula):
    clauses = to_cnf(formula)
    for values in itertools.product([False, True], repeat=3):
        valuation = dict(zip("ABC", values))
        cnf_value = all(any(valuation[l.atom.pred] == l.positive for l in c) for c in clauses)
        assert cnf_value == _eval(formula, valuation)


@settings(max_examples=200)
@given(formulas(atoms(terms(max_leaves=3))))
def test_to_cnf_output_shape(formula):
    clauses = to_cnf(formula)
    assert len(set(clauses)) == len(clauses)
    for c in clauses:
        assert type(c) is Clause
        for l in c:
            assert type(l.atom) in (PredicateApp, Equality)
            assert not (l.positive and Literal(l.atom, False) in c)
    assert _texts(to_cnf(formula)) == _texts(clauses)
