"""TSTP proof output: the printer's syntax, the round trip through the reader,
every bundled proof read back, and E confirming the printed clauses are
unsatisfiable."""

from __future__ import annotations

import re
import shutil
import subprocess

import pytest
from hypothesis import given, strategies as st

from kelvara.core.ast import (
    And, Constant, Equality, Exists, Forall, FunctionApp, Iff, Implies, Not, Or, PredicateApp, Variable,
)
from kelvara.prover.cli import bundled_problems
from kelvara.prover.run import Options, solve
from kelvara.prover.tptp import parse_problem
from kelvara.prover.tstp import clause_text, formula_text, label_prefix, quote_name, term_text

EPROVER = shutil.which("eprover")


@pytest.mark.parametrize(
    "name, text",
    [("abc", "abc"), ("a_B9", "a_B9"), ("Abc", "'Abc'"), ("a b", "'a b'"), ("it's", "'it\\'s'"),
     ("back\\slash", "'back\\\\slash'"), ("9lives", "'9lives'"), ("", "''")],
)
def test_names_are_quoted_where_tptp_needs_it(name, text):
    assert quote_name(name) == text


def test_terms_print_variables_uppercase_and_constants_without_parentheses():
    x = Variable(3)
    term = FunctionApp("f", 3, (x, Constant("a"), Constant("B c")))
    assert term_text(term) == "f(X3,a,'B c')"
    assert term_text(Constant('"distinct"')) == '"distinct"'
    assert term_text(Constant("-3/4")) == "-3/4"
    assert formula_text(PredicateApp("p", 0, ())) == "p"
    assert formula_text(Not(Equality(x, Constant("a")))) == "X3 != a"
    assert formula_text(Forall(x, Forall(Variable(1), Exists(Variable(2), PredicateApp("q", 1, (x,)))))) == \
        "! [X3, X1] : ? [X2] : q(X3)"


def test_label_prefixes_avoid_input_names():
    assert label_prefix(["ax1", "goal"]) == "c"
    assert label_prefix(["c1", "goal"]) == "c_"
    assert label_prefix(["c1", "c_2", "cl_3"]) == "ck_"


def test_deep_terms_print_without_recursion():
    term = Constant("a")
    for _ in range(100000):
        term = FunctionApp("f", 1, (term,))
    text = term_text(term)
    assert text.startswith("f(f(") and text.endswith("a" + ")" * 100000)


SYMBOLS = {"p": 0, "q": 1, "r": 2}
FUNCTIONS = {"f": 1, "g": 2}


@st.composite
def closed_formulas(draw, depth=4):
    """A closed formula whose quantifiers bind ids 0, 1, 2, ... in reading order."""
    counter = [0]

    def term(scope, d):
        options = ["const"] + (["var"] if scope else []) + (["fun"] if d > 0 else [])
        kind = draw(st.sampled_from(options))
        if kind == "var":
            return draw(st.sampled_from(scope))
        if kind == "const":
            return Constant(draw(st.sampled_from(["a", "b", "'C d'", '"obj"', "42"])).strip("'"))
        name = draw(st.sampled_from(sorted(FUNCTIONS)))
        return FunctionApp(name, FUNCTIONS[name], tuple(term(scope, d - 1) for _ in range(FUNCTIONS[name])))

    def formula(scope, d):
        kinds = ["atom", "eq"] + (["not", "and", "or", "imp", "iff", "all", "ex"] if d > 0 else [])
        kind = draw(st.sampled_from(kinds))
        if kind == "atom":
            name = draw(st.sampled_from(sorted(SYMBOLS)))
            return PredicateApp(name, SYMBOLS[name], tuple(term(scope, 2) for _ in range(SYMBOLS[name])))
        if kind == "eq":
            return Equality(term(scope, 2), term(scope, 2))
        if kind == "not":
            return Not(formula(scope, d - 1))
        if kind in ("all", "ex"):
            var = Variable(counter[0])
            counter[0] += 1
            body = formula(scope + [var], d - 1)
            return (Forall if kind == "all" else Exists)(var, body)
        node = {"and": And, "or": Or, "imp": Implies, "iff": Iff}[kind]
        left = formula(scope, d - 1)
        return node(left, formula(scope, d - 1))

    return formula([], depth)


@given(closed_formulas())
def test_printed_formulas_read_back_as_themselves(formula):
    text = f"fof(f, axiom, {formula_text(formula)})."
    assert parse_problem(text).formulas[0].formula == formula


def _proof_lines(text: str) -> list[str]:
    inside = re.search(r"% SZS output start CNFRefutation.*?\n(.*)% SZS output end", text, re.S)
    assert inside, text
    return inside.group(1).splitlines()


def _bundled_proofs():
    options = Options(time_limit=3, quiet=True)  # every proved problem takes well under a second
    for path in bundled_problems():
        outcome = solve(path, options)
        if outcome.status in ("Theorem", "Unsatisfiable"):
            yield path, outcome


@pytest.fixture(scope="module")
def bundled_proofs():
    proofs = list(_bundled_proofs())
    assert len(proofs) >= 60  # nearly all of the bundled set is proved
    return proofs


def test_every_bundled_proof_reads_back_with_our_reader(bundled_proofs):
    for path, outcome in bundled_proofs:
        lines = _proof_lines(outcome.text)
        problem = parse_problem("\n".join(lines), file=f"{path.stem}-proof.p")
        assert len(problem.formulas) == len(lines), path.name
        labels = [f.name for f in problem.formulas]
        assert len(set(labels)) == len(labels), path.name
        clauses = [f for f in problem.formulas if f.language == "cnf"]
        assert clauses[-1].formula is not None and lines[-1].split(",")[2].strip() == "$false"
        # Every parent named in an inference is printed before the step.
        for index, line in enumerate(lines):
            parents = re.search(r"\[status\(\w+\)\], \[(.*)\]\)\)\.$", line)
            if parents and parents.group(1):
                for parent in parents.group(1).split(", "):
                    assert parent.strip("'") in labels[:index], (path.name, line)


@pytest.mark.skipif(EPROVER is None, reason="eprover is not installed")
def test_e_finds_the_printed_clauses_of_every_bundled_proof_unsatisfiable(bundled_proofs, tmp_path):
    for path, outcome in bundled_proofs:
        clauses = [line for line in _proof_lines(outcome.text) if line.startswith("cnf(")]
        problem_file = tmp_path / f"{path.stem}.p"
        problem_file.write_text("\n".join(clauses) + "\n")
        run = subprocess.run([EPROVER, "--auto", "-s", "--cpu-limit=10", str(problem_file)],
                             capture_output=True, text=True, timeout=60)
        assert "SZS status Unsatisfiable" in run.stdout, (path.name, run.stdout[-500:], run.stderr[-500:])


def test_clause_text_of_the_empty_clause_is_false():
    from kelvara.prover.clausifier import Clause

    assert clause_text(Clause(frozenset())) == "$false"
