"""The saturation prover: redundancy tests, the loop, proof checking, the command line."""

from __future__ import annotations

import re
import subprocess
import sys

import pytest

pytest.importorskip("kelvara.prover.rules")

from kelvara.core.ast import Constant, Equality, FunctionApp, PredicateApp, Variable  # noqa: E402
from kelvara.prover.clausifier import Clause, Literal  # noqa: E402
from kelvara.prover.saturation import (  # noqa: E402
    InputClause,
    ProofCheckError,
    ProofClause,
    ProverConfig,
    Saturation,
    check_proof,
    clausify_problem,
    eligible_literals,
    is_tautology,
    is_variant,
    kbo_greater,
    normalize_clause,
    prove,
    subsumes,
)
from kelvara.prover.tptp import parse_problem  # noqa: E402

X, Y, Z = Variable(0), Variable(1), Variable(2)
a, b = Constant("a"), Constant("b")


def f(*args):
    return FunctionApp("f", len(args), tuple(args))


def g(*args):
    return FunctionApp("g", len(args), tuple(args))


def p(*args):
    return PredicateApp("p", len(args), tuple(args))


def q(*args):
    return PredicateApp("q", len(args), tuple(args))


def pos(atom):
    return Literal(atom=atom, positive=True)


def neg(atom):
    return Literal(atom=atom, positive=False)


def clause(*literals):
    return Clause(frozenset(literals))


@pytest.mark.parametrize(
    "general, specific, expected",
    [
        (clause(pos(p(X))), clause(pos(p(a)), pos(q(b))), True),
        (clause(pos(p(X))), clause(neg(p(a))), False),
        (clause(pos(p(X, X))), clause(pos(p(a, b))), False),
        (clause(pos(p(X, Y))), clause(pos(p(a, a))), True),
        (clause(pos(p(f(X))), neg(q(X))), clause(pos(p(f(a))), neg(q(a)), pos(q(b))), True),
        (clause(pos(p(f(X))), neg(q(X))), clause(pos(p(f(a))), neg(q(b))), False),
        (clause(pos(p(X)), pos(q(X))), clause(pos(p(a))), False),  # longer never subsumes
        (clause(pos(Equality(X, a))), clause(pos(Equality(b, g(b))), pos(Equality(a, b))), True),  # symmetric
        (clause(pos(Equality(f(X), X))), clause(pos(Equality(a, f(a)))), True),
        (clause(pos(Equality(f(X), X))), clause(pos(Equality(a, f(b)))), False),
    ],
)
def test_subsumption(general, specific, expected):
    assert subsumes(general, specific) is expected


@pytest.mark.parametrize(
    "first, second, expected",
    [
        (clause(pos(p(X, Y))), clause(pos(p(Y, Z))), True),
        (clause(pos(p(X, Y))), clause(pos(p(X, X))), False),
        (clause(pos(p(X)), neg(q(Y))), clause(pos(p(Z)), neg(q(X))), True),
        (clause(pos(p(X)), neg(q(X))), clause(pos(p(Z)), neg(q(X))), False),
        (clause(pos(Equality(X, a))), clause(pos(Equality(a, X))), False),  # variants respect orientation
    ],
)
def test_variants(first, second, expected):
    assert is_variant(first, second) is expected
    assert is_variant(second, first) is expected


@pytest.mark.parametrize(
    "c, expected",
    [
        (clause(pos(p(X)), neg(p(X))), True),
        (clause(pos(p(X)), neg(p(Y))), False),
        (clause(pos(Equality(f(X), f(X))), neg(q(a))), True),
        (clause(neg(Equality(a, a))), False),
    ],
)
def test_tautologies(c, expected):
    assert is_tautology(c) is expected


def test_normalization_numbers_variables_by_first_occurrence():
    raw = clause(pos(p(Variable(7), f(Variable(3)))))
    normal = normalize_clause(raw)
    assert normal == clause(pos(p(X, f(Y))))
    assert normalize_clause(normal) is normal


