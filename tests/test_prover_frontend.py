"""The front end of `kelvara prove`: standard input, limits over the whole run,
statuses and exit codes, internal sources, distinct objects, the clause form's
symbol bookkeeping."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

from kelvara.prover.cli import build_parser, main
from kelvara.prover.limits import Budget, LimitReached, parse_memory_size
from kelvara.prover.run import EXIT_ERROR, EXIT_SOLVED, EXIT_UNSOLVED, Options, exit_code, solve
from kelvara.prover.saturation import ProverConfig, clausify_problem, prove
from kelvara.prover.tptp import parse_file, parse_problem

ROOT = Path(__file__).resolve().parents[1]
# The children import kelvara from where this process does (an install or an in-place build).
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
SIMPLE = "fof(ax, axiom, p(a)).\nfof(goal, conjecture, ? [X] : p(X)).\n"


def kelvara(*args, stdin=subprocess.DEVNULL, timeout=120):
    return subprocess.run([sys.executable, "-m", "kelvara", *args], stdin=stdin, capture_output=True,
                          text=True, env=ENV, timeout=timeout)


def test_a_dash_reads_standard_input():
    run = subprocess.run([sys.executable, "-m", "kelvara", "prove", "-q", "-"], input=SIMPLE,
                         capture_output=True, text=True, env=ENV, timeout=120)
    assert run.returncode == EXIT_SOLVED
    assert run.stdout.startswith("% SZS status Theorem for stdin\n")


def test_no_file_reads_a_piped_or_redirected_standard_input(tmp_path):
    piped = subprocess.run([sys.executable, "-m", "kelvara", "prove", "-q"], input=SIMPLE,
                           capture_output=True, text=True, env=ENV, timeout=120)
    assert piped.stdout.startswith("% SZS status Theorem for stdin")
    problem = tmp_path / "p.p"
    problem.write_text("fof(goal, conjecture, p | ~ q).\n")
    with open(problem) as handle:
        redirected = kelvara("prove", "-q", stdin=handle)
    assert redirected.stdout.startswith("% SZS status CounterSatisfiable for stdin")


def test_no_file_and_a_device_on_standard_input_proves_the_bundled_example():
    run = kelvara("prove", "-q")  # standard input is /dev/null: a character device
    assert run.returncode == EXIT_SOLVED
    assert run.stdout.startswith("% SZS status Theorem for pel55")


def test_standard_input_cannot_be_mixed_with_files():
    run = kelvara("prove", "-", "pel01")
    assert run.returncode == EXIT_ERROR and "can only be proved alone" in run.stderr


@pytest.mark.parametrize("value", ["nan", "inf", "-inf", "-1", "ten", "1e400"])
def test_bad_time_limits_are_refused_by_argument_parsing(value, capsys):
    with pytest.raises(SystemExit) as info:
        build_parser().parse_args(["prove", "-t", value])
    assert info.value.code == 2
    assert "--time-limit" in capsys.readouterr().err


def test_a_zero_time_limit_means_none_and_sizes_parse():
    args = build_parser().parse_args(["prove", "-t", "0", "--memory-limit", "1.5G"])
    assert args.time_limit is None and args.memory_limit == 3 << 29
    assert parse_memory_size("512") == 512 << 20 and parse_memory_size("64k") == 64 << 10
    with pytest.raises(ValueError):
        parse_memory_size("-3M")
    for bad in (float("nan"), float("inf"), -1.0, True):
        with pytest.raises(ValueError):
            Budget(time_limit=bad)


def test_version_and_exit_codes_in_help():
    assert kelvara("--version").stdout.strip().startswith("kelvara 0.")
    help_text = kelvara("prove", "--help").stdout
    for line in ("0    solved", "1    not solved", "2    input or internal error", "largest code"):
        assert line in help_text
    readme = (ROOT / "README.md").read_text()
    assert "## Exit codes" in readme and "ResourceOut" in readme


@pytest.mark.parametrize(
    "status, code",
    [("Theorem", 0), ("CounterSatisfiable", 0), ("Timeout", 1), ("ResourceOut", 1), ("GaveUp", 1),
     ("Inappropriate", 1), ("SyntaxError", 2), ("InputError", 2), ("Error", 2)],
)
def test_exit_codes_follow_the_status(status, code):
    assert exit_code(status) == code


def test_single_and_batch_runs_agree_on_exit_codes(tmp_path):
    hard = tmp_path / "hard.p"
    hard.write_text("cnf(a, axiom, p(X) | p(f(X))).\ncnf(b, axiom, ~p(X) | q(f(f(X)))).\n"
                    "cnf(c, axiom, ~q(X) | p(f(X)) | r(X)).\ncnf(d, axiom, ~r(f(X)) | p(X)).\n")
    easy = tmp_path / "easy.p"
    easy.write_text(SIMPLE)
    broken = tmp_path / "broken.p"
    broken.write_text("fof(a, axiom, p &).\n")
    single = kelvara("prove", "-q", "--max-clauses", "5", str(hard))
    assert single.returncode == EXIT_UNSOLVED and "SZS status ResourceOut" in single.stdout
    batch = kelvara("prove", "-q", "--max-clauses", "5", str(hard), str(easy))
    assert batch.returncode == EXIT_UNSOLVED
    batch_with_error = kelvara("prove", "-q", "--max-clauses", "5", str(hard), str(easy), str(broken))
    assert batch_with_error.returncode == EXIT_ERROR and "SZS status SyntaxError for broken" in batch_with_error.stdout
    typed = tmp_path / "typed.p"
    typed.write_text("tff(t, type, c: $i).\n")
    run = kelvara("prove", str(typed))
    assert run.returncode == EXIT_UNSOLVED and "SZS status Inappropriate" in run.stdout


def test_a_statement_named_reflexivity_does_not_break_proofs():
    problem = parse_problem("fof(reflexivity, axiom, a = b).\nfof(goal, conjecture, f(b) = f(a)).\n")
    result, inputs = prove(problem, ProverConfig(time_limit=20))
    assert result.status == "Theorem"
    from kelvara.prover.saturation import check_proof

    check_proof(result.proof, inputs)


@pytest.mark.parametrize(
    "conjecture, status",
    [('"a" != "b"', "Theorem"), ("1 != 2", "Theorem"), ("1/2 != 3", "Theorem"), ('"1" != 1', "Theorem"),
     ('"a" != "a"', None), ("a != b", None)],
)
def test_distinct_objects_and_numbers_are_pairwise_unequal(conjecture, status, tmp_path):
    problem = tmp_path / "d.p"
    problem.write_text(f"fof(goal, conjecture, {conjecture}).\n")
    outcome = solve(problem, Options(time_limit=20, quiet=True))
    if status is None:  # not a theorem: the search saturates (with equality it cannot claim more)
        assert outcome.status in ("CounterSatisfiable", "GaveUp"), outcome.message
        return
    assert outcome.status == status, outcome.message
    if status == "Theorem":
        assert "introduced(theory(distinct_objects), [])" in outcome.text


def test_numbers_of_one_value_are_not_made_unequal():
    problem = parse_problem("fof(a, axiom, p(1/2, 2/4, 0.5, 1, 01)).")
    inputs, _ = clausify_problem(problem)
    pairs = {frozenset((lit.atom.left.name, lit.atom.right.name)) for ic in inputs for lit in ic.clause.literals
             if type(lit.atom).__name__ == "Equality"}
    assert frozenset(("1/2", "2/4")) not in pairs and frozenset(("1", "01")) not in pairs
    assert frozenset(("1/2", "1")) in pairs and len(pairs) == 6  # {1/2, 2/4, 0.5} against {1, 01}


def test_skolem_functions_of_different_statements_never_share_a_name():
    problem = parse_file(ROOT / "src/kelvara/prover/problems/pel51.p")
    inputs, _ = clausify_problem(problem)
    arities: dict = {}
    for ic in inputs:
        stack = [t for lit in ic.clause.literals
                 for t in ((lit.atom.left, lit.atom.right) if hasattr(lit.atom, "left") else lit.atom.args)]
        while stack:
            term = stack.pop()
            if hasattr(term, "func"):
                assert arities.setdefault(term.func, term.arity) == term.arity, term.func
                stack.extend(term.args)


def _big_problem(path: Path, statements: int) -> Path:
    with open(path, "w") as out:
        for i in range(statements):
            out.write(f"fof(ax{i}, axiom, ! [X, Y] : (p{i % 50}(X, f(Y)) => (q(X) | r(g(X, Y), c{i})))).\n")
    return path


def test_the_time_limit_covers_reading(tmp_path):
    problem = _big_problem(tmp_path / "big.p", 60000)
    outcome = solve(problem, Options(time_limit=0.05, quiet=True))
    assert outcome.status == "Timeout"
    assert "while reading the problem" in outcome.message


def test_the_time_limit_covers_the_clause_form(tmp_path):
    problem = parse_file(_big_problem(tmp_path / "big.p", 20000))
    budget = Budget(time_limit=0.02)
    result, inputs = prove(problem, ProverConfig(budget=budget))
    assert (result.status, inputs) == ("Timeout", [])
    assert "while computing the clause form" in result.reason


def test_the_memory_limit_ends_a_run_with_resource_out(tmp_path):
    problem = _big_problem(tmp_path / "big.p", 2000)
    outcome = solve(problem, Options(time_limit=20, memory_limit=1 << 20, quiet=True))
    assert outcome.status == "ResourceOut" and "memory limit of 1 MB" in outcome.message


def test_a_budget_raises_once_past_its_limits():
    budget = Budget(time_limit=1000)
    budget.check()
    assert 999 < budget.remaining() <= 1000
    late = Budget(time_limit=1, start=0.0)
    with pytest.raises(LimitReached) as info:
        late.check()
    assert info.value.status == "Timeout"


def test_cli_main_reports_input_errors_with_their_place(tmp_path, capsys):
    problem = tmp_path / "free.p"
    problem.write_text("fof(a, axiom, p(X)).\n")
    assert main(["prove", str(problem)]) == EXIT_ERROR
    captured = capsys.readouterr()
    assert "% SZS status InputError for free" in captured.out
    assert f"{problem}:1:17: variable 'X' is free in fof formula 'a'" in captured.err


@pytest.mark.parametrize(
    "text, clauses, literals",
    [
        ("fof(w, axiom, " + " | ".join(f"p{i}" for i in range(500)) + ").", 1, 500),
        ("cnf(w, axiom, " + " | ".join(f"~ q{i % 700}(X{i})" for i in range(2000)) + ").", 1, 2000),
        ("fof(w, axiom, " + " & ".join(f"p(a{i})" for i in range(20000)) + ").", 20000, 1),
        ("fof(w, axiom, ! [" + ",".join(f"X{i}" for i in range(3000)) + "] : ("
         + " | ".join(f"r(X{i})" for i in range(3000)) + ")).", 1, 3000),
        ("fof(g, conjecture, ~ (" + " & ".join(f"p{i}" for i in range(5000)) + ")).", 5000, 1),
        ("fof(g, conjecture, " + "~ " * 100001 + "p).", 1, 1),
    ],
    ids=["wide-fof", "wide-cnf", "conjuncts", "quantifier-prefix", "negated-goal", "negations"],
)
def test_wide_and_deep_statements_get_their_clause_form(text, clauses, literals):
    inputs, _ = clausify_problem(parse_problem(text))
    assert len(inputs) == clauses
    assert {len(ic.clause.literals) for ic in inputs} == {literals}


def test_a_tautological_part_is_dropped_and_the_rest_kept():
    inputs, _ = clausify_problem(parse_problem("fof(a, axiom, (p | ~ p) & (q | r) & ! [X] : (X = X | s(X)))."))
    assert [sorted(str(lit.atom.pred) for lit in ic.clause.literals) for ic in inputs] == [["q", "r"]]


def test_the_command_clock_starts_when_the_process_started():
    # In a fresh interpreter (a long test run is older than the window in which
    # the start time read from the system is trusted).
    import subprocess
    import sys

    code = (
        "import time\n"
        "from kelvara.__main__ import _STARTED, _process_start\n"
        "now = time.monotonic()\n"
        "start = _process_start()\n"
        "print(_STARTED <= now, abs(start - _STARTED) < 0.05, 0 <= now - start < 60)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.stdout.split() == ["True", "True", "True"], done.stderr


def test_a_single_run_of_the_command_uses_the_given_start(tmp_path, capsys):
    import time

    problem = _big_problem(tmp_path / "big.p", 200)
    # A clock started an hour ago has run out before anything is read.
    assert main(["prove", "-q", "-t", "5", str(problem)], started=time.monotonic() - 3600) == EXIT_UNSOLVED
    captured = capsys.readouterr()
    assert "% SZS status Timeout for big" in captured.out
    assert "kelvara: time limit of 5 s reached while " in captured.err
