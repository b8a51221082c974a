"""Running schedules: incomplete slots never answer a model, several processes, the command line."""

from __future__ import annotations

import io
import os
import signal
import sys
import time

import pytest

pytest.importorskip("kelvara.prover._engine")

from batch_support import kelvara, start_kelvara  # noqa: E402

from kelvara.prover.auto import prepare, run_schedule  # noqa: E402
from kelvara.prover.limits import Budget  # noqa: E402
from kelvara.prover.portfolio import run_lanes  # noqa: E402
from kelvara.prover.run import Options, Outcome, solve  # noqa: E402
from kelvara.prover.saturation import ProverConfig, check_proof  # noqa: E402
from kelvara.prover.schedule import Slot  # noqa: E402
from kelvara.prover.strategy import BUILTIN, engine_refusal, parse_spec  # noqa: E402
from kelvara.prover.tptp import parse_problem  # noqa: E402

# r(a) does not follow; q(b) shares no symbol with the goal, so premise selection leaves it out.
COUNTER = ("% Status : CounterSatisfiable\nfof(a1, axiom, p(a)).\nfof(a2, axiom, q(b)).\n"
           "fof(a3, axiom, ![X]: (p(X) => s(X))).\nfof(g, conjecture, r(a)).\n")
COUNTER_ALL = COUNTER.replace("fof(a2, axiom, q(b)).\n", "")
THEOREM = ("fof(a1, axiom, ![X]: (p(X) => q(X))).\nfof(a2, axiom, p(a)).\n"
           "fof(a3, axiom, ![X]: (u(X) => v(X))).\nfof(a4, axiom, u(b)).\nfof(g, conjecture, q(a)).\n")
# Endless with selection of the negative literal (without selection it saturates at once).
SLOW = ("fof(a, axiom, ![X]: (p(X) => p(f(X)))).\nfof(a2, axiom, ![X]: (p(X) => p(g(X)))).\n"
        "fof(b, axiom, p(c)).\nfof(g, conjecture, q).\n")


def _two_slots(tmp_path):
    schedule = tmp_path / "two.json"
    schedule.write_text('{"strategies": {"a": "ratio=2", "b": "ratio=1"}, "default": [["a", 1], ["b", 1]]}',
                        encoding="utf-8")
    return schedule


def _run(text, specs, limit=5.0):
    budget = Budget(limit)
    config = ProverConfig(time_limit=limit, budget=budget)
    prepared = prepare(parse_problem(text), config)
    slots = [Slot(parse_spec(spec, f"s{i}"), 1.0) for i, spec in enumerate(specs)]
    log: list[str] = []
    result, inputs = run_schedule(prepared, slots, config, log)
    return result, inputs, log, prepared


@pytest.mark.parametrize("text, specs, status", [
    (COUNTER, ["sine=1.0:0"], "GaveUp"),  # saturated without a2: no model of the problem
    (COUNTER, ["sine=9.0:0"], "GaveUp"),  # a2 shares no symbol with the goal: always left out
    (COUNTER, ["sine=1.0:0", "sel=none"], "CounterSatisfiable"),  # the complete slot answers
    (COUNTER, ["sos=1,sel=none"], "GaveUp"),
    (COUNTER_ALL, ["sine=2.0:0"], "CounterSatisfiable"),  # nothing left out: the saturation is a model
    (COUNTER_ALL, ["sine=2.0:0,depth=50"], "GaveUp"),  # ... but not with a depth limit
])
def test_only_complete_slots_with_every_premise_answer_a_model(text, specs, status):
    if "sos=1" in specs[0] and engine_refusal(parse_spec(specs[0])) is not None:
        pytest.skip("the engine has no set of support")
    result, _, log, _ = _run(text, specs)
    assert result.status == status, log


def test_a_proof_with_selected_premises_is_a_proof_of_the_problem():
    result, inputs, log, prepared = _run(THEOREM, ["sine=1.0:0"])
    assert result.status == "Theorem"
    assert "s0: 2 of 4 axioms left out:" in log and "  a3 a4" in log
    check_proof(result.proof, prepared.inputs)  # the selected inputs are inputs of the whole problem
    assert {ic.source for ic in inputs} == {"a1", "a2", ("g",)}


