"""The TPTP reader: formulas, truth constants, includes and error reports."""

from __future__ import annotations

import pytest

from kelvara.core.ast import And, Constant, Equality, Exists, Forall, FunctionApp, Iff, Implies, Not, Or, PredicateApp, Variable
from kelvara.prover.tptp import FALSE, TRUE, TPTPError, parse_file, parse_problem

P = PredicateApp("p", 0, ())
Q = PredicateApp("q", 0, ())
R = PredicateApp("r", 0, ())
A = Constant("a")
B = Constant("b")


def only_formula(text: str):
    problem = parse_problem(text)
    assert len(problem.formulas) == 1
    return problem.formulas[0].formula


@pytest.mark.parametrize(
    "source, expected",
    [
        ("p <=> q", Iff(P, Q)),
        ("p => q", Implies(P, Q)),
        ("p <= q", Implies(Q, P)),
        ("p <~> q", Not(Iff(P, Q))),
        ("p ~| q", Not(Or(P, Q))),
        ("p ~& q", Not(And(P, Q))),
        ("p | q | r", Or(Or(P, Q), R)),
        ("p & q & r", And(And(P, Q), R)),
        ("~ p | q", Or(Not(P), Q)),
        ("~ (p | q)", Not(Or(P, Q))),
        ("(p => q) => r", Implies(Implies(P, Q), R)),
        ("a = b", Equality(A, B)),
        ("a != b", Not(Equality(A, B))),
        ("f(a, g(b)) = 'A quoted'",
         Equality(FunctionApp("f", 2, (A, FunctionApp("g", 1, (B,)))), Constant("A quoted"))),
        ("p(\"distinct\", 42)", PredicateApp("p", 2, (Constant('"distinct"'), Constant("42")))),
        ("fof & include", And(PredicateApp("fof", 0, ()), PredicateApp("include", 0, ()))),
    ],
)
def test_connectives_map_onto_nodes(source, expected):
    assert only_formula(f"fof(f, axiom, {source}).") == expected


def test_quantifiers_bind_fresh_variables_and_respect_shadowing():
    formula = only_formula("fof(f, axiom, ! [X, Y] : (p(X, Y) & ? [X] : q(X, Y))).")
    x, y, inner = Variable(0), Variable(1), Variable(2)
    assert formula == Forall(x, Forall(y, And(PredicateApp("p", 2, (x, y)),
                                              Exists(inner, PredicateApp("q", 2, (inner, y))))))


def test_free_variables_of_clauses_are_closed_universally():
    formula = only_formula("cnf(c, axiom, p(X) | ~ q(Y, X)).")
    x, y = Variable(0), Variable(1)
    assert formula == Forall(x, Forall(y, Or(PredicateApp("p", 1, (x,)), Not(PredicateApp("q", 2, (y, x))))))


def test_a_free_variable_of_a_fof_formula_is_an_input_error():
    with pytest.raises(TPTPError) as info:
        parse_problem("fof(c, axiom, p(X) | ~ q(Y, X)).", file="prob.p")
    assert (info.value.status, info.value.line, info.value.column) == ("InputError", 1, 17)
    assert "variable 'X' is free in fof formula 'c'" in str(info.value)


@pytest.mark.parametrize(
    "source, expected",
    [
        ("p & $true", P),
        ("p | $false", P),
        ("p | $true", TRUE),
        ("p & $false", FALSE),
        ("$false => p", TRUE),
        ("p => $false", Not(P)),
        ("$true <=> p", P),
        ("p <=> $false", Not(P)),
        ("~ $true", FALSE),
        ("! [X] : (p(X) | $true)", TRUE),
    ],
)
def test_truth_constants_are_propagated_away(source, expected):
    assert only_formula(f"fof(f, axiom, {source}).") == expected


def test_roles_names_and_header_status_are_read():
    problem = parse_problem(
        "% Status   : CounterSatisfiable\n"
        "fof(ax_1, hypothesis, p).\n"
        "fof('quoted name', conjecture, q).\n"
        "cnf(17, negated_conjecture, ~ r, inference(foo, [status(thm)], [ax_1])).\n"
    )
    assert [(f.name, f.role, f.language) for f in problem.formulas] == [
        ("ax_1", "hypothesis", "fof"), ("quoted name", "conjecture", "fof"), ("17", "negated_conjecture", "cnf")]
    assert problem.expected_status == "CounterSatisfiable"
    assert [f.name for f in problem.conjectures] == ["quoted name"]