@pytest.mark.parametrize(
    "s, t, expected",
    [
        (f(X), X, True),  # a term exceeds its proper subterms
        (X, f(X), False),
        (f(X), f(Y), False),  # incomparable: different variables
        (g(X, Y), f(X), True),  # heavier
        (g(a, X), g(X, a), False),  # incomparable: a variable would have to exceed a constant
        (f(b), f(a), True),  # precedence by name breaks ties
        (f(X, a), f(X), True),  # equal weight: arity comes first in the precedence
    ],
)
def test_ordering(s, t, expected):
    assert kbo_greater(s, t) is expected
    if expected:
        assert not kbo_greater(t, s)


def test_selection_prefers_a_heaviest_negative_literal():
    c = clause(pos(p(f(f(a)))), neg(q(a)), neg(q(f(a))))
    assert eligible_literals(c.literals) == (neg(q(f(a))),)
    positive = clause(pos(p(f(X))), pos(q(X)))
    assert eligible_literals(positive.literals) == (pos(p(f(X))),)
    incomparable = clause(pos(p(f(a))), pos(q(X)))
    assert set(eligible_literals(incomparable.literals)) == set(incomparable.literals)


def run(text: str, **config):
    problem = parse_problem(text)
    result, inputs = prove(problem, ProverConfig(engine="python", time_limit=config.pop("time_limit", 20), **config))
    return result, inputs


@pytest.mark.parametrize(
    "text, status",
    [
        ("fof(c, conjecture, ((p => q) => p) => p).", "Theorem"),
        ("fof(c, conjecture, p => q).", "CounterSatisfiable"),
        ("fof(a, axiom, ! [X] : (h(X) => m(X))).\nfof(b, axiom, h(s)).\nfof(c, conjecture, m(s)).", "Theorem"),
        ("fof(a, axiom, ! [X] : (h(X) => m(X))).\nfof(c, conjecture, m(s)).", "CounterSatisfiable"),
        ("cnf(a, axiom, p(X) | p(Y)).\ncnf(b, negated_conjecture, ~ p(a)).", "Unsatisfiable"),
        ("cnf(a, axiom, p(X) | q(X)).\ncnf(b, axiom, ~ p(a)).", "Satisfiable"),
        ("fof(a, axiom, a = b).\nfof(b, axiom, p(f(a))).\nfof(c, conjecture, p(f(b))).", "Theorem"),
        ("fof(a, axiom, ! [X] : f(X) = X).\nfof(c, conjecture, f(f(a)) = a).", "Theorem"),
        ("fof(c, conjecture, ! [X] : X = X).", "Theorem"),
        ("fof(c, conjecture, $true).", "Theorem"),
        ("fof(a, axiom, $false).", "Unsatisfiable"),
        ("fof(c, conjecture, ? [Y] : ! [X] : (f(Y) => f(X))).", "Theorem"),
    ],
)
def test_small_problems_are_decided(text, status):
    result, inputs = run(text)
    assert result.status == status
    if status in ("Theorem", "Unsatisfiable"):
        assert result.proof[-1].is_empty
        check_proof(result.proof, inputs)


def test_negated_conjecture_and_skolem_symbols():
    problem = parse_problem("fof(a, axiom, ? [X] : p(X)).\nfof(b, axiom, ? [X] : q(X)).\n"
                            "fof(c, conjecture, ? [X] : (p(X) & q(X))).")
    inputs, has_conjecture = clausify_problem(problem)
    assert has_conjecture
    assert [ic.role for ic in inputs] == ["Axiom", "Axiom", "NegatedGoal"]
    skolems = [ic.clause.literals[0].atom.args[0] for ic in inputs[:2]]
    assert skolems[0] != skolems[1]  # one witness per statement, never shared
    goal = inputs[2].clause
    assert all(not lit.positive for lit in goal.literals)


def proof_of(text: str):
    result, inputs = run(text)
    assert result.status == "Theorem"
    return result.proof, inputs


