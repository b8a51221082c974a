"""Second-order symbols and quantifier nodes."""

import copy
import pickle
from dataclasses import FrozenInstanceError

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kelvara.core.ast import Formula, PredicateApp, Variable, free_variables
from kelvara.sol.ast_ext import (
    ExistsFunc,
    ExistsPred,
    ForallFunc,
    ForallPred,
    FunctionVariable,
    PredicateVariable,
)

QUANTIFIERS = [ForallPred, ExistsPred, ForallFunc, ExistsFunc]
SYMBOLS = [(PredicateVariable, "P"), (FunctionVariable, "F")]
x = Variable(0)


@pytest.mark.parametrize("cls,prefix", SYMBOLS)
def test_symbol_defaults_and_text(cls, prefix):
    v = cls(3, 2)
    assert (v.index, v.arity, v.name) == (3, 2, f"{prefix}3")
    assert str(v) == f"{prefix}3"
    assert repr(v) == f"{cls.__name__}(index=3, arity=2, name='{prefix}3')"
    assert cls(3, 2, "Even").name == "Even"


@pytest.mark.parametrize("cls,prefix", SYMBOLS)
@pytest.mark.parametrize(
    "args,exc,message",
    [
        ((-1, 0), ValueError, "index must be non-negative, got -1"),
        ((0, -2), ValueError, "arity must be non-negative, got -2"),
        (("1", 0), TypeError, "index must be int, got str"),
        ((True, 0), TypeError, "index must be int, got bool"),
        ((0, 1, ""), ValueError, "name cannot be empty"),
        ((0, 1, 7), TypeError, "name must be str, got int"),
    ],
)
def test_symbol_validation(cls, prefix, args, exc, message):
    with pytest.raises(exc) as info:
        cls(*args)
    assert str(info.value) == f"{cls.__name__} {message}"


@pytest.mark.parametrize("cls,prefix", SYMBOLS)
def test_symbol_frozen_and_copyable(cls, prefix):
    v = cls(1, 1)
    with pytest.raises(FrozenInstanceError):
        v.index = 2
    with pytest.raises(FrozenInstanceError):
        del v.name
    assert v.index == 1
    assert pickle.loads(pickle.dumps(v)) == v
    assert copy.copy(v) is v and copy.deepcopy(v) is v


@given(st.integers(0, 3), st.integers(0, 3), st.sampled_from([None, "A", "B"]),
       st.integers(0, 3), st.integers(0, 3), st.sampled_from([None, "A", "B"]))
def test_symbol_equality_is_fieldwise_and_hash_consistent(i1, a1, n1, i2, a2, n2):
    v1, v2 = PredicateVariable(i1, a1, n1), PredicateVariable(i2, a2, n2)
    same = (v1.index, v1.arity, v1.name) == (v2.index, v2.arity, v2.name)
    assert (v1 == v2) is same
    assert (v1 != v2) is not same
    if same:
        assert hash(v1) == hash(v2)


def test_symbol_equality_is_class_exact():
    assert PredicateVariable(0, 1) != FunctionVariable(0, 1, "P0")
    assert PredicateVariable(0, 1) != (0, 1, "P0")
    assert len({PredicateVariable(0, 1), FunctionVariable(0, 1, "P0")}) == 2


def test_predicate_variable_as_predicate_symbol():
    p = PredicateVariable(0, 1)
    atom = PredicateApp(p, 1, (x,))
    assert atom.pred is p
    from kelvara.core.exceptions import InvalidFormulaError

    with pytest.raises(InvalidFormulaError) as info:
        PredicateApp(p, 1, (x, x))
    assert str(info.value) == "PredicateApp 'P0' expected arity 1, got 2 arguments."


@pytest.mark.parametrize("cls", QUANTIFIERS)
def test_quantifier_node_basics(cls):
    p = PredicateVariable(0, 1)
    body = PredicateApp(p, 1, (x,))
    node = cls(variable=p, body=body)
    assert isinstance(node, Formula)
    assert type(node).__name__ == cls.__name__
    assert node.variable is p and node.body is body
    assert node == cls(p, body) and hash(node) == hash(cls(p, body))
    assert repr(node) == f"{cls.__name__}(variable={p!r}, body={body!r})"
    with pytest.raises(FrozenInstanceError):
        node.body = body
    with pytest.raises(FrozenInstanceError):
        node.other = 1
    assert pickle.loads(pickle.dumps(node)) == node
    assert free_variables(node) == {x}


@pytest.mark.parametrize("a,b", [(a, b) for a in QUANTIFIERS for b in QUANTIFIERS if a is not b])
def test_quantifier_equality_is_class_exact(a, b):
    p = PredicateVariable(0, 0)
    body = PredicateApp("R", 0, ())
    assert a(p, body) != b(p, body)
    assert a(p, body) != a(PredicateVariable(1, 0), body)


def test_quantifier_hash_is_cached():
    p = PredicateVariable(0, 0)
    node = ForallPred(p, PredicateApp(p, 0, ()))
    assert node._hash_cache == hash(node) == hash((ForallPred, p, node.body))
