"""The native TPTP reader: width and depth, includes read once, statuses,
annotations, distinct objects, the budget callback and hostile callers.
A differential test compares it with the lark twin on real problems."""

from __future__ import annotations

import os
import time
from pathlib import Path

import pytest

from kelvara.core.ast import Constant, Forall, Not, Or, PredicateApp, Equality
from kelvara.prover._tptp import Reader, ReadError
from kelvara.prover.limits import Budget, LimitReached
from kelvara.prover.tptp import TPTPError, parse_file, parse_problem

DEV_SET = Path("/work/shared/tptp-dev")


def read_error(text: str) -> TPTPError:
    with pytest.raises(TPTPError) as info:
        parse_problem(text, file="prob.p")
    return info.value


def test_a_disjunction_of_a_million_operands_parses():
    n = 10**6
    text = "fof(wide, axiom, " + " | ".join(f"p{i % 997}" for i in range(n)) + ")."
    formula = parse_problem(text).formulas[0].formula
    # The chain leans left: walk down its spine and count the operands.
    count = 1
    while type(formula) is Or:
        assert type(formula.right) is PredicateApp
        formula = formula.left
        count += 1
    assert count == n and formula == PredicateApp("p0", 0, ())


@pytest.mark.parametrize(
    "make",
    [
        lambda d: "~ " * d + "p",
        lambda d: "(" * d + "p" + ")" * d,
        lambda d: "p(" + "f(" * d + "a" + ")" * d + ")",
        lambda d: "! [X] : " * d + "p(X)",
        lambda d: "(p => " * d + "p" + ")" * d,
    ],
    ids=["negations", "parentheses", "term", "quantifiers", "implications"],
)
def test_nesting_a_hundred_thousand_deep_parses(make):
    depth = 10**5
    statement = parse_problem(f"fof(deep, axiom, {make(depth)}).").formulas[0]
    assert statement.name == "deep" and statement.formula is not None


def test_wide_clauses_and_quantifier_prefixes_parse():
    literals = " | ".join(f"~ q(X{i}, c{i})" if i % 2 else f"q(X{i}, c{i})" for i in range(2000))
    clause = parse_problem(f"cnf(wide, axiom, {literals}).").formulas[0].formula
    variables = 0
    while type(clause) is Forall:
        variables += 1
        clause = clause.body
    assert variables == 2000
    names = ",".join(f"X{i}" for i in range(3000))
    body = " & ".join(f"r(X{i})" for i in range(0, 3000, 7))
    formula = parse_problem(f"fof(q, axiom, ! [{names}] : ({body})).").formulas[0].formula
    depth = 0
    while type(formula) is Forall:
        depth += 1
        formula = formula.body
    assert depth == 3000


def test_twenty_thousand_conjuncts_parse():
    text = "fof(c, axiom, " + " & ".join(f"p(a{i})" for i in range(20000)) + ")."
    assert len(parse_problem(text).symbols) == 20001


def test_an_include_diamond_is_expanded_once(tmp_path):
    levels = 25
    for level in range(levels):
        below = f"include('l{level + 1}a.ax').\ninclude('l{level + 1}b.ax').\n" if level + 1 < levels else ""
        for side in "ab":
            (tmp_path / f"l{level}{side}.ax").write_text(below + f"fof(ax_{level}{side}, axiom, p{level}{side}).\n")
    problem_file = tmp_path / "prob.p"
    problem_file.write_text("include('l0a.ax').\ninclude('l0b.ax').\nfof(goal, conjecture, p0a).\n")
    start = time.perf_counter()
    problem = parse_file(problem_file)
    assert time.perf_counter() - start < 5  # 2^24 expansions would take hours
    names = [f.name for f in problem.formulas]
    assert len(names) == len(set(names)) == 2 * levels + 1
    assert names[0] == f"ax_{levels - 1}a" and names[-1] == "goal"


def test_a_second_include_adds_only_the_statements_not_taken_yet(tmp_path):
    (tmp_path / "set.ax").write_text("fof(one, axiom, p).\nfof(two, axiom, q).\nfof(three, axiom, r).\n")
    problem_file = tmp_path / "prob.p"
    problem_file.write_text("include('set.ax', [two]).\ninclude('set.ax').\ninclude('set.ax', [one]).\n")
    assert [f.name for f in parse_file(problem_file).formulas] == ["two", "one", "three"]


def test_a_cycle_through_the_problem_itself_is_refused(tmp_path):
    (tmp_path / "a.ax").write_text("include('prob.p').\n")
    problem_file = tmp_path / "prob.p"
    problem_file.write_text("fof(x, axiom, p).\ninclude('a.ax').\n")
    with pytest.raises(TPTPError, match="include cycle through 'prob.p'") as info:
        parse_file(problem_file)
    assert info.value.file.endswith("a.ax") and (info.value.line, info.value.column) == (1, 1)