GROUP_TEXT = ("fof(a, axiom, ! [X] : (p(X) => q(X))).\nfof(b, axiom, ! [X] : (q(X) => r(X))).\n"
              "fof(c, axiom, p(a) | p(b)).\nfof(goal, conjecture, r(a) | r(b)).")


def test_proof_steps_are_checked_against_their_rules():
    proof, inputs = proof_of(GROUP_TEXT)
    check_proof(proof, inputs)
    inferred = [step for step in proof if step.parents]
    assert inferred and {step.rule for step in inferred} <= {"BinaryResolution", "Factoring", "Paramodulation"}
    assert {step.rule for step in proof if not step.parents} == {"Axiom", "NegatedGoal"}


@pytest.mark.parametrize("tamper", ["clause", "rule", "parents", "input"])
def test_a_tampered_proof_is_refused(tamper):
    proof, inputs = proof_of(GROUP_TEXT)
    step = next(s for s in proof if s.parents and s.literals)
    bogus = clause(pos(PredicateApp("unrelated", 0, ())))
    if tamper == "clause":
        proof[proof.index(step)] = ProofClause(step.number, bogus, bogus, step.rule, step.parents)
    elif tamper == "rule":
        other = "Paramodulation" if step.rule != "Paramodulation" else "BinaryResolution"
        proof[proof.index(step)] = ProofClause(step.number, step.clause, step.raw, other, step.parents)
    elif tamper == "parents":
        parents = tuple(s for s in proof if s is not step and s.number < step.number and s not in step.parents)[:2]
        proof[proof.index(step)] = ProofClause(step.number, step.clause, step.raw, step.rule, parents)
    else:
        first = proof[0]
        proof[0] = ProofClause(first.number, bogus, bogus, first.rule, (), first.source)
    with pytest.raises(ProofCheckError):
        check_proof(proof, inputs)


def test_limits_give_defined_statuses():
    hard = ("fof(a, axiom, ! [X] : (p(X) => p(f(X)))).\nfof(b, axiom, p(a)).\n"
            "fof(c, conjecture, q(a)).")  # never saturates
    result, _ = run(hard, max_clauses=50)
    assert result.status == "ResourceOut" and result.kept > 50
    result, _ = run(hard, time_limit=0.2)
    assert result.status == "Timeout" and result.seconds < 2


def test_forward_and_backward_subsumption_keep_the_set_small():
    inputs = [InputClause(clause(pos(p(X, a)), pos(q(X))), "Axiom", "s1"),
              InputClause(clause(pos(p(b, a)), pos(q(b)), pos(q(a))), "Axiom", "s2"),
              InputClause(clause(pos(p(X, a))), "Axiom", "s3")]
    search = Saturation(inputs, ProverConfig(time_limit=5))
    result = search.run()
    assert result.status == "Satisfiable"
    survivors = [r for heap in (search.passive_by_age,) for *_, r in heap if r.alive] + list(search.active.values())
    assert {r.source for r in survivors} == {"s3"}


# -- the command line -----------------------------------------------------

from kelvara.prover.cli import main  # noqa: E402


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def test_default_problem_is_proved_with_a_refutation(capsys):
    pytest.importorskip("kelvara.core.visitors").ExportVisitor  # noqa: B018
    assert main(["prove", "--quiet"]) == 0
    out = capsys.readouterr().out
    assert "% SZS status Theorem for pel55" in out
    body = out.split("% SZS output start CNFRefutation for pel55\n")[1].split("% SZS output end")[0]
    steps = body.strip().splitlines()
    assert steps[-1].startswith("cnf(") and "$false" in steps[-1]
    assert any("inference(negate_conjecture, [status(cth)], [agatha_killed_herself])" in s for s in steps)
    assert all(re.match(r"cnf\(c\d+, (axiom|negated_conjecture|plain), ", s)
               or re.match(r"fof\(\w+, (axiom|conjecture|negated_conjecture), ", s) for s in steps)


