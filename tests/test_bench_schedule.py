"""The schedule derivation of bench/derive_schedule.py: greedy cover per class, no schedule from a wrong answer."""

from __future__ import annotations

import json
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[1] / "bench"
pytest.importorskip("kelvara.prover.strategy")
_saved_path = list(sys.path)
sys.path.insert(0, str(BENCH))
derive_schedule = pytest.importorskip("derive_schedule")
# The script puts the checkout's src/ first on the path; later tests (and the
# child processes they start with this path) must keep the kelvara under test.
sys.path[:] = _saved_path

from kelvara.prover.schedule import Schedule  # noqa: E402


def _set(tmp_path, statuses):
    folder = tmp_path / "set"
    folder.mkdir()
    lines = ["name\tset\tdomain\tstatus"] + [f"{n}\tX\tX\t{s}" for n, s in statuses.items()]
    (folder / "MANIFEST.tsv").write_text("\n".join(lines) + "\n", encoding="utf-8")
    return folder


def _results(tmp_path, rows):
    path = tmp_path / "results.tsv"
    path.write_text("".join("\t".join(map(str, r)) + "\n" for r in rows), encoding="utf-8")
    return path


def test_greedy_cover_picks_the_strategy_adding_most_then_the_faster():
    wins = {"standard": {"p1": 1.0, "p2": 1.0, "p3": 1.0},
            "nosel": {"p3": 0.5, "p4": 0.5},
            "sine": {"p4": 0.1, "p5": 0.1},
            "fair": {"p4": 0.2, "p5": 0.2},
            "minsel": {"p1": 0.1}}
    picked = derive_schedule.greedy({"p1", "p2", "p3", "p4", "p5"}, wins, slots=4)
    # After standard, sine and fair add two each; sine is faster.
    assert picked == [("standard", 3), ("sine", 2)]
    assert derive_schedule.greedy({"p1", "p2", "p3", "p4", "p5"}, wins, slots=1) == [("standard", 3)]
    assert derive_schedule.greedy({"q"}, wins, slots=4) == []


def test_a_contradicting_answer_stops_the_derivation(tmp_path):
    folder = _set(tmp_path, {"p1": "Theorem", "p2": "CounterSatisfiable"})
    results = _results(tmp_path, [("p1", "horn_eq", "standard", "Theorem", 0.5),
                                  ("p2", "horn_eq", "sine", "Theorem", 0.5)])
    with pytest.raises(SystemExit, match="sine answers Theorem on p2, whose status is CounterSatisfiable"):
        derive_schedule.main(["--set", str(folder), "--results", str(results)])


def test_derived_schedules_load_with_small_classes_on_the_default(tmp_path, capsys):
    statuses = {f"p{i}": "Theorem" for i in range(8)} | {"s1": "Satisfiable"}
    folder = _set(tmp_path, statuses)
    rows = [(f"p{i}", "horn_eq", "standard" if i < 5 else "sine", "Theorem", 1.0) for i in range(8)]
    rows += [("s1", "nogoal", "standard", "Satisfiable", 0.1), ("s1", "nogoal", "sine", "GaveUp", 0.1)]
    out = tmp_path / "schedule.json"
    assert derive_schedule.main(["--set", str(folder), "--results", str(_results(tmp_path, rows)),
                                 "--out", str(out), "--min-class", "3"]) == 0
    data = json.loads(out.read_text())
    assert data["classes"] == {"horn_eq": [["standard", 2.0], ["sine", 1.0]]}
    assert data["default"] == [["standard", 2.0], ["sine", 1.0]]
    assert "nogoal: 1 problems, the default" in capsys.readouterr().err
    Schedule.from_json(data, refuse=lambda s: None)


def test_a_second_set_shapes_only_its_classes(tmp_path):
    first = _set(tmp_path, {f"p{i}": "Theorem" for i in range(4)})
    (tmp_path / "big").mkdir()
    lines = ["name\tset\tdomain\tstatus"] + [f"b{i}\tX\tX\tTheorem" for i in range(6)]
    (tmp_path / "big" / "MANIFEST.tsv").write_text("\n".join(lines) + "\n", encoding="utf-8")
    rows = [(f"p{i}", "horn_eq", "standard", "Theorem", 1.0) for i in range(4)]
    rows += [(f"b{i}", "large", "sine_wide", "Theorem", 1.0) for i in range(6)]
    out = tmp_path / "schedule.json"
    derive_schedule.main(["--set", str(first), str(tmp_path / "big"), "--results", str(_results(tmp_path, rows)),
                          "--out", str(out), "--min-class", "3"])
    data = json.loads(out.read_text())
    assert data["default"] == [["standard", 2.0]]
    assert data["classes"]["large"] == [["sine_wide", 2.0], ["standard", 1.0]]