@pytest.mark.parametrize(
    "text, column, fragment",
    [
        ("thf(a, axiom, p).", 1, "language 'thf' is not supported"),
        ("tcf(a, axiom, p).", 1, "language 'tcf' is not supported"),
        ("fof(a, axiom, $less(1, 2)).", 15, "arithmetic ($less) is not supported"),
        ("fof(a, axiom, p($sum(1, 2))).", 17, "arithmetic ($sum) is not supported"),
        ("cnf(a, axiom, $greatereq(X, 2)).", 15, "arithmetic ($greatereq) is not supported"),
    ],
)
def test_typed_languages_and_arithmetic_are_inappropriate(text, column, fragment):
    error = read_error(text)
    assert (error.status, error.line, error.column) == ("Inappropriate", 1, column)
    assert fragment in error.message


@pytest.mark.parametrize(
    "text, status, line, column, message",
    [
        ("fof(a, axiom, 'unterminated).", "SyntaxError", 1, 15,
         "syntax error: unexpected an unterminated or empty quoted name, expected a formula"),
        ("fof(a, axiom, p).\n/* open", "SyntaxError", 2, 1,
         "syntax error: unexpected an unterminated comment, expected 'fof', 'cnf' or 'include'"),
        ("fof(a, axiom, p | q & r).", "SyntaxError", 1, 21, "syntax error: unexpected '&', expected '|', ')' or ','"),
        ("fof(a, axiom, ! [x] : p(x)).", "SyntaxError", 1, 18, "syntax error: unexpected 'x', expected a variable"),
        ("fof(a, axiom, p(a,)).", "SyntaxError", 1, 19, "syntax error: unexpected ')', expected a term"),
        ("fof(a, axiom, p(a) q).", "SyntaxError", 1, 20, "syntax error: unexpected 'q', expected ')' or ','"),
        ("fof(a, axiom, p) extra", "SyntaxError", 1, 18, "syntax error: unexpected 'extra', expected '.'"),
        ("foo(a, axiom, p).", "SyntaxError", 1, 1, "syntax error: unexpected 'foo', expected 'fof', 'cnf' or 'include'"),
        ("fof(a, axiom, p(a)).\nfof(b, axiom, p).", "InputError", 2, 15,
         "'p' is used with arity 0 here but with arity 1 at prob.p:1:15"),
        ("fof(a, axiom, p(f)).\nfof(b, axiom, f).", "InputError", 2, 15,
         "'f' is used as a predicate here but as a function at prob.p:1:17"),
        ("fof(a, axiom, ! [X] : p(X) & q(X)).", "InputError", 1, 32, "variable 'X' is free in fof formula 'a'"),
        ('fof(a, axiom, "obj").', "SyntaxError", 1, 15, '"obj" cannot stand as a formula'),
        ("fof(a, axiom, p(1) & 2).", "SyntaxError", 1, 22, "2 cannot stand as a formula"),
    ],
)
def test_error_messages_and_places(text, status, line, column, message):
    error = read_error(text)
    assert (error.status, error.line, error.column, error.message) == (status, line, column, message)
    assert str(error) == f"prob.p:{line}:{column}: {message}"


def test_columns_count_characters_not_bytes():
    error = read_error("% é comment\nfof(a, axiom, 'é' & ).")
    assert (error.line, error.column) == (2, 21)


@pytest.mark.parametrize("separator", [" ", "\n"])
def test_places_on_a_long_line_are_character_columns(separator):
    """Statement places and the first-use places in messages, with many statements
    and symbols on one line (and, for contrast, one per line), asked for forwards
    and backwards along the line."""
    statements = [f"fof(s{i}, axiom, 'é{i}'(c{i}) & ('ü' | r{i}(d{i}, c{i})))." for i in range(300)]
    text = separator.join(statements)
    rows = Reader().read(text, "prob.p")
    lines = text.split("\n")
    for row, statement in zip(rows, statements):
        line = next(n for n, t in enumerate(lines, 1) if statement in t)
        assert row[4:6] == (line, lines[line - 1].index(statement) + 1), row[1]
    clash = text + separator + "fof(z, axiom, 'é150'(a, b))."
    lines = clash.split("\n")
    first = "'é150'(c150)"
    line = next(n for n, t in enumerate(lines, 1) if first in t)
    error = read_error(clash)
    assert error.message == (f"'é150' is used with arity 2 here but with arity 1 at "
                             f"prob.p:{line}:{lines[line - 1].index(first) + 1}")
    assert (error.line, error.column) == (len(lines), len(lines[-1]) - len("'é150'(a, b)).") + 1)


