"""Node classes: construction, validation, equality, hashing and value-record behaviour."""

from __future__ import annotations

import copy
import dataclasses
import enum
import gc
import inspect
import pickle
import sys

import pytest
from hypothesis import given, settings

import kelvara.core.ast as ast_mod
from kelvara.core.ast import (
    And,
    Constant,
    Equality,
    Exists,
    Forall,
    Formula,
    FunctionApp,
    Iff,
    Implies,
    InvalidFormulaError,
    Not,
    Or,
    PredicateApp,
    Term,
    Variable,
    VariableKind,
)
from kelvara.core.sorts import Bool, Ind, Nat

from helpers import Raising
from strategies import formulas, terms

x, y = Variable(1), Variable(2)
a = Constant("a")
P = PredicateApp("P", 1, (x,))
Q = PredicateApp("Q", 0, ())


def test_module_surface_in_definition_order():
    names = [n for n in vars(ast_mod) if not n.startswith("__")]
    assert names == [
        "Sort", "Ind", "InvalidFormulaError", "VariableKind", "Term", "Formula", "Variable", "Constant",
        "FunctionApp", "PredicateApp", "Equality", "Not", "And", "Or", "Implies", "Iff", "Forall", "Exists",
        "free_variables", "bound_variables", "formula_depth", "formula_size", "canonicalize_bound_variables",
    ]
    assert ast_mod.__doc__ == "Abstract Syntax Tree (AST) definitions for First-Order Logic terms and formulas."
    assert ast_mod.Ind is Ind


def test_variable_kind_is_a_plain_enum():
    assert issubclass(VariableKind, enum.Enum) and not issubclass(VariableKind, str)
    assert [m.name for m in VariableKind] == ["INDIVIDUAL", "PREDICATE", "FUNCTION"]
    assert [m.value for m in VariableKind] == ["INDIVIDUAL", "PREDICATE", "FUNCTION"]
    assert VariableKind.PREDICATE != "PREDICATE"
    assert VariableKind.__doc__ == "Distinguishes variable usage in logic expressions."


@pytest.mark.parametrize(
    "cls, doc",
    [
        (Term, "Abstract Base Class for all term AST nodes."),
        (Formula, "Abstract Base Class for all formula AST nodes."),
        (Variable, "Represents an individual variable v_id with an integer index, sort, and kind."),
        (Constant, "Represents a constant symbol c_name with a sort annotation."),
        (FunctionApp, "Represents function application f(t_1, ..., t_k)."),
        (PredicateApp, "Represents predicate application P(t_1, ..., t_k)."),
        (Equality, "Represents term equality t_1 = t_2."),
        (Not, "Represents logical negation ~operand."),
        (And, "Represents logical conjunction left & right."),
        (Or, "Represents logical disjunction left | right."),
        (Implies, "Represents logical implication left => right."),
        (Iff, "Represents logical equivalence left <=> right."),
        (Forall, "Represents universal quantification forall variable. body."),
        (Exists, "Represents existential quantification exists variable. body."),
    ],
)
def test_documentation_texts(cls, doc):
    assert cls.__doc__ == doc


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: Variable(-1), "Variable ID must be non-negative, got -1."),
        (lambda: Constant(""), "Constant name cannot be empty."),
        (lambda: FunctionApp("f", 2, (x,)), "FunctionApp 'f' expected arity 2, got 1 arguments."),
        (lambda: FunctionApp("f", 0, (x,)), "FunctionApp 'f' expected arity 0, got 1 arguments."),
        (lambda: FunctionApp("", -1, ()), "Function name cannot be empty."),
        (lambda: FunctionApp("f", -1, (x,)), "Function arity must be non-negative, got -1."),
        (lambda: FunctionApp(3, 0, ()), "Function symbol must be str or FunctionVariable, got <class 'int'>."),
        (lambda: PredicateApp("P", 1, (x, y)), "PredicateApp 'P' expected arity 1, got 2 arguments."),
        (lambda: PredicateApp("", 5, ()), "Predicate name cannot be empty."),
        (lambda: PredicateApp(None, 0, ()), "Predicate symbol must be str or PredicateVariable, got <class 'NoneType'>."),
        (lambda: PredicateApp("P", -2, ()), "Predicate arity must be non-negative, got -2."),
        (lambda: FunctionApp("f", 1, (3,)), "Unsupported AST node type: <class 'int'>"),
        (lambda: PredicateApp("P", 1, ("x",)), "Unsupported AST node type: <class 'str'>"),
        (lambda: Equality(x, None), "Unsupported AST node type: <class 'NoneType'>"),
    ],
)
def test_validation_messages(make, message):
    with pytest.raises(InvalidFormulaError) as info:
        make()
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_symbol_objects_are_checked_structurally():
    class Sym:
        index, arity = 0, 1

        def __str__(self):
            return "F0"

    node = FunctionApp(Sym(), 0, ())
    assert node.arity == 0  # the symbol's own arity is not compared
    with pytest.raises(InvalidFormulaError, match=r"^FunctionApp 'F0' expected arity 1, got 0 arguments\.$"):
        FunctionApp(Sym(), 1, ())
    with pytest.raises(InvalidFormulaError, match="PredicateVariable, got <class"):
        PredicateApp(type("OnlyIndex", (), {"index": 0})(), 0, ())


