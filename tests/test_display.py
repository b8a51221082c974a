"""Readable values: __format__ in the export notations, the IPython and notebook
hooks, and one variable naming across clauses, literals and the export.

repr and str of the nodes are fixed elsewhere (tests/test_ast_nodes.py); here
they must merely stay what they were.
"""

from __future__ import annotations

import subprocess
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

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
from kelvara.core.sorts import Ind, Nat
from kelvara.core.visitors import ExportVisitor
from kelvara.sol.ast_ext import ForallPred, PredicateVariable

from strategies import atoms, formulas, terms
from twins import IMPLEMENTATIONS, functions

NOTATIONS = ("infix", "prefix", "latex")
x, y, a = Variable(1), Variable(2), Constant("c")
P = lambda *args: PredicateApp("P", len(args), args)  # noqa: E731
f = lambda *args: FunctionApp("f", len(args), args)  # noqa: E731
SAMPLES = [
    x, a, f(x, a), f(), P(), P(x), Equality(f(x), a), Not(And(P(x), P())), Or(P(x), P(a)),
    Implies(P(x), Equality(x, a)), Iff(P(), P()), Forall(x, Implies(P(x), Equality(x, a))), Exists(y, P(y)),
    ForallPred(PredicateVariable(0, 0, "X"), PredicateApp("Q", 0, ())),
]


class Printer:
    """Stands in for IPython's pretty printer: collects what is written."""

    def __init__(self):
        self.parts = []

    def text(self, s):
        self.parts.append(s)


@pytest.mark.parametrize("node", SAMPLES, ids=lambda n: type(n).__name__)
@pytest.mark.parametrize("notation", NOTATIONS)
def test_format_is_the_export(node, notation):
    text = ExportVisitor(notation).visit(node)
    assert f"{node:{notation}}" == text == format(node, notation)
    assert isinstance(f"{node:{notation}}", str)


@pytest.mark.parametrize("node", SAMPLES, ids=lambda n: type(n).__name__)
def test_display_hooks(node):
    before = (repr(node), str(node))
    printer = Printer()
    node._repr_pretty_(printer, False)
    assert printer.parts == [ExportVisitor("infix").visit(node)]
    assert node._repr_latex_() == "$" + ExportVisitor("latex").visit(node) + "$"
    assert format(node, "") == str(node) == f"{node}"
    assert (repr(node), str(node)) == before


def test_format_of_the_spec_examples():
    formula = Forall(x, Implies(P(x), Equality(x, a)))
    assert f"{formula:infix}" == "forall v1 : Ind, (P(v1) => v1 = c)"
    assert f"{formula:prefix}" == "(forall (v1 : Ind) (=> (P v1) (= v1 c)))"
    assert f"{formula:latex}" == "\\forall v_{1} : Ind, (P(v_{1}) \\implies v_{1} = c)"
    assert repr(x) == "Variable(sort=Ind, id=1, kind=<VariableKind.INDIVIDUAL: 'INDIVIDUAL'>)"


@pytest.mark.parametrize("spec", ["LaTeX", ">10", "s", " infix", "infix "])
def test_unknown_format_spec(spec):
    node = Not(P(x))
    with pytest.raises(ValueError, match=rf"^Unknown format spec {spec!r} for Not: expected 'infix', 'prefix' or 'latex'$"):
        format(node, spec)


def test_format_spec_must_be_str():
    with pytest.raises(TypeError, match="format spec must be str, not int"):
        P(x).__format__(3)


def test_second_order_nodes_format_and_subclasses_fail_as_the_export_does():
    assert f"{SAMPLES[-1]:latex}" == "\\forall X, Q"

    class MyAnd(And):
        pass

    node = MyAnd(P(x), P(a))
    with pytest.raises(TypeError) as exported:
        ExportVisitor("prefix").visit(node)
    with pytest.raises(TypeError) as formatted:
        format(node, "prefix")
    assert str(formatted.value) == str(exported.value) == "Unsupported AST node type: MyAnd"
    assert format(node, "") == str(node)