def test_general_annotation_terms_are_accepted():
    text = ("fof(a, axiom, p, file('x.p', a), [$fof(! [X] : (q(X) => r)), $cnf(~ q(Y) | r), "
            "description(\"text\"), 3.5e2, [], iquote(\"x\"), [a : b, c : [d]], $thf(x @ y)]).\n"
            "cnf(b, axiom, q(c), inference(res, [status(thm), 'quoted'], [a, 17])).")
    problem = parse_problem(text)
    assert [f.name for f in problem.formulas] == ["a", "b"]
    assert set(problem.symbols) == {"p", "q", "c"}  # nothing inside annotations is read as a symbol


def test_distinct_objects_and_numbers_are_listed_in_order():
    problem = parse_problem('fof(a, axiom, p("b", 12, "a", -3/4, 1.5e3, "b")).')
    assert problem.distinct == ('"b"', "12", '"a"', "-3/4", "1.5e3")
    assert problem.formulas[0].formula.args[0] == Constant('"b"')


def test_quoted_and_plain_names_are_one_symbol():
    formula = parse_problem("fof(a, axiom, 'p'('a') <=> p(a)).").formulas[0].formula
    assert formula.left == formula.right


def test_cnf_literals_may_be_negated_equations_but_not_formulas():
    clause = parse_problem("cnf(a, axiom, a != b | ~ a = c | $false).").formulas[0].formula
    assert clause == Or(Not(Equality(Constant("a"), Constant("b"))), Not(Equality(Constant("a"), Constant("c"))))
    assert read_error("cnf(a, axiom, ~ (p | q)).").message == "cnf formula 'a' is not a disjunction of literals"


def test_the_budget_callback_runs_while_reading_and_stops_it():
    calls = []
    text = "fof(c, axiom, " + " & ".join(f"p(a{i})" for i in range(50000)) + ")."
    Reader(lambda: calls.append(1)).read(text, "x.p")
    assert len(calls) >= 10

    def stop():
        raise LimitReached("Timeout", "stop here")

    with pytest.raises(LimitReached, match="stop here"):
        parse_problem(text, check=stop)
    budget = Budget(time_limit=1e-9)
    time.sleep(0.001)
    with pytest.raises(LimitReached) as info:
        parse_problem(text, check=budget)
    assert info.value.status == "Timeout" and "while reading the problem" in info.value.message


def test_hostile_callers_get_exceptions():
    with pytest.raises(TypeError):
        Reader(check=42)
    reader = Reader()
    with pytest.raises(TypeError):
        reader.read(b"fof(a, axiom, p).", "x.p")
    with pytest.raises(TypeError):
        reader.read("fof(a, axiom, p).")

    def reenter():
        inner.read("fof(b, axiom, q).", "y.p")

    inner = Reader(reenter)
    with pytest.raises(RuntimeError, match="already reading"):
        inner.read("fof(c, axiom, " + " & ".join(["p"] * 40000) + ").", "x.p")
    # The reader keeps working after the refused call.
    assert inner.read("fof(d, axiom, r).", "z.p")[0][1] == "d"
    with pytest.raises(ReadError) as info:
        reader.read("fof(", "x.p")
    assert info.value.args == ("SyntaxError", "syntax error: unexpected end of input, expected a formula name", 1, 5)


def _dev_problems(limit_bytes: int, count: int) -> list[Path]:
    files = sorted((DEV_SET / "problems").glob("*.p"))
    small = [f for f in files if f.stat().st_size < limit_bytes]
    step = max(1, len(small) // count)
    return small[::step][:count]


@pytest.mark.skipif(not DEV_SET.is_dir(), reason="the development problem set is not on this machine")
def test_the_native_reader_agrees_with_the_lark_twin_on_real_problems(monkeypatch):
    import tptp_lark_twin as twin

    monkeypatch.setenv("TPTP", str(DEV_SET))
    for path in _dev_problems(12000, 40):
        native = parse_file(path)
        reference = twin.parse_file(path)
        assert [(f.name, f.role, f.language, f.formula) for f in native.formulas] == \
            [(f.name, f.role, f.language, f.formula) for f in reference.formulas], path.name
        assert native.expected_status == reference.expected_status


def test_the_native_reader_agrees_with_the_lark_twin_on_the_bundled_problems():
    import tptp_lark_twin as twin
    from kelvara.prover.cli import bundled_problems

    for path in bundled_problems():
        assert [(f.name, f.role, f.formula) for f in parse_file(path).formulas] == \
            [(f.name, f.role, f.formula) for f in twin.parse_file(path).formulas], path.name
