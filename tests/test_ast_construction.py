"""Node construction: cached hashes equal the hash of the field tuples for the
symbol and integer values the constructors hash in place (fresh strings whose
hash is not computed yet, ints around the internal digit boundaries), the
positional calls with defaulted parameters, and which nodes the cycle
collector tracks, field by field."""

from __future__ import annotations

import gc

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kelvara.core.ast import (And, Constant, Equality, Exists, Forall, FunctionApp, Iff, Not, PredicateApp, Variable,
                              VariableKind)
from kelvara.core.exceptions import InvalidFormulaError
from kelvara.core.sorts import Ind, PrimitiveSort

BOUNDARY_INTS = [0, 1, 2, 255, 256, 2**15, 2**30 - 1, 2**30, 2**30 + 1, 2**31, 2**60, 2**61 - 1, 2**61, 2**64, 10**40]


def fresh(s: str) -> str:
    return "".join(list(s))  # an exact str whose hash has not been computed yet


@pytest.mark.parametrize("n", BOUNDARY_INTS)
def test_variable_hash_is_the_field_tuple_hash_for_any_id(n):
    v = Variable(n)
    assert hash(v) == hash((Ind, n, VariableKind.INDIVIDUAL))
    assert v == Variable(int(str(n))) and hash(v) == hash(Variable(int(str(n))))


@pytest.mark.parametrize("n", [0, 1, 2, 3, 300, 2**30 - 1, 2**30])
def test_application_hashes_for_any_arity(n):
    args = tuple(Constant("c") for _ in range(n)) if n <= 300 else None
    if args is None:
        with pytest.raises(InvalidFormulaError, match=f"expected arity {n}, got 0 arguments"):
            PredicateApp("P", n, ())
        return
    p = PredicateApp("P", n, args)
    assert p._hash_cache == hash((PredicateApp, "P", n, args)) == hash(p)
    f = FunctionApp("f", n, args)
    assert f._hash_cache == hash((FunctionApp, "f", n, args, Ind))


@pytest.mark.parametrize("name", ["a", "constant", "é", "€", "\U0001d4b3", "x" * 100])
def test_symbol_hashes_whether_or_not_the_str_hash_is_computed(name):
    c1, c2 = Constant(fresh(name)), Constant(fresh(name))
    assert hash(c1) == hash((Ind, name)) == hash(c2)
    p = PredicateApp(fresh(name), 1, (c1,))
    assert p._hash_cache == hash((PredicateApp, name, 1, (c1,)))
    f = FunctionApp(fresh(name), 0, ())
    assert f._hash_cache == hash((FunctionApp, name, 0, (), Ind))


@pytest.mark.parametrize("bad", [-1, -2, -(2**30), -(2**64)])
def test_negative_ids_and_arities_are_refused_with_their_messages(bad):
    with pytest.raises(InvalidFormulaError, match=rf"^Variable ID must be non-negative, got {bad}\.$"):
        Variable(bad)
    with pytest.raises(InvalidFormulaError, match=rf"^Predicate arity must be non-negative, got {bad}\.$"):
        PredicateApp("P", bad, ())
    with pytest.raises(InvalidFormulaError, match=rf"^Function arity must be non-negative, got {bad}\.$"):
        FunctionApp("f", bad, ())


def test_positional_calls_with_defaulted_parameters():
    s = PrimitiveSort("S")
    x = Variable(3, VariableKind.PREDICATE)
    assert x.kind is VariableKind.PREDICATE and x.sort is Ind
    assert Variable(3) == Variable(3, VariableKind.INDIVIDUAL) == Variable(id=3)
    f = FunctionApp("f", 1, (x,), s)
    assert f.return_sort is s and f.sort is s and f == FunctionApp("f", 1, (x,), return_sort=s)
    g = FunctionApp("f", 1, (x,))
    assert g.return_sort is Ind and g.sort is Ind and g != f
    with pytest.raises(TypeError, match=r"takes from 4 to 5 positional arguments but 6 were given"):
        FunctionApp("f", 1, (x,), s, s)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'args'"):
        FunctionApp("f", 1)


class Box:
    pass


def _tracked_cases():
    box = Box()
    odd_var = Variable(1, sort=box)
    odd_const = Constant("c", sort=box)
    plain = PredicateApp("P", 1, (Variable(0),))
    return [
        ("plain atom", plain, False),
        ("atom over an odd variable", PredicateApp("P", 1, (odd_var,)), True),
        ("atom over an odd constant", PredicateApp("P", 2, (Variable(0), odd_const)), True),
        ("function over an odd constant", FunctionApp("f", 1, (odd_const,)), True),
        ("function with an odd return sort", FunctionApp("f", 0, (), box), True),
        ("function with a plain return sort", FunctionApp("f", 0, (), PrimitiveSort("S")), False),
        ("equality, odd right", Equality(Variable(0), odd_const), True),
        ("equality, plain", Equality(Variable(0), Constant("c")), False),
        ("not over tracked", Not(PredicateApp("P", 1, (odd_const,))), True),
        ("and, tracked right", And(plain, PredicateApp("P", 1, (odd_var,))), True),
        ("and, plain", And(plain, plain), False),
        ("quantifier over an odd variable", Exists(odd_var, plain), True),
        ("quantifier, plain", Exists(Variable(0), plain), False),
        ("odd constant", odd_const, True),
    ] + _symbol_variable_cases()


class Name(str):
    pass


def _symbol_variable_cases():
    # Nodes over a predicate or function variable (or a str subclass as the
    # symbol) have only exact nodes below them, yet can lead back to a user
    # object: every node above them is tracked too, whatever its kind.
    from kelvara.sol.ast_ext import FunctionVariable, PredicateVariable

    x = Variable(0)
    pv, fv = PredicateVariable(0, 1), FunctionVariable(0, 1)
    p_var, f_var = PredicateApp(pv, 1, (x,)), FunctionApp(fv, 1, (x,))
    plain = PredicateApp("P", 1, (x,))
    return [
        ("atom over a predicate variable", p_var, True),
        ("atom named by a str subclass", PredicateApp(Name("P"), 1, (x,)), True),
        ("not over a predicate-variable atom", Not(p_var), True),
        ("and, predicate-variable atom left", And(p_var, plain), True),
        ("iff, predicate-variable atom right", Iff(plain, p_var), True),
        ("quantifier over a predicate-variable atom", Forall(x, p_var), True),
        ("atom over a function-variable term", PredicateApp("P", 1, (f_var,)), True),
        ("function over a function-variable term", FunctionApp("g", 1, (f_var,)), True),
        ("equality, function-variable term left", Equality(f_var, x), True),
        ("function with a bool arity", FunctionApp("g", True, (x,)), False),
        ("all plain, nested", Forall(x, Iff(Not(plain), Equality(FunctionApp("g", 1, (x,)), x))), False),
    ]


@pytest.mark.parametrize("label,node,tracked", _tracked_cases(), ids=[c[0] for c in _tracked_cases()])
def test_tracked_exactly_when_a_field_can_lead_back(label, node, tracked):
    assert gc.is_tracked(node) is tracked


@given(st.integers(min_value=0, max_value=2**70), st.text(min_size=1, max_size=8))
def test_leaf_hashes_agree_with_tuples(n, name):
    assert hash(Variable(n)) == hash((Ind, n, VariableKind.INDIVIDUAL))
    assert hash(Constant(fresh(name))) == hash((Ind, name))
    p = PredicateApp(fresh(name), 1, (Variable(n),))
    assert p._hash_cache == hash((PredicateApp, name, 1, (Variable(n),)))