@pytest.mark.parametrize(
    "notation, marker",
    [("infix", "~p(a)"), ("prefix", "(not (p a))"), ("latex", "\\neg p(a)")],
)
def test_notation_is_applied_to_proof_steps(tmp_path, capsys, notation, marker):
    visitors = pytest.importorskip("kelvara.core.visitors")
    assert hasattr(visitors, "ExportVisitor")
    problem = write(tmp_path, "n.p", "fof(a, axiom, ! [X] : (q(X) => p(X))).\nfof(b, axiom, q(a)).\n"
                                     "fof(c, conjecture, p(a)).")
    assert main(["prove", problem, "--proof-format", "text", "--notation", notation, "-q"]) == 0
    assert marker in capsys.readouterr().out


@pytest.mark.parametrize(
    "text, status, code",
    [
        ("fof(a, axiom, p(X)", "SyntaxError", 2),
        ("fof(a, premise, p).", "InputError", 2),
        ("include('missing.ax').", "InputError", 2),
        ("fof(c, conjecture, p => q).", "CounterSatisfiable", 0),
        ("fof(a, axiom, ! [X] : (p(X) => p(f(X)))).\nfof(b, axiom, p(a)).\nfof(c, conjecture, q(a)).", "ResourceOut", 1),
    ],
)
def test_single_problem_statuses_and_exit_codes(tmp_path, capsys, text, status, code):
    problem = write(tmp_path, "prob.p", text)
    assert main(["prove", problem, "--engine", "python", "--max-clauses", "40", "-q"]) == code
    captured = capsys.readouterr()
    assert f"% SZS status {status} for prob" in captured.out
    assert "Traceback" not in captured.err
    if code == 2:
        assert "prob.p:1:" in captured.err


def test_batch_mode_solves_a_folder_in_workers(tmp_path, capsys):
    folder = tmp_path / "set"
    folder.mkdir()
    write(folder, "one.p", "% Status : Theorem\nfof(c, conjecture, p | ~ p).")
    write(folder, "two.p", "% Status : CounterSatisfiable\nfof(c, conjecture, p).")
    write(folder, "three.p", "fof(c, conjecture, p &).")
    assert main(["prove", str(folder), "--jobs", "2", "-q"]) == 2  # one input error
    out = capsys.readouterr().out
    rows = {line.split()[1]: line.split()[2] for line in out.splitlines()
            if re.match(r"% (one|two|three) ", line)}
    assert rows == {"one": "Theorem", "two": "CounterSatisfiable", "three": "SyntaxError"}
    assert "% solved 2 of 3" in out


def test_console_entry_runs_as_a_module(tmp_path):
    problem = write(tmp_path, "m.p", "fof(c, conjecture, (p => q) <=> (~ q => ~ p)).")
    done = subprocess.run([sys.executable, "-m", "kelvara", "prove", problem, "--no-proof", "-q"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0
    assert done.stdout.strip() == "% SZS status Theorem for m"


BUNDLED_QUICK = ["pel01", "pel09", "pel12", "pel17", "pel21", "pel26", "pel35", "pel39", "pel43", "pel48", "pel57"]


@pytest.mark.parametrize("name", BUNDLED_QUICK)
def test_bundled_problems_reach_their_expected_status(name):
    from kelvara.prover.cli import bundled_dir
    from kelvara.prover.tptp import parse_file

    problem = parse_file(bundled_dir() / f"{name}.p")
    result, inputs = prove(problem, ProverConfig(engine="python", time_limit=20))
    assert result.status == problem.expected_status == "Theorem"
    check_proof(result.proof, inputs)


def test_every_bundled_problem_parses_and_states_its_status():
    from kelvara.prover.cli import bundled_problems
    from kelvara.prover.tptp import parse_file

    paths = bundled_problems()
    assert [p.stem for p in paths] == [f"pel{n:02d}" for n in range(1, 76)]
    for path in paths:
        problem = parse_file(path)
        assert problem.expected_status in ("Theorem", "CounterSatisfiable"), path
        assert len(problem.conjectures) == 1, path
