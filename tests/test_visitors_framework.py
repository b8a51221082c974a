"""ASTVisitor and ASTTransformer: dispatch, overrides, class hook, rebuilding."""

from __future__ import annotations

import abc
import inspect
import os
import subprocess
import sys
import typing

import pytest
from hypothesis import given, settings

from strategies import formulas, terms

from kelvara.core import visitors as V
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
)
from kelvara.sol.ast_ext import ExistsFunc, ExistsPred, ForallFunc, ForallPred, FunctionVariable, PredicateVariable

x, y = Variable(1), Variable(2)
c = Constant("c")


def P(*args):
    return PredicateApp("P", len(args), tuple(args))


def Q(*args):
    return PredicateApp("Q", len(args), tuple(args))


HANDLERS = [
    (Variable, "visit_variable"),
    (Constant, "visit_constant"),
    (FunctionApp, "visit_function_app"),
    (PredicateApp, "visit_predicate_app"),
    (Equality, "visit_equality"),
    (Not, "visit_not"),
    (And, "visit_and"),
    (Or, "visit_or"),
    (Implies, "visit_implies"),
    (Iff, "visit_iff"),
    (Forall, "visit_forall"),
    (Exists, "visit_exists"),
    (ForallPred, "visit_forall_pred"),
    (ExistsPred, "visit_exists_pred"),
    (ForallFunc, "visit_forall_func"),
    (ExistsFunc, "visit_exists_func"),
]

SAMPLES = {
    Variable: x,
    Constant: c,
    FunctionApp: FunctionApp("f", 1, (x,)),
    PredicateApp: P(x),
    Equality: Equality(x, c),
    Not: Not(P(x)),
    And: And(P(x), Q()),
    Or: Or(P(x), Q()),
    Implies: Implies(P(x), Q()),
    Iff: Iff(P(x), Q()),
    Forall: Forall(x, P(x)),
    Exists: Exists(x, P(x)),
    ForallPred: ForallPred(PredicateVariable(0, 0, "X"), Q()),
    ExistsPred: ExistsPred(PredicateVariable(0, 0, "X"), Q()),
    ForallFunc: ForallFunc(FunctionVariable(0, 1, "F"), Q()),
    ExistsFunc: ExistsFunc(FunctionVariable(0, 1, "F"), Q()),
}


class Recorder(V.ASTVisitor[str]):
    """Returns the name of the handler that ran, for every one of the sixteen."""


for _cls, _name in HANDLERS:
    setattr(Recorder, _name, (lambda n: lambda self, node: n)(_name))
Recorder.__abstractmethods__ = frozenset()


# ---------------------------------------------------------------- module and class shape


def test_module_documentation_and_names():
    assert V.__doc__ == "AST Visitor pattern implementations for traversal, size computation, and serialization."
    names = [n for n in vars(V) if not n.startswith("__")]
    classes = ["ASTVisitor", "ASTTransformer", "DepthVisitor", "SizeVisitor", "FreeVariableCollector",
               "SubstitutionTransformer", "ExportVisitor"]
    assert names[-len(classes):] == classes
    for n in ("Variable", "Forall", "ForallPred", "PredicateVariable", "FunctionVariable", "Sort",
              "PrimitiveSort", "ParameterizedSort", "FunctionSort", "Ind", "Nat", "Bool"):
        assert n in names


@pytest.mark.parametrize(
    "cls, doc",
    [
        (V.ASTVisitor, "Generic visitor base class for AST traversal."),
        (V.ASTTransformer, "Visitor that returns transformed AST nodes (bottom-up structural transformation)."),
        (V.DepthVisitor, "Computes the maximum depth of an AST tree."),
        (V.SizeVisitor, "Computes the total number of nodes in an AST tree."),
        (V.FreeVariableCollector, "Collects all free individual variables in a term or formula."),
        (V.ExportVisitor, "Translates AST to string in various notations ('infix', 'prefix', 'latex')."),
    ],
)
def test_class_documentation(cls, doc):
    assert cls.__doc__ == doc
    assert cls.__module__ == "kelvara.core.visitors"