@pytest.mark.parametrize(
    "text, status, line, column, fragment",
    [
        ("fof(a, axiom, p(X)", "SyntaxError", 1, 19, "unexpected end of input"),
        ("fof(a, axiom, p &\n  ).", "SyntaxError", 2, 3, "unexpected ')'"),
        ("fof(a, axiom, p).\nfof(b, axiom, p q).", "SyntaxError", 2, 17, "expected"),
        ("fof(a, axiom, p).\ntff(t, type, p: $o).", "Inappropriate", 2, 1, "language 'tff' is not supported"),
        ("fof(a, lemmata, p).", "InputError", 1, 8, "unknown role 'lemmata'"),
        ("fof(a, axiom, X).", "SyntaxError", 1, 15, "variable cannot stand as a formula"),
        ("cnf(a, axiom, ! [X] : p(X)).", "SyntaxError", 1, 1, "not a disjunction of literals"),
        ("cnf(a, axiom, p & q).", "SyntaxError", 1, 1, "not a disjunction of literals"),
        ("fof(a, axiom, $distinct(a, b)).", "SyntaxError", 1, 15, "unsupported defined predicate"),
        ("fof(a, axiom, p(a) & p(a, b) & p(f(a)) = b).", "InputError", 1, 22,
         "'p' is used with arity 2 here but with arity 1 at prob.p:1:15"),
    ],
)
def test_errors_name_the_place_and_what_was_expected(text, status, line, column, fragment):
    with pytest.raises(TPTPError) as info:
        parse_problem(text, file="prob.p")
    error = info.value
    assert (error.status, error.line, error.column) == (status, line, column)
    assert fragment in str(error)
    assert str(error).startswith(f"prob.p:{line}:")


def test_includes_resolve_relative_to_the_problem_and_select_names(tmp_path):
    axioms = tmp_path / "Axioms"
    axioms.mkdir()
    (axioms / "set.ax").write_text("fof(one, axiom, p).\nfof(two, axiom, q).\nfof(three, axiom, r).\n")
    problem_file = tmp_path / "prob.p"
    problem_file.write_text("include('Axioms/set.ax', [one, three]).\nfof(goal, conjecture, p & r).\n")
    problem = parse_file(problem_file)
    assert [f.name for f in problem.formulas] == ["one", "three", "goal"]
    assert problem.name == "prob"
    assert problem.formulas[0].file.endswith("set.ax")


def test_includes_fall_back_to_the_tptp_root(tmp_path, monkeypatch):
    root = tmp_path / "root"
    (root / "Axioms").mkdir(parents=True)
    (root / "Axioms" / "a.ax").write_text("fof(from_root, axiom, p).\n")
    problem_file = tmp_path / "elsewhere" / "prob.p"
    problem_file.parent.mkdir()
    problem_file.write_text("include('Axioms/a.ax').\n")
    monkeypatch.delenv("TPTP", raising=False)
    with pytest.raises(TPTPError, match="include file 'Axioms/a.ax' not found"):
        parse_file(problem_file)
    monkeypatch.setenv("TPTP", str(root))
    assert [f.name for f in parse_file(problem_file).formulas] == ["from_root"]


def test_an_error_inside_an_include_loads_nothing(tmp_path):
    (tmp_path / "bad.ax").write_text("fof(ok, axiom, p).\nfof(broken, axiom, p |).\n")
    problem_file = tmp_path / "prob.p"
    problem_file.write_text("fof(first, axiom, q).\ninclude('bad.ax').\n")
    with pytest.raises(TPTPError) as info:
        parse_file(problem_file)
    assert info.value.file.endswith("bad.ax") and info.value.line == 2


def test_include_cycles_and_missing_files_are_reported(tmp_path):
    (tmp_path / "loop.ax").write_text("include('loop.ax').\n")
    problem_file = tmp_path / "prob.p"
    problem_file.write_text("include('loop.ax').\n")
    with pytest.raises(TPTPError, match="include cycle"):
        parse_file(problem_file)
    with pytest.raises(TPTPError, match="no such file") as info:
        parse_file(tmp_path / "absent.p")
    assert info.value.status == "InputError"