def test_an_expired_budget_ends_the_schedule_with_timeout():
    result, _, log, _ = _run(SLOW, ["ratio=2", "ratio=1"], limit=0.5)
    assert result.status == "Timeout"
    assert len([line for line in log if "Timeout after" in line]) == 2


def test_one_lane_with_an_answer_wins_and_the_others_are_killed():
    started = time.monotonic()

    def work(lane):
        if lane == "slow":
            time.sleep(60)
        return Outcome("p", lane, None, 0.0)

    assert run_lanes(["slow", "Theorem"], work, time.monotonic() + 30).status == "Theorem"
    assert time.monotonic() - started < 20
    # Without a definite answer: errors before timeouts, then the first lane.
    assert run_lanes(["Timeout", "Error", "GaveUp"], work, None).status == "Error"
    assert run_lanes(["GaveUp", "Timeout"], work, None).status == "Timeout"


def test_lanes_that_fail_send_nothing():
    def work(lane):
        if lane:
            raise RuntimeError("lane failed")
        os._exit(3)

    assert run_lanes([True, False], work, time.monotonic() + 10) is None


def test_portfolio_solve_checks_and_prints_the_proof(tmp_path):
    outcome = solve(io.StringIO(THEOREM), Options(cores=2, quiet=True, verbose=True,
                                                  schedule=str(_two_slots(tmp_path))))
    assert outcome.status == "Theorem"
    assert "% SZS output start CNFRefutation" in outcome.text
    assert "% lane: a\n" in outcome.text or "% lane: b\n" in outcome.text
    assert "% features: goal: yes\n" in outcome.text


# -- the command line --------------------------------------------------------------------

@pytest.mark.parametrize("args, message", [
    (["--strategy", "nonesuch"], "kelvara: --strategy: no built-in strategy 'nonesuch' (known: standard,"),
    (["--strategy", "ratio=x"], "kelvara: --strategy: ratio: not a whole number: 'x'"),
    (["--strategy", "sel=bogus"], "kelvara: the engine refuses custom: sel=bogus: unknown selection function 'bogus'"),
    (["--strategy", "standard", "--engine", "python"], "kelvara: --strategy needs the native engine"),
])
def test_bad_strategies_are_refused_before_anything_runs(args, message):
    done = kelvara("prove", *args, "pel55")
    assert done.returncode == 2
    assert done.stderr.startswith(message), done.stderr
    assert done.stdout == ""


def test_strategies_command_lists_every_builtin_and_each_class():
    done = kelvara("strategies")
    assert done.returncode == 0
    lines = done.stdout.splitlines()
    for name, strategy in BUILTIN.items():
        assert any(line.startswith(f"{name}: {strategy.spec()}") for line in lines), name
    assert sum(1 for line in lines if line.startswith("% large ")) == 1
    assert sum(1 for line in lines if line.startswith("% nogoal ")) == 1


def test_verbose_lists_the_left_out_axioms(tmp_path):
    path = tmp_path / "thm.p"
    path.write_text(THEOREM, encoding="utf-8")
    done = kelvara("prove", "-q", "--no-proof", "-v", "-s", "sine_tight", path)
    assert done.returncode == 0
    assert "% sine_tight: 2 of 4 axioms left out:\n%   a3 a4\n" in done.stdout
    assert done.stdout.endswith("% SZS status Theorem for thm\n")


@pytest.mark.parametrize("cores", [1, 2, 3])
def test_the_time_limit_ends_every_process(tmp_path, cores):
    path = tmp_path / "slow.p"
    path.write_text(SLOW, encoding="utf-8")
    started = time.monotonic()
    done = kelvara("prove", "-q", "-t", "1.5", "--cores", cores, "--schedule", _two_slots(tmp_path), path)
    assert done.stdout == "% SZS status Timeout for slow\n"
    assert done.returncode == 1
    assert time.monotonic() - started < 12