def test_substitution_documentation_names_the_pipeline():
    doc = V.SubstitutionTransformer.__doc__
    assert doc.startswith("Applies variable substitutions to terms and formulas with capture avoidance.")
    assert "kelvara.core.substitutions" in doc


def test_visitor_is_an_abstract_generic_class():
    assert type(V.ASTVisitor) is abc.ABCMeta
    assert V.ASTVisitor.__orig_bases__[0] is abc.ABC
    assert typing.get_origin(V.ASTVisitor.__orig_bases__[1]) is typing.Generic
    assert V.ASTVisitor.__mro__[1:] == (abc.ABC, typing.Generic, object)
    assert len(V.ASTVisitor.__parameters__) == 1
    assert V.ASTVisitor._dispatch_table == {}
    assert V.ASTVisitor.__abstractmethods__ == frozenset(name for _, name in HANDLERS[:12])


@pytest.mark.parametrize(
    "cls, arg",
    [
        (V.DepthVisitor, int),
        (V.SizeVisitor, int),
        (V.FreeVariableCollector, typing.Set[Variable]),
        (V.ExportVisitor, str),
        (V.ASTTransformer, typing.Union[Term, Formula]),
    ],
)
def test_concrete_visitors_fix_the_type_parameter(cls, arg):
    (base,) = cls.__orig_bases__
    assert typing.get_origin(base) is V.ASTVisitor
    assert typing.get_args(base) == (arg,)


def test_declaration_order_of_methods():
    names = [n for n in vars(V.ASTVisitor) if n.startswith("visit") or n == "__init_subclass__"]
    assert names == ["__init_subclass__", "visit"] + [name for _, name in HANDLERS]
    for cls in (V.ASTTransformer, V.DepthVisitor, V.SizeVisitor, V.FreeVariableCollector, V.ExportVisitor):
        assert [n for n in vars(cls) if n.startswith("visit_")] == [name for _, name in HANDLERS]
    assert [n for n in vars(V.SubstitutionTransformer) if n.startswith("visit_") or n == "__init__"] == [
        "__init__", "visit_variable", "visit_forall", "visit_exists"]


