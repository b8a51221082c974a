"""ExportVisitor: infix, prefix and LaTeX layouts, errors, laws."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from strategies import formulas

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
from kelvara.core.sorts import FunctionSort, Ind, Nat, ParameterizedSort, PrimitiveSort
from kelvara.core.visitors import ExportVisitor
from kelvara.sol.ast_ext import ExistsFunc, ExistsPred, ForallFunc, ForallPred, FunctionVariable, PredicateVariable

x, y = Variable(1), Variable(2)
c = Constant("c")
X = PredicateVariable(0, 0, "X")
F = FunctionVariable(4, 1, "F")


def P(*args):
    return PredicateApp("P", len(args), tuple(args))


def Q(*args):
    return PredicateApp("Q", len(args), tuple(args))


def f(*args):
    return FunctionApp("f", len(args), tuple(args))


NOTATIONS = ("infix", "prefix", "latex")

CASES = [
    (Forall(x, Implies(P(x), Equality(x, c))),
     "forall v1 : Ind, (P(v1) => v1 = c)",
     "(forall (v1 : Ind) (=> (P v1) (= v1 c)))",
     "\\forall v_{1} : Ind, (P(v_{1}) \\implies v_{1} = c)"),
    (Not(And(P(x), Q())), "~((P(v1) & Q))", "(not (and (P v1) Q))", "\\neg ((P(v_{1}) \\land Q))"),
    (Not(P(x)), "~P(v1)", "(not (P v1))", "\\neg P(v_{1})"),
    (Not(Forall(x, P(x))), "~forall v1 : Ind, P(v1)", "(not (forall (v1 : Ind) (P v1)))",
     "\\neg \\forall v_{1} : Ind, P(v_{1})"),
    (f(x, c), "f(v1, c)", "(f v1 c)", "f(v_{1}, c)"),
    (f(), "f()", "f", "f()"),
    (Q(), "Q", "Q", "Q"),
    (ForallPred(X, Q()), "forall_pred X, Q", "(forall_pred (X) Q)", "\\forall X, Q"),
    (ExistsPred(X, Q()), "exists_pred X, Q", "(exists_pred (X) Q)", "\\exists X, Q"),
    (ForallFunc(F, Q()), "forall_func F, Q", "(forall_func (F) Q)", "\\forall F, Q"),
    (ExistsFunc(F, Q()), "exists_func F, Q", "(exists_func (F) Q)", "\\exists F, Q"),
    (Or(P(x), Q()), "(P(v1) | Q)", "(or (P v1) Q)", "(P(v_{1}) \\lor Q)"),
    (Iff(Q(), Q()), "(Q <=> Q)", "(<=> Q Q)", "(Q \\iff Q)"),
    (Exists(y, Equality(y, y)), "exists v2 : Ind, v2 = v2", "(exists (v2 : Ind) (= v2 v2))",
     "\\exists v_{2} : Ind, v_{2} = v_{2}"),
    (Not(Not(Iff(Q(), Q()))), "~~((Q <=> Q))", "(not (not (<=> Q Q)))", "\\neg \\neg ((Q \\iff Q))"),
    (Not(Equality(x, c)), "~v1 = c", "(not (= v1 c))", "\\neg v1 = c".replace("v1", "v_{1}")),
    (P(FunctionApp(F, 1, (x,))), "P(F(v1))", "(P (F v1))", "P(F(v_{1}))"),
    (PredicateApp(X, 1, (f(),)), "X(f())", "(X f)", "X(f())"),
    (Variable(12345678901234567890), "v12345678901234567890", "v12345678901234567890",
     "v_{12345678901234567890}"),
]


@pytest.mark.parametrize("node, infix, prefix, latex", CASES)
def test_layouts(node, infix, prefix, latex):
    for notation, text in zip(NOTATIONS, (infix, prefix, latex)):
        assert ExportVisitor(notation).visit(node) == text


def test_default_notation_is_infix():
    e = ExportVisitor()
    assert e.notation == "infix"
    assert e.visit(Not(And(P(x), Q()))) == "~((P(v1) & Q))"


@pytest.mark.parametrize(
    "sort, name",
    [(Nat, "Nat"), (ParameterizedSort("List", (Nat,)), "List(Nat)"),
     (FunctionSort((Ind, Nat), Ind), "(Ind * Nat -> Ind)")],
)
def test_sort_name_is_printed_whatever_its_class(sort, name):
    v = Variable(3, sort=sort)
    assert ExportVisitor().visit(Exists(v, Q())) == f"exists v3 : {name}, Q"


def test_no_escaping():
    odd = Constant("a_{b}\\c")
    s = PrimitiveSort("S_\\{x}")
    v = Variable(0, sort=s)
    assert ExportVisitor("latex").visit(Forall(v, P(odd))) == "\\forall v_{0} : S_\\{x}, P(a_{b}\\c)"


def test_non_ascii_names():
    assert ExportVisitor().visit(And(P(Constant("é")), PredicateApp("∀π", 1, (Constant("😀"),)))) == \
        "(P(é) & ∀π(😀))"


@pytest.mark.parametrize("bad, name", [(None, "NoneType"), (3, "int"), (type("S", (str,), {})("latex"), "S"),
                                       (b"infix", "bytes")])
def test_notation_type_is_checked_first(bad, name):
    with pytest.raises(TypeError) as e:
        ExportVisitor(bad)
    assert str(e.value) == f"Argument 'notation' has incorrect type (expected str, got {name})"


@pytest.mark.parametrize("bad", ["LaTeX", "", "infix ", "Prefix", "tex"])
def test_unsupported_notation(bad):
    with pytest.raises(ValueError) as e:
        ExportVisitor(bad)
    assert str(e.value) == "Unsupported notation: " + bad


def test_keyword_notation_and_changed_notation():
    e = ExportVisitor(notation="prefix")
    assert e.visit(P(x)) == "(P v1)"
    e.notation = "something else"
    assert e.visit(Forall(x, Not(And(P(x), Q())))) == "forall v1 : Ind, ~((P(v1) & Q))"
    e.notation = "latex"
    assert e.visit(x) == "v_{1}"


class Named:
    """A symbol with index, arity and a `name` of any type."""

    def __init__(self, name):
        self.index, self.arity, self.name = 0, 0, name

    def __repr__(self):
        return "Named"


class Symbol:
    """A symbol without a name attribute; prints through str()."""

    index, arity = 0, 1

    def __str__(self):
        return "sym"


def test_symbol_text():
    assert ExportVisitor().visit(PredicateApp(Symbol(), 1, (x,))) == "sym(v1)"
    assert ExportVisitor("prefix").visit(FunctionApp(Named(7), 1, (x,))) == "(7 v1)"


@pytest.mark.parametrize(
    "node, notation",
    [
        (PredicateApp(Named(7), 0, ()), "infix"),
        (PredicateApp(Named(7), 0, ()), "latex"),
        (FunctionApp(Named(7), 0, ()), "prefix"),
        (Not(PredicateApp(Named(7), 0, ())), "infix"),
    ],
)
def test_name_returned_unchanged_must_be_text(node, notation):
    with pytest.raises(TypeError) as e:
        ExportVisitor(notation).visit(node)
    assert str(e.value) == "Expected str, got int"


def test_absent_name_passes_through():
    e = ExportVisitor()
    assert e.visit(PredicateApp(Named(None), 0, ())) is None
    assert e.visit(Not(PredicateApp(Named(None), 0, ()))) == "~None"
    assert e.visit(FunctionApp(Named(None), 0, ())) == "None()"
    with pytest.raises(TypeError) as err:
        ExportVisitor("prefix").visit(P(c, FunctionApp(Named(None), 0, ())))
    assert str(err.value) == "sequence item 1: expected str instance, NoneType found"


def test_constant_name_is_returned_as_is():
    class Text(str):
        pass

    const = Constant("k")
    assert ExportVisitor().visit_constant(const) is const.name
    # A str subclass is text: returned as it is, like any str.
    tagged = Constant(Text("k"))
    assert ExportVisitor().visit(tagged) is tagged.name


def test_join_requires_text_arguments():
    class Numbers(ExportVisitor):
        def visit_constant(self, node):
            return 42

    with pytest.raises(TypeError) as e:
        Numbers().visit(f(x, c))
    assert str(e.value) == "sequence item 1: expected str instance, int found"
    assert Numbers().visit(Equality(x, c)) == "v1 = 42"
    assert Numbers("prefix").visit(Not(Equality(c, c))) == "(not (= 42 42))"


def test_override_results_are_interpolated():
    class Fancy(ExportVisitor):
        def visit_variable(self, node):
            return "<" + super().visit_variable(node) + ">"

    assert Fancy("latex").visit(Forall(x, P(x))) == "\\forall <v_{1}> : Ind, P(<v_{1}>)"


def test_notation_read_after_children():
    class Switch(ExportVisitor):
        def visit_variable(self, node):
            self.notation = "prefix"
            return super().visit_variable(node)

    assert Switch("infix").visit(And(P(x), Q())) == "(and (P v1) Q)"


# ---------------------------------------------------------------- laws


def ref_export(n, notation):
    """Straightforward string-concatenation model of the three layouts."""
    r = lambda m: ref_export(m, notation)  # noqa: E731
    if isinstance(n, Variable):
        return f"v_{{{n.id}}}" if notation == "latex" else f"v{n.id}"
    if isinstance(n, Constant):
        return n.name
    if isinstance(n, (FunctionApp, PredicateApp)):
        sym = n.func if isinstance(n, FunctionApp) else n.pred
        args = [r(a) for a in n.args]
        if not args and (isinstance(n, PredicateApp) or notation == "prefix"):
            return sym
        if notation == "prefix":
            return f"({sym} {' '.join(args)})"
        return f"{sym}({', '.join(args)})"
    if isinstance(n, Equality):
        return f"(= {r(n.left)} {r(n.right)})" if notation == "prefix" else f"{r(n.left)} = {r(n.right)}"
    if isinstance(n, Not):
        o = r(n.operand)
        wrap = isinstance(n.operand, (And, Or, Implies, Iff))
        if notation == "prefix":
            return f"(not {o})"
        neg = "\\neg " if notation == "latex" else "~"
        return f"{neg}({o})" if wrap else neg + o
    if isinstance(n, (Forall, Exists)):
        w = "forall" if isinstance(n, Forall) else "exists"
        v, b, s = r(n.variable), r(n.body), n.variable.sort.name
        if notation == "prefix":
            return f"({w} ({v} : {s}) {b})"
        return ("\\" if notation == "latex" else "") + f"{w} {v} : {s}, {b}"
    ops = {And: ("and", "\\land", "&"), Or: ("or", "\\lor", "|"), Implies: ("=>", "\\implies", "=>"),
           Iff: ("<=>", "\\iff", "<=>")}[type(n)]
    if notation == "prefix":
        return f"({ops[0]} {r(n.left)} {r(n.right)})"
    return f"({r(n.left)} {ops[1] if notation == 'latex' else ops[2]} {r(n.right)})"


@settings(max_examples=300, deadline=None)
@given(formulas(max_leaves=16), st.sampled_from(NOTATIONS))
def test_matches_the_concatenation_model(node, notation):
    e = ExportVisitor(notation)
    text = e.visit(node)
    assert text == ref_export(node, notation)
    assert e.visit(node) == text  # deterministic, the exporter keeps no state


@settings(max_examples=200, deadline=None)
@given(formulas(max_leaves=16, quantifiers=False))
def test_prefix_is_fully_parenthesised(node):
    text = ExportVisitor("prefix").visit(node)
    depth = 0
    for ch in text:
        depth += {"(": 1, ")": -1}.get(ch, 0)
        assert depth >= 0
    assert depth == 0
    compound = sum(1 for _ in _compound_nodes(node))
    assert text.count("(") == compound


def _compound_nodes(n):
    if isinstance(n, (FunctionApp, PredicateApp)):
        if n.args:
            yield n
        for a in n.args:
            yield from _compound_nodes(a)
    elif isinstance(n, (Equality, And, Or, Implies, Iff)):
        yield n
        yield from _compound_nodes(n.left)
        yield from _compound_nodes(n.right)
    elif isinstance(n, Not):
        yield n
        yield from _compound_nodes(n.operand)
