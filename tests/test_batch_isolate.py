"""One problem per child process: records of real runs, and of children that crash or overrun."""

from __future__ import annotations

import os
import signal
import sys
import time
from pathlib import Path

import pytest

from batch_support import ANSWERS, write_problems
from kelvara.prover.batch import isolate
from kelvara.prover.batch.executors import LocalExecutor
from kelvara.prover.batch.inputs import Task
from kelvara.prover.batch.results import FIELDS
from kelvara.prover.run import Options, solve

OPTIONS = Options(time_limit=1.0, max_clauses=None, notation="infix", quiet=True, show_proof=True)
LIMITS = isolate.Limits(time_limit=1.0, grace=0.5)


@pytest.fixture(scope="module")
def problems(tmp_path_factory) -> dict[str, Path]:
    return write_problems(tmp_path_factory.mktemp("problems"))


def task(path: Path, expected: str | None = None) -> Task:
    return Task(str(path), "f", expected)


@pytest.mark.parametrize("name", sorted(ANSWERS))
def test_a_real_run_gives_the_answer_of_the_prover(problems, name):
    record = isolate.run_isolated(task(problems[name]), OPTIONS, LIMITS)
    assert record["status"] == ANSWERS[name]
    assert tuple(record) == FIELDS
    assert record["problem"] == name and record["path"] == str(problems[name])
    assert record["time_limit"] == 1.0
    assert record["cpu"] > 0 and record["memory_mb"] > 1 and record["wall"] > 0


def test_a_proof_is_counted_and_statistics_match_an_in_process_run(problems):
    record = isolate.run_isolated(task(problems["thm2"]), OPTIONS, LIMITS)
    direct = solve(problems["thm2"], OPTIONS)
    steps = sum(1 for line in direct.text.splitlines() if line.startswith(("cnf(", "fof(")))
    assert steps >= 3 and record["proof_length"] == steps
    assert (record["given"], record["kept"], record["generated"]) == (direct.given, direct.kept, direct.generated)
    assert record["expected"] == "Theorem" and record["agreement"] == "agrees"
    assert record["strategy"].startswith("default(selection=")


def test_the_manifest_expectation_overrides_the_header(problems):
    record = isolate.run_isolated(task(problems["thm"], "CounterSatisfiable"), OPTIONS, LIMITS)
    assert (record["status"], record["expected"], record["agreement"]) == (
        "Theorem", "CounterSatisfiable", "contradicts")


# Solvers standing in for a prover that misbehaves (run in the child).
def report_pid(path, options):
    return solve_ok(path, options, message=str(os.getpid()))


def solve_ok(path, options, message=""):
    outcome = solve(path, options)
    outcome.message = message
    return outcome


def abort(path, options):
    os.write(2, b"native assertion failed: boom\n")
    os.abort()


def vanish(path, options):
    os._exit(5)


def raise_error(path, options):
    raise RuntimeError("broken strategy")


def exhaust_memory(path, options):
    raise MemoryError


def hang(path, options):
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})
    Path(str(path) + ".pid").write_text(str(os.getpid()))
    while True:
        time.sleep(0.05)


def allocate(path, options):
    blocks = [bytearray(64 << 20) for _ in range(64)]  # 4 GiB
    return len(blocks)


@pytest.mark.parametrize("solver, status, message", [
    (abort, "Error", "crashed: SIGABRT: native assertion failed: boom"),
    (vanish, "Error", "the process ended (exit code 5) without a result"),
    (raise_error, "Error", "internal error: RuntimeError: broken strategy"),
    (exhaust_memory, "MemoryOut", "out of memory"),
])
def test_failing_children_become_records(problems, solver, status, message):
    record = isolate.run_isolated(task(problems["thm"]), OPTIONS, LIMITS, solver)
    assert record["status"] == status and record["message"].startswith(message)
    assert record["expected"] == "Theorem" and record["agreement"] == "unsolved"
    assert tuple(record) == FIELDS


def test_a_child_past_the_hard_limit_is_killed(problems, tmp_path):
    copy = tmp_path / "thm.p"
    copy.write_text(problems["thm"].read_text())
    start = time.monotonic()
    record = isolate.run_isolated(task(copy), OPTIONS, LIMITS, hang)
    assert record["status"] == "Timeout" and record["message"].startswith("killed at the hard limit after")
    assert LIMITS.hard_seconds <= record["wall"] <= time.monotonic() - start
    pid = int(Path(str(copy) + ".pid").read_text())
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)  # reaped, not a zombie


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_the_memory_limit_is_enforced(problems):
    size = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize:"))
    limits = isolate.Limits(time_limit=1.0, memory_limit=size // 1024 + 256)
    record = isolate.run_isolated(task(problems["thm"]), OPTIONS, limits, allocate)
    assert record["status"] == "MemoryOut"


def test_each_problem_has_a_process_of_its_own(problems):
    records = list(LocalExecutor(jobs=2, solver=report_pid).run(
        [task(problems[n]) for n in ("thm", "thm2", "csat")], OPTIONS, LIMITS))
    pids = {r["message"] for r in records if r is not None}
    assert len(pids) == 3 and str(os.getpid()) not in pids


def test_local_executor_goes_on_after_failures_and_yields_every_task_once(problems, tmp_path):
    hung = tmp_path / "hung.p"
    hung.write_text("fof(a, axiom, p).\n")
    tasks = [task(hung)] + [task(problems[n]) for n in sorted(ANSWERS)]

    def mixed(path, options):
        return hang(path, options) if Path(path) == hung else solve(path, options)

    records = [r for r in LocalExecutor(jobs=2, solver=mixed).run(tasks, OPTIONS, LIMITS) if r is not None]
    assert sorted(r["path"] for r in records) == sorted(t.path for t in tasks)
    by_name = {r["problem"]: r["status"] for r in records}
    assert by_name == {**ANSWERS, "hung": "Timeout"}


def test_closing_the_executor_early_kills_its_children(problems, tmp_path):
    copies = []
    for i in range(2):
        copy = tmp_path / f"h{i}.p"
        copy.write_text("fof(a, axiom, p).\n")
        copies.append(copy)
    run = LocalExecutor(jobs=2, solver=hang).run([task(c) for c in copies], OPTIONS,
                                                 isolate.Limits(time_limit=60.0))
    deadline = time.monotonic() + 30
    while not all(Path(str(c) + ".pid").exists() for c in copies):
        assert next(run) is None and time.monotonic() < deadline
    run.close()
    for copy in copies:
        with pytest.raises(ProcessLookupError):
            os.kill(int(Path(str(copy) + ".pid").read_text()), 0)


def test_jobs_must_be_positive():
    with pytest.raises(ValueError):
        LocalExecutor(jobs=0)