def test_methods_look_like_functions():
    m = V.ASTVisitor.visit
    assert m.__name__ == "visit" and m.__qualname__ == "ASTVisitor.visit"
    assert m.__module__ == "kelvara.core.visitors"
    assert str(inspect.signature(m)) == "(self, node)"
    assert str(inspect.signature(V.SizeVisitor().visit_and)) == "(node)"
    assert str(inspect.signature(V.ExportVisitor.__init__)) == "(self, notation='infix')"
    assert V.ASTVisitor.visit_iff.__isabstractmethod__ is True
    assert V.ASTVisitor.visit_forall_pred.__isabstractmethod__ is False
    v = V.SizeVisitor()
    assert v.visit.__self__ is v
    assert V.SizeVisitor.__dict__["visit_and"].__get__(None, V.SizeVisitor) is V.SizeVisitor.__dict__["visit_and"]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: V.SizeVisitor().visit(), "ASTVisitor.visit() missing 1 required positional argument: 'node'"),
        (lambda: V.SizeVisitor.visit(), "ASTVisitor.visit() missing 2 required positional arguments: 'self' and 'node'"),
        (lambda: V.SizeVisitor().visit(x, x), "ASTVisitor.visit() takes 2 positional arguments but 3 were given"),
        (lambda: V.SizeVisitor().visit(x, nod=x), "ASTVisitor.visit() got an unexpected keyword argument 'nod'"),
        (lambda: V.SizeVisitor().visit(x, node=x), "ASTVisitor.visit() got multiple values for argument 'node'"),
        (lambda: V.ExportVisitor("infix", "x"),
         "ExportVisitor.__init__() takes from 1 to 2 positional arguments but 3 were given"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_keyword_call_of_visit_and_handlers():
    assert V.SizeVisitor().visit(node=P(x)) == 2
    assert V.SizeVisitor.visit_not(V.SizeVisitor(), node=Not(P(x))) == 3


# ---------------------------------------------------------------- dispatch


@pytest.mark.parametrize("cls, name", HANDLERS)
def test_every_kind_reaches_its_handler(cls, name):
    assert Recorder().visit(SAMPLES[cls]) == name
    assert Recorder._dispatch_table[cls] == name


def test_dispatch_table_rows_and_order():
    assert list(Recorder._dispatch_table.items()) == HANDLERS


@pytest.mark.parametrize(
    "obj, name",
    [(None, "NoneType"), (3, "int"), ("x", "str"), (Term, "type"), ((x,), "tuple")],
)
def test_unsupported_objects(obj, name):
    with pytest.raises(TypeError) as e:
        Recorder().visit(obj)
    assert str(e.value) == "Unsupported AST node type: " + name


@pytest.mark.parametrize("base", [Variable, Constant, PredicateApp, And, Forall, ForallPred])
def test_derived_node_classes_are_refused(base):
    Derived = type("Derived" + base.__name__, (base,), {})
    sample = SAMPLES[base]
    node = Derived(*[getattr(sample, f) for f in sample.__match_args__])
    with pytest.raises(TypeError) as e:
        Recorder().visit(node)
    assert str(e.value) == "Unsupported AST node type: Derived" + base.__name__


def test_first_order_visitor_meets_second_order_quantifier():
    class FirstOrder(V.ASTVisitor[int]):
        pass

    for _, name in HANDLERS[:12]:
        setattr(FirstOrder, name, lambda self, node: 0)
    FirstOrder.__abstractmethods__ = frozenset()
    v = FirstOrder()
    for cls in (ForallPred, ExistsPred, ForallFunc, ExistsFunc):
        with pytest.raises(NotImplementedError) as e:
            v.visit(SAMPLES[cls])
        assert e.value.args == ()


def test_missing_handler_makes_the_class_abstract():
    ns = {name: (lambda self, node: None) for _, name in HANDLERS[:12] if name != "visit_iff"}
    Missing = type("Missing", (V.ASTVisitor,), ns)
    with pytest.raises(TypeError, match="abstract class Missing .*visit_iff"):
        Missing()
    Complete = type("Complete", (Missing,), {"visit_iff": lambda self, node: None})
    Complete()


def test_abstract_handlers_return_none_when_called_through_the_base():
    for _, name in HANDLERS[:12]:
        assert getattr(V.ASTVisitor, name)(Recorder(), x) is None


# ---------------------------------------------------------------- class hook


def test_table_in_class_body_does_not_survive():
    class Mine(Recorder):
        _dispatch_table = {Variable: "visit_constant"}

    assert Mine().visit(x) == "visit_variable"
    assert Mine._dispatch_table == Recorder._dispatch_table
    assert Mine._dispatch_table is not Recorder._dispatch_table


def test_every_subclass_at_any_depth_gets_a_fresh_table():
    class A(V.SizeVisitor):
        pass

    class B(A):
        pass

    tables = [V.SizeVisitor._dispatch_table, A._dispatch_table, B._dispatch_table]
    assert len({id(t) for t in tables}) == 3
    assert all(t == tables[0] for t in tables)


def test_class_keywords_reach_the_parent_hook_first():
    seen = []

    class Base(V.ASTVisitor):
        def __init_subclass__(cls, **kwargs):
            seen.append(("base", sorted(kwargs), "_dispatch_table" in vars(cls)))
            super().__init_subclass__()

    class Child(Base, flavour="x", level=2):
        pass

    assert seen == [("base", ["flavour", "level"], False)]
    assert "_dispatch_table" in vars(Child)

    with pytest.raises(TypeError, match=r"Refused\.__init_subclass__\(\) takes no keyword arguments$"):
        class Refused(V.SizeVisitor, flavour="x"):
            pass


def test_hook_takes_the_classes_the_module_names_now(monkeypatch):
    class Marker:
        pass

    monkeypatch.setattr(V, "Variable", Marker)

    class Late(V.SizeVisitor):
        pass

    assert Late._dispatch_table[Marker] == "visit_variable"
    assert Variable not in Late._dispatch_table


def test_table_edited_after_declaration_is_used():
    class Edited(Recorder):
        pass

    assert Edited().visit(x) == "visit_variable"
    Edited._dispatch_table[Variable] = "visit_constant"
    assert Edited().visit(x) == "visit_constant"
    del Edited._dispatch_table[Variable]
    with pytest.raises(TypeError, match="^Unsupported AST node type: Variable$"):
        Edited().visit(x)


def test_table_on_the_instance_wins():
    v = Recorder()
    v._dispatch_table = {Variable: "visit_iff"}
    assert v.visit(x) == "visit_iff"


# ---------------------------------------------------------------- overrides


def test_override_in_subclass_applies_to_children_of_builtin_handlers():
    class Weighted(V.SizeVisitor):
        def visit_variable(self, node):
            return 10

    assert Weighted().visit(And(P(x), P(c))) == 1 + 11 + 2


def test_override_on_instance_and_on_class_later():
    v = V.SizeVisitor()
    v.visit_variable = lambda node: 100
    assert v.visit(P(x)) == 101
    assert V.SizeVisitor().visit(P(x)) == 2

    class Later(V.SizeVisitor):
        pass

    w = Later()
    assert w.visit(P(x)) == 2
    Later.visit_variable = lambda self, node: 7
    assert w.visit(P(x)) == 8
    del Later.visit_variable
    assert w.visit(P(x)) == 2


def test_override_of_visit_itself_is_used_for_children():
    calls = []

    class Tracing(V.DepthVisitor):
        def visit(self, node):
            calls.append(type(node).__name__)
            return super().visit(node)

    assert Tracing().visit(Not(P(x))) == 3
    assert calls == ["Not", "PredicateApp", "Variable"]


def test_custom_getattribute_is_respected():
    class Redirect(V.SizeVisitor):
        def __getattribute__(self, name):
            if name == "visit_constant":
                return lambda node: 50
            return super().__getattribute__(name)

    assert Redirect().visit(P(c, x)) == 1 + 50 + 1


def test_super_call_from_override():
    class Outer(V.ExportVisitor):
        def visit_and(self, node):
            return "[" + super().visit_and(node) + "]"

    assert Outer().visit(Not(And(P(x), Q()))) == "~([(P(v1) & Q)])"


# ---------------------------------------------------------------- ASTTransformer

IDENTITY = V.ASTTransformer()


@settings(max_examples=200, deadline=None)
@given(formulas(max_leaves=12))
def test_transformer_returns_the_identical_object(f):
    assert IDENTITY.visit(f) is f


@settings(max_examples=100, deadline=None)
@given(terms(max_leaves=10))
def test_transformer_returns_identical_terms(t):
    assert IDENTITY.visit(t) is t


@pytest.mark.parametrize("cls", list(SAMPLES))
def test_transformer_identity_on_every_kind(cls):
    assert IDENTITY.visit(SAMPLES[cls]) is SAMPLES[cls]


class RenameX(V.ASTTransformer):
    def visit_variable(self, node):
        return y if node == x else node


class XToConstant(V.ASTTransformer):
    def visit_variable(self, node):
        return c if node == x else node


def test_rebuild_only_along_the_changed_path():
    right = Q(y)
    f = And(P(x), right)
    g = RenameX().visit(f)
    assert g == And(P(y), Q(y)) and g is not f
    assert g.right is right


def test_binder_is_visited_and_checked():
    assert RenameX().visit(Forall(x, P(x))) == Forall(y, P(y))
    with pytest.raises(AssertionError) as e:
        XToConstant().visit(Forall(x, P(x)))
    assert e.value.args == ()
    assert XToConstant().visit(P(x)) == P(c)


class VariablesBecomeFormulas(V.ASTTransformer):
    def visit_variable(self, node):
        return Q()


class AtomsBecomeTerms(V.ASTTransformer):
    def visit_predicate_app(self, node):
        return Constant("k")


@pytest.mark.parametrize(
    "transformer, node",
    [
        (VariablesBecomeFormulas, Equality(x, c)),
        (VariablesBecomeFormulas, Equality(c, x)),
        (AtomsBecomeTerms, Not(P(x))),
        (AtomsBecomeTerms, And(P(x), Q())),
        (AtomsBecomeTerms, Or(Q(x), Q())),
        (AtomsBecomeTerms, Implies(Q(), P(x))),
        (AtomsBecomeTerms, Iff(P(x), P(x))),
        (AtomsBecomeTerms, Forall(x, P(x))),
        (AtomsBecomeTerms, Exists(y, P(x))),
        (AtomsBecomeTerms, ForallPred(PredicateVariable(0, 0), P(x))),
        (AtomsBecomeTerms, ExistsFunc(FunctionVariable(0, 0), P(x))),
    ],
)
def test_debug_assertions_of_each_row(transformer, node):
    with pytest.raises(AssertionError) as e:
        transformer().visit(node)
    assert e.value.args == ()


def test_debug_assertions_are_off_under_optimisation():
    code = """
from kelvara.core.ast import Variable, Constant, Forall, PredicateApp
from kelvara.core.visitors import ASTTransformer
x = Variable(1)
class T(ASTTransformer):
    def visit_variable(self, node):
        return Constant("c")
r = T().visit(Forall(x, PredicateApp("P", 1, (x,))))
print(type(r).__name__, r.variable)
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    res = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert res.returncode == 0, res.stderr
    assert res.stdout.strip() == "Forall Constant(sort=Ind, name='c')"


def test_non_term_arguments_are_dropped_and_arity_refuses():
    class TermToFormula(V.ASTTransformer):
        def visit_constant(self, node):
            return Q() if node.name == "b" else node

    with pytest.raises(InvalidFormulaError) as e:
        TermToFormula().visit(FunctionApp("f", 2, (Constant("a"), Constant("b"))))
    assert str(e.value) == "FunctionApp 'f' expected arity 2, got 1 arguments."
    with pytest.raises(InvalidFormulaError) as e:
        TermToFormula().visit(PredicateApp("R", 2, (Constant("b"), Constant("a"))))
    assert str(e.value) == "PredicateApp 'R' expected arity 2, got 1 arguments."


def test_function_app_copies_symbol_arity_and_sort():
    from kelvara.core.sorts import Nat

    f = FunctionApp("g", 2, (x, c), Nat)
    g = RenameX().visit(f)
    assert (g.func, g.arity, g.args, g.return_sort, g.sort) == ("g", 2, (y, c), Nat, Nat)


def test_second_order_quantifier_keeps_its_variable_object():
    X = PredicateVariable(3, 1, "X")
    same = ForallPred(X, Q())
    assert RenameX().visit(same) is same
    changed = ExistsFunc(X, P(x))
    out = RenameX().visit(changed)
    assert type(out) is ExistsFunc and out.variable is X and out.body == P(y)


def test_handler_errors_pass_through_unchanged():
    class Boom(V.ASTTransformer):
        def visit_constant(self, node):
            raise KeyError("boom")

    with pytest.raises(KeyError) as e:
        Boom().visit(Not(Equality(x, c)))
    assert e.value.args == ("boom",)


def test_handlers_called_directly_with_subclass_nodes():
    class MyAnd(And):
        pass

    node = MyAnd(P(x), Q())
    out = RenameX().visit_and(node)
    assert type(out) is And and out == And(P(y), Q())
    assert V.SizeVisitor().visit_and(node) == 4