def test_str_subclass_symbols_and_unhashable_args():
    class Name(str):
        pass

    with pytest.raises(InvalidFormulaError, match="Function name cannot be empty."):
        FunctionApp(Name(""), 0, ())
    assert FunctionApp(Name("f"), 0, ()).func == "f"
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        FunctionApp("f", 1, [x])


def test_defaults_and_derived_fields():
    v = Variable(0)
    assert (v.id, v.kind, v.sort) == (0, VariableKind.INDIVIDUAL, Ind)
    f0 = FunctionApp("f", 0, ())
    assert f0.sort is Ind and f0._free_vars == frozenset() and type(f0._free_vars) is frozenset
    assert FunctionApp("f", 0, (), Nat, sort=Bool).sort is Nat
    f = FunctionApp("f", 2, (x, FunctionApp("g", 2, (y, x))))
    assert f._free_vars == {x, y}
    assert Equality(x, x)._free_vars == {x}
    assert PredicateApp("P", 0, ())._free_vars == frozenset()
    assert not hasattr(v, "_hash_cache") and not hasattr(v, "_free_vars")
    assert not hasattr(Not(Q), "_free_vars")


SAMPLES = [
    Variable(3, VariableKind.PREDICATE, sort=Nat),
    Constant("c", sort=Bool),
    FunctionApp("f", 2, (x, a), Nat),
    PredicateApp("P", 2, (x, a)),
    Equality(x, a),
    Not(P),
    And(P, Q),
    Or(P, Q),
    Implies(P, Q),
    Iff(P, Q),
    Forall(x, P),
    Exists(x, P),
]
FIELDS = {
    Variable: ("sort", "id", "kind"),
    Constant: ("sort", "name"),
    FunctionApp: ("sort", "func", "arity", "args", "return_sort"),
    PredicateApp: ("pred", "arity", "args"),
    Equality: ("left", "right"),
    Not: ("operand",),
    Forall: ("variable", "body"),
    Exists: ("variable", "body"),
}
for _c in (And, Or, Implies, Iff):
    FIELDS[_c] = ("left", "right")


def rebuild(node):
    args = [getattr(node, f) for f in type(node).__match_args__]
    kw = {"sort": node.sort} if type(node) in (Variable, Constant) else {}
    return type(node)(*args, **kw)


@pytest.mark.parametrize("node", SAMPLES, ids=lambda n: type(n).__name__)
def test_value_record_laws(node):
    cls = type(node)
    clone = rebuild(node)
    assert clone == node and not (clone != node) and clone is not node
    assert hash(clone) == hash(node)
    values = tuple(getattr(node, f) for f in FIELDS[cls])
    if cls in (Variable, Constant):
        assert hash(node) == hash(values)
    else:
        key = values[1:] if cls is FunctionApp else values
        assert node._hash_cache == hash((cls, *key)) == hash(node)
    assert repr(node) == f"{cls.__name__}(" + ", ".join(f"{f}={getattr(node, f)!r}" for f in FIELDS[cls]) + ")"
    for proto in range(2, pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(node, proto))
        assert back == node and type(back) is cls
    assert copy.copy(node) == node and copy.deepcopy(node) == node
    for f in FIELDS[cls] + ("anything",):
        with pytest.raises(dataclasses.FrozenInstanceError, match=f"cannot assign to field '{f}'"):
            setattr(node, f, 1)
        with pytest.raises(dataclasses.FrozenInstanceError, match=f"cannot delete field '{f}'"):
            delattr(node, f)
    assert node != object() and node != values
    with pytest.raises(TypeError):
        node < node  # noqa: B015


@pytest.mark.parametrize("node", SAMPLES, ids=lambda n: type(n).__name__)
def test_match_args_destructure(node):
    match node:
        case Variable(i, k):
            assert (i, k) == (node.id, node.kind)
        case FunctionApp(f, n, args, rs):
            assert (f, n, args, rs) == (node.func, node.arity, node.args, node.return_sort)
        case And(l, r) | Or(l, r) | Implies(l, r) | Iff(l, r):
            assert (l, r) == (node.left, node.right)
        case Forall(v, b) | Exists(v, b):
            assert (v, b) == (node.variable, node.body)
        case _:
            assert type(node).__match_args__


def test_equality_is_class_exact_and_structural():
    assert And(P, Q) != Or(P, Q) and And(P, Q) != And(Q, P)
    assert Variable(3) != Variable(3, sort=Nat) and Variable(3) != Variable(3, VariableKind.FUNCTION)
    assert FunctionApp("a", 0, ()) != Constant("a") != Variable(0)
    assert Forall(Variable(1), P) != Forall(Variable(2), PredicateApp("P", 1, (Variable(2),)))
    assert Not(Not(Q)) != Q
    assert hash(And(P, Q)) != hash(Or(P, Q))


