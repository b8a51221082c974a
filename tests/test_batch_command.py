"""``kelvara batch`` from the command line: results file, resume, summary, contradictions, progress."""

from __future__ import annotations

import io
import json
import signal
import time
from pathlib import Path

import pytest

from batch_support import ANSWERS, kelvara, start_kelvara, write_problems
from kelvara.prover.batch.progress import PlainProgress, RichProgress, make_progress
from kelvara.prover.batch.results import FIELDS, read


@pytest.fixture
def folder(tmp_path: Path) -> Path:
    write_problems(tmp_path / "set" / "one", ["thm", "csat", "bad"])
    write_problems(tmp_path / "set" / "two", ["slow", "thm2"])
    return tmp_path


def lines(path: Path) -> list[dict]:
    return [json.loads(line) for line in path.read_text().splitlines()]


def test_batch_over_a_folder(folder: Path):
    done = kelvara("batch", "set", "-t", "1", "-j", "2", "--out", "r.jsonl", cwd=folder)
    assert done.returncode == 0, done.stderr
    records = lines(folder / "r.jsonl")
    assert {r["problem"]: r["status"] for r in records} == ANSWERS
    assert all(tuple(r) == FIELDS for r in records)
    assert {r["problem"]: r["folder"] for r in records} == {
        "thm": "set/one", "csat": "set/one", "bad": "set/one", "slow": "set/two", "thm2": "set/two"}
    # plain progress lines, one per result, since standard error is not a terminal
    progress = [line for line in done.stderr.splitlines() if line.startswith("[")]
    assert len(progress) == 5 and progress[-1].startswith("[5/5]")
    assert "solved 3, unsolved 1, errors 1)" in progress[-1]
    out = done.stdout.splitlines()
    assert out[0].split() == ["expected", "problems", "solved", "agree", "contradict", "unsolved", "errors", "time/s"]
    rows = {line.split()[0]: line.split()[1:7] for line in out if line and set(line) != {"-"}}
    assert rows["Theorem"] == ["3", "2", "2", "0", "0", "1"]
    assert rows["CounterSatisfiable"] == ["1", "1", "1", "0", "0", "0"]
    assert rows["-"] == ["1", "0", "0", "0", "1", "0"]
    assert rows["set/one"] == ["3", "2", "2", "0", "0", "1"]
    assert rows["set/two"] == ["2", "1", "1", "0", "1", "0"]


def test_results_match_kelvara_prove_with_the_same_options(folder: Path):
    slow = folder / "set" / "two" / "slow.p"
    done = kelvara("batch", slow, "--max-clauses", "5", "-t", "5", "--out", "r.jsonl", cwd=folder)
    proved = kelvara("prove", slow, "--max-clauses", "5", "-t", "5", "-q", "--no-proof")
    record, = lines(folder / "r.jsonl")
    assert proved.stdout.split()[3] == record["status"] == "ResourceOut"
    assert record["message"] and f"kelvara: {record['message']}" in proved.stderr


def test_contradictions_are_listed_loudly_with_a_nonzero_exit(folder: Path):
    (folder / "list.txt").write_text("set/one/thm.p CounterSatisfiable\nset/one/csat.p\nset/two/thm2.p Theorem\n")
    done = kelvara("batch", "--manifest", "list.txt", "--out", "r.jsonl", "-t", "1", cwd=folder)
    assert done.returncode == 3
    assert "!! 1 ANSWER CONTRADICT THE EXPECTED STATUS" in done.stderr
    assert f"!!   thm: answered Theorem, expected CounterSatisfiable  ({folder / 'set/one/thm.p'})" in done.stderr
    assert "CONTRADICTS CounterSatisfiable" in done.stderr  # on the progress line too
    verdicts = {r["problem"]: r["agreement"] for r in lines(folder / "r.jsonl")}
    assert verdicts == {"thm": "contradicts", "csat": "agrees", "thm2": "agrees"}