@pytest.mark.parametrize("args, message", [
    (["--schedule", "missing.json"], "kelvara: --schedule: [Errno 2] No such file or directory: 'missing.json'"),
    (["--schedule", "two.json", "-s", "nosel"], "kelvara: --schedule and --strategy exclude each other"),
])
def test_bad_schedule_files_are_refused(tmp_path, args, message):
    _two_slots(tmp_path)
    done = kelvara("prove", *args, "pel55", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (2, message + "\n")


def _children(pid: int) -> list[int]:
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat", "rb") as handle:
                    fields = handle.read().rsplit(b")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                found.append(int(entry))
    return found


def _alive(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat", "rb") as handle:
            return handle.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except OSError:
        return False


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_ctrl_c_ends_the_strategy_processes(tmp_path):
    path = tmp_path / "slow.p"
    path.write_text(SLOW, encoding="utf-8")
    proc = start_kelvara("prove", "-t", "60", "--cores", "2", "-s", "ratio=2", path)
    # One strategy: one process, no children (checked once the search reports progress).
    assert proc.stderr.readline().startswith("% [")
    assert _children(proc.pid) == []
    proc.send_signal(signal.SIGINT)
    proc.communicate(timeout=30)
    assert proc.returncode == 130

    proc = start_kelvara("prove", "-q", "-t", "60", "--cores", "2", "--schedule", _two_slots(tmp_path), path)
    deadline = time.monotonic() + 20
    children: list[int] = []
    while time.monotonic() < deadline and len(children) < 2:
        time.sleep(0.2)
        children = _children(proc.pid)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 130, (out, err)
    assert err == "kelvara: interrupted\n"
    time.sleep(0.5)
    assert not [pid for pid in children if _alive(pid)]


def test_batch_refuses_a_bad_strategy_and_runs_a_good_one(tmp_path):
    (tmp_path / "thm.p").write_text(THEOREM, encoding="utf-8")
    bad = kelvara("batch", "-o", tmp_path / "r.jsonl", "--strategy", "nonesuch", tmp_path / "thm.p")
    assert bad.returncode == 2
    assert bad.stderr.startswith("kelvara: --strategy: no built-in strategy 'nonesuch'")
    good = kelvara("batch", "-o", tmp_path / "r.jsonl", "--strategy", "sine_tight", tmp_path / "thm.p")
    assert good.returncode == 0, good.stderr
    assert '"Theorem"' in (tmp_path / "r.jsonl").read_text()


def test_the_clause_limit_ends_the_whole_schedule():
    # Satisfiable (p and q true everywhere), but not within five kept clauses for the first slot.
    text = ("cnf(a, axiom, p(X) | p(f(X))).\ncnf(b, axiom, ~p(X) | q(f(f(X)))).\n"
            "cnf(c, axiom, ~q(X) | p(f(X)) | r(X)).\ncnf(d, axiom, ~r(f(X)) | p(X)).\n")
    budget = Budget(10.0)
    config = ProverConfig(time_limit=10.0, budget=budget, max_clauses=5)
    prepared = prepare(parse_problem(text), config)
    slots = [Slot(parse_spec("ratio=10", "a"), 1.0), Slot(parse_spec("sel=none,ratio=12", "b"), 1.0)]
    log: list[str] = []
    result, _ = run_schedule(prepared, slots, config, log)
    assert result.status == "ResourceOut"
    assert [line.split(":")[0] for line in log[1:]] == ["a"]


@pytest.mark.parametrize("name", ["pel01", "pel24", "pel38", "pel55"])
def test_the_standard_strategy_is_the_engine_s_default_search(name):
    # Same input, same settings: the same search, clause for clause.
    from kelvara.prover.cli import bundled_dir
    from kelvara.prover.saturation import prove
    from kelvara.prover.tptp import parse_file

    path = bundled_dir() / f"{name}.p"
    plain, _ = prove(parse_file(path), ProverConfig(time_limit=20.0))
    outcome = solve(path, Options(strategy="standard", time_limit=20.0, quiet=True))
    assert (outcome.status, outcome.given, outcome.kept, outcome.generated) == (
        plain.status, plain.given, plain.kept, plain.generated)