def test_format_does_not_import_the_visitors_at_load():
    code = (
        "import sys\n"
        "from kelvara.core.ast import Variable, PredicateApp\n"
        "assert 'kelvara.core.visitors' not in sys.modules\n"
        "print(f'{PredicateApp(\"P\", 1, (Variable(0),)):prefix}')\n"
    )
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "(P v0)\n"


@pytest.mark.parametrize("which", IMPLEMENTATIONS)
class TestCompanions:
    def test_literal_format(self, which):
        Literal = functions(which)["Literal"]
        pos, neg = Literal(P(x)), Literal(Equality(f(x), a), False)
        assert [f"{pos:{n}}" for n in NOTATIONS] == ["P(v1)", "(P v1)", "P(v_{1})"]
        assert [f"{neg:{n}}" for n in NOTATIONS] == ["~f(v1) = c", "(not (= (f v1) c))", "\\neg f(v_{1}) = c"]
        assert f"{neg}" == str(neg) == "~f(v1) = c"

    def test_clause_format(self, which):
        Literal, Clause = functions(which)["Literal"], functions(which)["Clause"]
        c = Clause([Literal(P(x)), Literal(PredicateApp("Q", 1, (a,)), False)])
        assert f"{c:infix}" == str(c) == "P(v1) | ~Q(c)"
        assert f"{c:prefix}" == "(or (P v1) (not (Q c)))"
        assert f"{c:latex}" == "P(v_{1}) \\lor \\neg Q(c)"
        unit = Clause([Literal(P(a))])
        assert f"{unit:prefix}" == "(P c)"
        empty = Clause()
        assert [f"{empty:{n}}" for n in NOTATIONS] == ["[]", "(or)", "\\bot"]

    def test_hooks(self, which):
        Literal, Clause = functions(which)["Literal"], functions(which)["Clause"]
        c = Clause([Literal(P(x)), Literal(P(a), False)])
        printer = Printer()
        c._repr_pretty_(printer, False)
        assert printer.parts == ["P(v1) | ~P(c)"]
        assert c._repr_latex_() == "$P(v_{1}) \\lor \\neg P(c)$"
        assert c.literals[1]._repr_latex_() == "$\\neg P(c)$"
        assert repr(c.literals[0]) == f"Literal(atom={P(x)!r}, positive=True)"

    def test_bad_specs(self, which):
        Literal, Clause = functions(which)["Literal"], functions(which)["Clause"]
        with pytest.raises(ValueError, match="^Unknown format spec 'x' for Clause: "):
            format(Clause(), "x")
        with pytest.raises(ValueError, match="^Unknown format spec 'Infix' for Literal: "):
            format(Literal(P()), "Infix")
        with pytest.raises(TypeError):
            Literal(P())._repr_pretty_(Printer())

    @given(st.lists(atoms(), max_size=4), st.lists(st.booleans(), min_size=4, max_size=4))
    def test_one_variable_naming(self, which, atom_list, signs):
        """str of clauses and literals names variables as the export does (v<id>)."""
        Literal, Clause = functions(which)["Literal"], functions(which)["Clause"]
        lits = [Literal(atom, sign) for atom, sign in zip(atom_list, signs)]
        clause = Clause(lits)
        for lit in clause.literals:
            exported = ExportVisitor("infix").visit(lit.atom if lit.positive else Not(lit.atom))
            # The text adds a variable's sort when it is not Ind; otherwise they agree.
            if all(v.sort is Ind for v in lit.atom._free_vars):
                assert str(lit) == exported == f"{lit:infix}"
            else:
                assert str(lit).replace(":Nat", "") == exported
        if all(v.sort is Ind for v in clause.free_variables()):
            assert str(clause) == f"{clause:infix}"


@given(terms(sorts_=(Ind,)))
def test_terms_format_as_exported(term):
    assert [format(term, n) for n in NOTATIONS] == [ExportVisitor(n).visit(term) for n in NOTATIONS]


@given(formulas())
def test_formulas_format_as_exported(formula):
    assert [format(formula, n) for n in NOTATIONS] == [ExportVisitor(n).visit(formula) for n in NOTATIONS]


def test_sorted_variable_shows_its_sort_in_clause_text():
    Literal = functions("python")["Literal"]
    assert str(Literal(P(Variable(3, sort=Nat)))) == "P(v3:Nat)"