def test_resume_runs_only_the_missing_problems(folder: Path):
    first = kelvara("batch", "set/one", "--out", "r.jsonl", "-t", "1", cwd=folder)
    assert first.returncode == 0
    before = (folder / "r.jsonl").read_text()
    refused = kelvara("batch", "set", "--out", "r.jsonl", "-t", "1", cwd=folder)
    assert refused.returncode == 2 and "already holds results: add --resume" in refused.stderr
    assert (folder / "r.jsonl").read_text() == before
    again = kelvara("batch", "set", "--out", "r.jsonl", "-t", "1", "--resume", cwd=folder)
    assert again.returncode == 0
    assert "5 problems, 3 already in r.jsonl, 2 to run" in again.stderr
    after = (folder / "r.jsonl").read_text()
    assert after.startswith(before)
    assert sorted(r["problem"] for r in lines(folder / "r.jsonl")[3:]) == ["slow", "thm2"]
    # the summary covers the whole batch, old results included
    total = next(line for line in again.stdout.splitlines() if line.startswith("total"))
    assert total.split()[1:3] == ["5", "3"]


def test_an_interrupted_run_keeps_its_results_and_resume_completes_it(folder: Path):
    for i in range(4):
        (folder / "set" / "two" / f"slow{i}.p").write_text((folder / "set" / "two" / "slow.p").read_text())
    running = start_kelvara("batch", "set", "--out", "r.jsonl", "-t", "1", "-j", "1", cwd=folder)
    out = folder / "r.jsonl"
    deadline = time.monotonic() + 60
    while not (out.exists() and len(out.read_text().splitlines()) >= 2):
        assert running.poll() is None and time.monotonic() < deadline
        time.sleep(0.05)
    running.send_signal(signal.SIGINT)
    _, err = running.communicate(timeout=60)
    assert running.returncode == 130 and "interrupted" in err, err
    kept = read(out)
    assert 2 <= len(kept) < 9
    again = kelvara("batch", "set", "--out", "r.jsonl", "-t", "1", "--resume", cwd=folder)
    assert again.returncode == 0
    records = read(out)
    assert records[:len(kept)] == kept
    assert sorted(r["path"] for r in records) == sorted(str(p.resolve()) for p in (folder / "set").rglob("*.p"))


@pytest.mark.parametrize("args, message", [
    ([], "no problems given"),
    (["nowhere.p"], "no such problem: nowhere.p"),
    (["set", "-t", "-1"], "must be a finite number of seconds"),
    (["set", "-j", "0"], "must be positive: '0'"),
    (["set", "--scheduler", "tcp://127.0.0.1:1"], "--scheduler needs --executor dask"),
    (["set", "--out", "."], "cannot use . as the results file: Is a directory"),
])
def test_unusable_arguments(folder: Path, args, message):
    done = kelvara("batch", "--out", "r.jsonl", *args, cwd=folder)
    assert done.returncode == 2 and message in done.stderr
    assert not (folder / "r.jsonl").exists() or read(folder / "r.jsonl") == []


def test_batch_shares_the_limit_options_of_prove():
    text = kelvara("batch", "--help").stdout
    for option in ("--time-limit", "-t", "--max-clauses", "--memory-limit", "-m", "--jobs", "--bundled", "--resume",
                   "--manifest"):
        assert f" {option}" in text


def record(status: str, agreement: str = "agrees") -> dict:
    return {"problem": "p", "status": status, "expected": "Theorem", "agreement": agreement, "wall": 0.5}


def test_plain_progress_counts_and_estimates():
    stream = io.StringIO()
    progress = make_progress(4, stream)
    assert isinstance(progress, PlainProgress)
    for status in ("Theorem", "Timeout", "Error"):
        progress.advance(record(status))
    text = stream.getvalue().splitlines()
    assert text[0].startswith("[1/4] Theorem            p  0.50 s  (solved 1, unsolved 0, errors 0, about ")
    assert "(solved 1, unsolved 1, errors 1, about" in text[2]


def test_rich_progress_on_a_terminal():
    from rich.console import Console

    stream = io.StringIO()
    progress = RichProgress(3, stream, console=Console(file=stream, force_terminal=True, width=150))
    progress.advance(record("Theorem"))
    progress.advance(record("CounterSatisfiable", "contradicts"))
    progress.close()
    text = stream.getvalue()
    assert "2/3" in text and "2 solved" in text and "0 errors" in text
    assert "CONTRADICTION" in text
