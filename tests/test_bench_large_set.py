"""The large-theory benchmark set under bench/data/large: its manifest agrees
with the problem files (names, statuses, ratings), every problem reads with
its includes resolved from the set's own Axioms folder into exactly the
number of statements its header announces (over 200 each), and the stored
peer results name only problems of the set and never contradict a status."""

from __future__ import annotations

import csv
import re
from pathlib import Path

import pytest

from kelvara.prover.tptp import parse_file

LARGE = Path(__file__).resolve().parent.parent / "bench" / "data" / "large"
UNSAT = {"Theorem", "Unsatisfiable", "ContradictoryAxioms"}
SAT = {"CounterSatisfiable", "Satisfiable"}
SZS = UNSAT | SAT | {"ResourceOut", "Timeout", "GaveUp", "Unknown", "MemoryOut", "Error", "Inappropriate"}


def manifest() -> list[dict]:
    with (LARGE / "MANIFEST.tsv").open(encoding="utf-8", newline="") as handle:
        return list(csv.DictReader(handle, delimiter="\t"))


def header(text: str, field: str) -> str:
    found = re.search(rf"^%\s*{field}\s*:\s*(\S+)", text, re.MULTILINE)
    assert found, f"no {field} line"
    return found.group(1)


ROWS = manifest()


def test_the_manifest_lists_every_problem_file_once():
    names = [row["name"] for row in ROWS]
    assert len(names) == len(set(names))
    assert sorted(names) == sorted(path.stem for path in (LARGE / "problems").glob("*.p"))
    assert len(names) >= 100


def test_every_axiom_file_is_included_by_some_problem():
    included = set()
    for path in (LARGE / "problems").glob("*.p"):
        included.update(re.findall(r"^include\('(Axioms/[^']+)'\)", path.read_text(encoding="utf-8"), re.MULTILINE))
    on_disk = {f"Axioms/{path.name}" for path in (LARGE / "Axioms").glob("*.ax")}
    assert included == on_disk


@pytest.mark.parametrize("row", ROWS, ids=[row["name"] for row in ROWS])
def test_a_problem_reads_into_the_statements_its_header_announces(row, monkeypatch):
    monkeypatch.setenv("TPTP", str(LARGE))
    path = LARGE / "problems" / f"{row['name']}.p"
    text = path.read_text(encoding="utf-8")
    assert header(text, "File") == row["name"]
    assert header(text, "Status") == row["status"]
    assert header(text, "Rating").rstrip(",") == row["rating"]
    assert row["domain"] == row["name"][:3]
    announced = int(re.search(r"Number of formulae\s*:\s*(\d+)", text).group(1))
    problem = parse_file(path)
    assert len(problem.formulas) == announced > 200
    assert problem.expected_status == row["status"]
    assert len(problem.conjectures) == 1


@pytest.mark.parametrize("name", ["e-10s.tsv", "e-60s.tsv", "e-60s-partial.tsv", "kelvara-10s.tsv"])
def test_stored_results_name_set_problems_and_never_contradict_a_status(name):
    results = LARGE / name
    if not results.exists():
        pytest.skip(f"{name} not recorded yet")
    status = {row["name"]: row["status"] for row in ROWS}
    seen = set()
    for line in results.read_text(encoding="utf-8").splitlines():
        problem, answer, seconds = line.split("\t")[:3]
        assert problem in status and problem not in seen and answer in SZS
        float(seconds)
        seen.add(problem)
        expected = status[problem]
        assert not (answer in UNSAT and expected in SAT or answer in SAT and expected in UNSAT), problem


def test_the_long_peer_run_covers_exactly_what_the_short_one_left_open():
    short, long = LARGE / "e-10s.tsv", LARGE / "e-60s.tsv"
    if not (short.exists() and long.exists()):
        pytest.skip("peer runs not recorded yet")
    status = {row["name"]: row["status"] for row in ROWS}

    def solved(line: str) -> bool:
        problem, answer = line.split("\t")[:2]
        return (answer in UNSAT) == (status[problem] in UNSAT) and answer in UNSAT | SAT

    short_lines = short.read_text(encoding="utf-8").splitlines()
    open_after_short = {line.split("\t")[0] for line in short_lines if not solved(line)}
    assert {line.split("\t")[0] for line in long.read_text(encoding="utf-8").splitlines()} == open_after_short
    assert len(short_lines) == len(ROWS)


def test_a_partial_long_peer_run_only_holds_problems_the_short_one_left_open():
    short, partial = LARGE / "e-10s.tsv", LARGE / "e-60s-partial.tsv"
    if not partial.exists():
        pytest.skip("no partial long run recorded")
    status = {row["name"]: row["status"] for row in ROWS}
    answers = dict(line.split("\t")[:2] for line in short.read_text(encoding="utf-8").splitlines())
    for line in partial.read_text(encoding="utf-8").splitlines():
        problem = line.split("\t")[0]
        assert answers[problem] not in UNSAT | SAT or (answers[problem] in UNSAT) != (status[problem] in UNSAT)
    assert not (LARGE / "e-60s.tsv").exists(), "a complete run and a partial one side by side"
