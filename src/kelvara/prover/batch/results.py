"""Results of a batch: one JSON object per line, appended as soon as a problem is done.

A record holds the problem, its status and expected status, whether they
agree, wall and CPU time, peak memory, clause counts, proof length, the
strategy and the kelvara version.  The file is appended with one ``write``
per line, so an interrupted run leaves at most one torn last line, which
reading skips (and appending starts on a fresh line after).
"""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Iterable

#: Statuses that answer the problem.
SOLVED = frozenset({"Theorem", "Unsatisfiable", "CounterSatisfiable", "Satisfiable", "ContradictoryAxioms"})
#: Statuses of a run that ended without an answer but without a fault.
UNSOLVED = frozenset({"Timeout", "GaveUp", "MemoryOut", "ResourceOut", "Inappropriate", "Unknown"})
#: Expected statuses that predict nothing.
NO_EXPECTATION = frozenset({"Unknown", "Open"})

# Pairs of answers that cannot both hold: a proof of the conjecture (or of
# unsatisfiability) against a model of the axioms with the negated conjecture
# (or of the clauses).  "Theorem" and "Satisfiable" are compatible.
_REFUTING = {
    "Theorem": frozenset({"CounterSatisfiable"}),
    "Unsatisfiable": frozenset({"Satisfiable", "CounterSatisfiable"}),
    "ContradictoryAxioms": frozenset({"Satisfiable", "CounterSatisfiable"}),
}

#: Field order of a record (also the column order of exports).
FIELDS = ("problem", "path", "folder", "status", "expected", "agreement", "wall", "cpu", "memory_mb",
          "given", "kept", "generated", "proof_length", "strategy", "time_limit", "version", "host",
          "message")


def agreement(status: str, expected: str | None) -> str:
    """How an answer relates to the expected status.

    ``agrees`` (the same status), ``compatible`` (another answer that can hold
    together with it, such as Theorem for an expected Satisfiable),
    ``contradicts``, ``unsolved`` (no answer), or ``unknown`` (nothing expected).
    """
    if status not in SOLVED:
        return "unsolved"
    if expected is None or expected in NO_EXPECTATION:
        return "unknown"
    if status == expected:
        return "agrees"
    if expected in _REFUTING.get(status, ()) or status in _REFUTING.get(expected, ()):
        return "contradicts"
    return "compatible"


def category(status: str) -> str:
    """``solved``, ``unsolved`` or ``error`` (crashes, input errors, internal errors)."""
    if status in SOLVED:
        return "solved"
    return "unsolved" if status in UNSOLVED else "error"


def encode(record: dict) -> str:
    """One line of the results file for a record (fields in the usual order)."""
    ordered = {key: record[key] for key in FIELDS if key in record}
    ordered.update((k, v) for k, v in record.items() if k not in ordered)
    return json.dumps(ordered, ensure_ascii=False, separators=(", ", ": ")) + "\n"


def read(path: str | os.PathLike) -> list[dict]:
    """The records of a results file (a missing file has none); torn or foreign lines are skipped."""
    try:
        text = Path(path).read_text(encoding="utf-8", errors="replace")
    except FileNotFoundError:
        return []
    records = []
    for line in text.splitlines():
        try:
            record = json.loads(line)
        except ValueError:
            continue
        if isinstance(record, dict) and isinstance(record.get("path"), str) and "status" in record:
            records.append(record)
    return records


def latest(records: Iterable[dict]) -> dict[str, dict]:
    """The last record of each problem path."""
    return {record["path"]: record for record in records}


class ResultsFile:
    """Appends records to a results file, one ``write`` per line, flushed to the OS at once."""

    def __init__(self, path: str | os.PathLike) -> None:
        self.path = Path(path)
        self._fd = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        size = os.fstat(self._fd).st_size
        if size:
            with open(self.path, "rb") as stream:
                stream.seek(size - 1)
                if stream.read(1) != b"\n":  # a torn last line: start a fresh one
                    os.write(self._fd, b"\n")

    def append(self, record: dict) -> None:
        data = encode(record).encode("utf-8")
        while data:
            data = data[os.write(self._fd, data):]

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1

    def __enter__(self) -> "ResultsFile":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
