"""Results of a batch: agreement with the expected status, and the JSON lines file."""

from __future__ import annotations

import json
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kelvara.prover.batch.results import (FIELDS, SOLVED, ResultsFile, agreement, category, encode, latest,
                                          read)

ANSWERS = sorted(SOLVED)


@pytest.mark.parametrize("status, expected, verdict", [
    ("Theorem", "Theorem", "agrees"),
    ("Theorem", "CounterSatisfiable", "contradicts"),
    ("CounterSatisfiable", "Theorem", "contradicts"),
    ("Unsatisfiable", "Satisfiable", "contradicts"),
    ("Satisfiable", "Unsatisfiable", "contradicts"),
    ("ContradictoryAxioms", "CounterSatisfiable", "contradicts"),
    ("Satisfiable", "ContradictoryAxioms", "contradicts"),
    ("Theorem", "Satisfiable", "compatible"),
    ("ContradictoryAxioms", "Theorem", "compatible"),
    ("Theorem", "Unsatisfiable", "compatible"),
    ("Theorem", None, "unknown"),
    ("Theorem", "Unknown", "unknown"),
    ("CounterSatisfiable", "Open", "unknown"),
    ("Timeout", "Theorem", "unsolved"),
    ("Error", "CounterSatisfiable", "unsolved"),
    ("GaveUp", None, "unsolved"),
])
def test_agreement(status, expected, verdict):
    assert agreement(status, expected) == verdict


@given(st.sampled_from(ANSWERS), st.sampled_from(ANSWERS))
def test_contradiction_is_symmetric_and_never_between_equal_answers(a, b):
    assert (agreement(a, b) == "contradicts") == (agreement(b, a) == "contradicts")
    assert (agreement(a, b) == "agrees") == (a == b)


@pytest.mark.parametrize("status, kind", [
    ("Theorem", "solved"), ("Satisfiable", "solved"), ("Timeout", "unsolved"), ("MemoryOut", "unsolved"),
    ("GaveUp", "unsolved"), ("Error", "error"), ("SyntaxError", "error"), ("InputError", "error"),
])
def test_category(status, kind):
    assert category(status) == kind


def record(name: str, status: str = "Theorem", **extra) -> dict:
    base = {field: None for field in FIELDS}
    base.update(problem=name, path=f"/p/{name}.p", status=status, **extra)
    return base


def test_encode_orders_fields_and_keeps_unknown_ones_last():
    line = encode({"zzz": 1, **record("a")})
    assert line.endswith("\n") and line.count("\n") == 1
    assert list(json.loads(line)) == list(FIELDS) + ["zzz"]


def test_round_trip_through_the_file(tmp_path: Path):
    out = tmp_path / "r.jsonl"
    records = [record("a"), record("b", "Timeout", message="ü ∀ \"quoted\"\nnewline")]
    with ResultsFile(out) as sink:
        for r in records:
            sink.append(r)
    assert read(out) == records
    assert len(out.read_text(encoding="utf-8").splitlines()) == 2


def test_torn_and_foreign_lines_are_skipped_and_appending_starts_a_fresh_line(tmp_path: Path):
    out = tmp_path / "r.jsonl"
    out.write_text(encode(record("a")) + "not json\n[1, 2]\n{\"no\": \"path\"}\n" + encode(record("b"))[:25])
    assert [r["problem"] for r in read(out)] == ["a"]
    with ResultsFile(out) as sink:
        sink.append(record("c"))
    assert [r["problem"] for r in read(out)] == ["a", "c"]


def test_missing_file_has_no_records(tmp_path: Path):
    assert read(tmp_path / "none.jsonl") == []


def test_latest_record_of_a_path_wins():
    first, second = record("a", "Timeout"), record("a", "Theorem")
    assert latest([first, record("b"), second]) == {"/p/a.p": second, "/p/b.p": record("b")}
