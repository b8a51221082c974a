"""The Dask executor against a real local cluster (loopback, two worker processes).

It must give the statuses of the local executor, lose no result when a
worker is killed in the middle of a task, and complete an interrupted run
with ``--resume`` without running a finished problem again.
"""

from __future__ import annotations

import os
import shutil
import signal
import time
from pathlib import Path

import distributed
import pytest

from batch_support import ANSWERS, kelvara, start_kelvara, write_problems
from kelvara.prover.batch import isolate
from kelvara.prover.batch.executors import DaskExecutor, LocalExecutor, _remote_solve
from kelvara.prover.batch.inputs import Task, collect
from kelvara.prover.batch.results import read
from kelvara.prover.cli import bundled_dir
from kelvara.prover.run import Options


OPTIONS = Options(time_limit=2.0, max_clauses=None, notation="infix", quiet=True, show_proof=True)
LIMITS = isolate.Limits(time_limit=2.0, grace=1.0)
QUICK_BUNDLED = ["pel01", "pel02", "pel17", "pel20", "pel34", "pel55"]


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0") as cluster, distributed.Client(cluster) as client:
        yield cluster, client


@pytest.fixture
def problems(tmp_path: Path) -> Path:
    write_problems(tmp_path / "set")
    return tmp_path


def statuses(records) -> dict[str, str]:
    return {r["path"]: r["status"] for r in records if r is not None}


def test_same_statuses_as_the_local_executor(cluster, problems):
    tasks = collect([str(problems / "set")] + QUICK_BUNDLED, bundled=bundled_dir())
    remote = statuses(DaskExecutor(cluster[0].scheduler_address).run(tasks, OPTIONS, LIMITS))
    local = statuses(LocalExecutor(jobs=2).run(tasks, OPTIONS, LIMITS))
    assert remote == local
    assert len(remote) == len(tasks)
    assert {Path(p).stem: s for p, s in remote.items() if "/set/" in p} == ANSWERS
    assert all(remote[str(bundled_dir() / f"{n}.p")] == "Theorem" for n in QUICK_BUNDLED)


def _slow_set(folder: Path, count: int) -> Path:
    slow = write_problems(folder / "slowset", ["slow"])["slow"]
    for i in range(1, count):
        shutil.copy(slow, folder / "slowset" / f"slow{i}.p")
    return folder / "slowset"


def _wait_for_lines(path: Path, count: int, running, timeout: float = 120) -> None:
    deadline = time.monotonic() + timeout
    while not (path.exists() and len(read(path)) >= count):
        assert running.poll() is None, running.communicate()
        assert time.monotonic() < deadline
        time.sleep(0.05)


def test_a_killed_worker_loses_no_result(cluster, tmp_path):
    cluster, client = cluster
    folder = _slow_set(tmp_path, 6)
    out = tmp_path / "r.jsonl"
    running = start_kelvara("batch", folder, "-t", "1.5", "--executor", "dask", "--scheduler",
                            cluster.scheduler_address, "--out", out)
    _wait_for_lines(out, 1, running)
    pids = client.run(os.getpid)
    busy = [worker for worker, keys in client.processing().items() if keys]
    assert busy
    os.kill(pids[busy[0]], signal.SIGKILL)
    _, err = running.communicate(timeout=180)
    assert running.returncode == 0, err
    records = read(out)
    assert sorted(Path(r["path"]).name for r in records) == sorted(p.name for p in folder.glob("*.p"))
    assert {r["status"] for r in records} == {"Timeout"}
    client.wait_for_workers(2, timeout=60)


def test_resume_after_an_interrupted_run_completes_only_the_missing_problems(cluster, tmp_path):
    cluster, client = cluster
    folder = _slow_set(tmp_path, 6)
    out = tmp_path / "r.jsonl"
    args = ["batch", folder, "-t", "1", "--executor", "dask", "--scheduler", cluster.scheduler_address,
            "--out", out]
    running = start_kelvara(*args)
    _wait_for_lines(out, 2, running)
    running.send_signal(signal.SIGINT)
    _, err = running.communicate(timeout=120)
    assert running.returncode == 130, err
    before = read(out)
    assert 2 <= len(before) < 6
    done = kelvara(*args, "--resume", timeout=180)
    assert done.returncode == 0, done.stderr
    assert f"6 problems, {len(before)} already in" in done.stderr
    after = read(out)
    assert after[:len(before)] == before and len(after) == 6
    assert len({r["path"] for r in after}) == 6


def test_a_worker_without_the_file_solves_the_shipped_copy(tmp_path):
    text = b"% Status : Theorem\nfof(a, axiom, p(c)).\nfof(g, conjecture, p(c)).\n"
    gone = Task(str(tmp_path / "elsewhere" / "thm.p"), "elsewhere", None)
    record = _remote_solve(gone, text, OPTIONS, LIMITS)
    assert (record["path"], record["problem"], record["status"], record["expected"]) == (
        gone.path, "thm", "Theorem", "Theorem")