def test_signatures():
    assert str(inspect.signature(Variable)) == "(id, kind=<VariableKind.INDIVIDUAL: 'INDIVIDUAL'>, *, sort=Ind)"
    assert str(inspect.signature(FunctionApp)) == "(func, arity, args, return_sort=Ind, *, sort=Ind)"
    assert str(inspect.signature(Forall)) == "(variable, body)"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Variable(), "missing 1 required positional argument: 'id'"),
        (lambda: Variable(1, VariableKind.INDIVIDUAL, Ind), "takes from 2 to 3 positional arguments but 4 were given"),
        (lambda: Constant("a", Ind), "takes 2 positional arguments but 3 were given"),
        (lambda: And(P), "missing 1 required positional argument: 'right'"),
        (lambda: Not(P, bad=1), "unexpected keyword argument 'bad'"),
        (lambda: Not(P, operand=P), "multiple values for argument 'operand'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_keywords_and_abstract_bases():
    assert FunctionApp(func="f", arity=1, args=(x,), return_sort=Nat) == FunctionApp("f", 1, (x,), Nat)
    assert Forall(body=P, variable=x) == Forall(x, P)
    assert isinstance(x, Term) and isinstance(P, Formula) and not isinstance(P, Term)
    with pytest.raises(TypeError):
        Term()
    with pytest.raises(TypeError):
        Formula()


class Tagged(And):
    def __init__(self, left, right):
        self.tag = "t"


def test_python_subclasses():
    class MyVar(Variable):
        pass

    v = MyVar(3)
    assert v == MyVar(3) and v != Variable(3) and hash(v) == hash(Variable(3))
    assert repr(v).startswith("test_python_subclasses.<locals>.MyVar(sort=Ind, id=3")
    t = Tagged(P, Q)
    assert t.tag == "t" and t.left is P and t != And(P, Q)
    with pytest.raises(dataclasses.FrozenInstanceError):
        t.left = Q
    t.extra = 1  # non-field attributes of subclasses are ordinary
    back = pickle.loads(pickle.dumps(t))
    assert type(back) is Tagged and back.extra == 1 and back.left == P


def test_untracked_when_no_cycle_is_possible():
    f = FunctionApp("f", 2, (x, a))
    for node in (x, a, f, P, And(P, Q), Forall(x, P), Equality(f, a)):
        assert not gc.is_tracked(node)

    class Box:
        pass

    box = Box()
    odd = Constant("c", sort=box)
    assert gc.is_tracked(odd) and gc.is_tracked(Not(PredicateApp("P", 1, (odd,))))
    assert gc.is_tracked(PredicateApp("P", 1, (Variable(1, sort=box),)))
    box.back = odd  # a real cycle through a user object is collected
    import weakref

    r = weakref.ref(box)
    del box, odd
    gc.collect()
    assert r() is None


def test_reference_counts_of_children_return():
    p = PredicateApp("P", 2, (x, a))
    before = sys.getrefcount(p), sys.getrefcount(x)
    nodes = [And(p, p) for _ in range(100)] + [Forall(x, p) for _ in range(100)]
    assert nodes[0] == nodes[1]
    del nodes
    for bad in (lambda: FunctionApp("f", 3, (x,)), lambda: Equality(x, 3)):
        with pytest.raises(InvalidFormulaError):
            bad()
    assert (sys.getrefcount(p), sys.getrefcount(x)) == before


@pytest.mark.parametrize(
    "junk",
    [Raising(hash_=True), Raising(eq=True)],
    ids=["raising-hash", "raising-eq"],
)
def test_raising_fields(junk):
    if junk.hash_:
        with pytest.raises(RuntimeError, match="hash refused"):
            And(junk, Q)
        with pytest.raises(RuntimeError, match="hash refused"):
            hash(Variable(1, sort=junk))
    else:
        n1, n2 = Variable(1, sort=junk), Variable(1, sort=Raising(eq=True))
        assert n1 == Variable(1, sort=junk)  # identity short-cut
        with pytest.raises(RuntimeError, match="eq refused"):
            n1 == n2  # noqa: B015


@settings(max_examples=150, deadline=None)
@given(formulas())
def test_random_formulas_rebuild_and_pickle(f):
    assert pickle.loads(pickle.dumps(f)) == f
    assert hash(pickle.loads(pickle.dumps(f))) == hash(f)
    assert rebuild(f) == f


@settings(max_examples=150, deadline=None)
@given(terms(), terms())
def test_equal_terms_hash_equal(t1, t2):
    if t1 == t2:
        assert hash(t1) == hash(t2)
    assert (t1 == t2) == (repr(t1) == repr(t2))
