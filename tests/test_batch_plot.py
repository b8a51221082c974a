"""``kelvara plot``: runs read from results files and CSV imports, cactus and scatter figures."""

from __future__ import annotations

from pathlib import Path

import pytest

from batch_support import kelvara
from kelvara.prover.batch.plotting import (PlotError, Run, cactus_points, read_csv, read_jsonl, read_run,
                                           scatter_points)
from kelvara.prover.batch.results import ResultsFile


def record(name: str, status: str, wall: float, agreement: str = "agrees", limit: float = 10.0) -> dict:
    return {"problem": name, "path": f"/set/{name}.p", "status": status, "wall": wall,
            "agreement": agreement, "time_limit": limit}


@pytest.fixture
def runs(tmp_path: Path) -> tuple[Path, Path]:
    jsonl = tmp_path / "kelvara.jsonl"
    with ResultsFile(jsonl) as sink:
        for r in [record("p1", "Timeout", 9.0), record("p1", "Theorem", 0.5), record("p2", "Theorem", 0.02),
                  record("p3", "CounterSatisfiable", 1.0, "contradicts"), record("p4", "Timeout", 10.2),
                  record("p5", "Satisfiable", 3.0, "unknown")]:
            sink.append(r)
    csv = tmp_path / "eprover.csv"
    csv.write_text("problem,status,time\n/x/p1.p,Theorem,0.1\np2,ResourceOut,10\n"
                   "# a comment\np3,Theorem,0.2\np4,Unsatisfiable,2.5\n")
    return jsonl, csv


def test_jsonl_run_takes_the_last_record_and_rejects_contradictions(runs):
    run = read_jsonl(runs[0], "k")
    assert run.times == {"p1": 0.5, "p2": 0.02, "p3": 1.0, "p4": 10.2, "p5": 3.0}
    assert run.solved == {"p1": True, "p2": True, "p3": False, "p4": False, "p5": True}
    assert run.limit == 10.0


def test_csv_run_with_header_comments_and_paths(runs):
    run = read_csv(runs[1], "e")
    assert run.times == {"p1": 0.1, "p2": 10.0, "p3": 0.2, "p4": 2.5}
    assert run.solved == {"p1": True, "p2": False, "p3": True, "p4": True}


@pytest.mark.parametrize("text, message", [
    ("p1,Theorem\n", "x.csv:1: expected problem,status,time"),
    ("p1,Theorem,1\np2,Theorem,fast\n", "x.csv:2: not a time: 'fast'"),
])
def test_bad_csv_rows(tmp_path: Path, text: str, message: str):
    (tmp_path / "x.csv").write_text(text)
    with pytest.raises(PlotError) as info:
        read_csv(tmp_path / "x.csv", "x")
    assert str(info.value) == f"{tmp_path}/{message}"


def test_an_empty_run_is_refused(tmp_path: Path):
    (tmp_path / "e.csv").write_text("problem,status,time\n")
    with pytest.raises(PlotError, match="holds no results"):
        read_run(str(tmp_path / "e.csv"))


def test_cactus_points_count_solved_problems_in_time_order(runs):
    xs, ys = cactus_points(read_jsonl(runs[0], "k"))
    assert xs == [0.02, 0.5, 3.0] and ys == [1, 2, 3]


def test_scatter_points_put_unsolved_problems_past_every_time():
    first = Run("a", {"p": 0.001, "q": 4.0, "r": 2.0}, {"p": True, "q": False, "r": True}, limit=5.0)
    second = Run("b", {"p": 1.0, "q": 3.0, "s": 1.0}, {"p": True, "q": True, "s": True})
    names, xs, ys, ceiling = scatter_points(first, second)
    assert names == ["p", "q"] and ceiling == 10.0
    assert xs == [0.01, 10.0] and ys == [1.0, 3.0]


def test_scatter_needs_common_problems():
    with pytest.raises(PlotError, match="no problem in common"):
        scatter_points(Run("a", {"p": 1.0}, {"p": True}), Run("b", {"q": 1.0}, {"q": True}))


def test_cactus_png_from_the_command_line(runs, tmp_path: Path):
    done = kelvara("plot", *runs, "-o", tmp_path / "c.png")
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "c.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_cactus_of_a_run_that_solved_nothing(tmp_path: Path):
    (tmp_path / "none.csv").write_text("p1,Timeout,10\np2,GaveUp,3\n")
    done = kelvara("plot", tmp_path / "none.csv", "-o", tmp_path / "c.svg")
    assert done.returncode == 0, done.stderr
    assert "none (0 solved)" in (tmp_path / "c.svg").read_text()


def test_scatter_svg_with_labels(runs, tmp_path: Path):
    done = kelvara("plot", *runs, "--kind", "scatter", "--label", "kelvara", "--label", "E",
                   "-o", tmp_path / "s.svg")
    assert done.returncode == 0, done.stderr
    text = (tmp_path / "s.svg").read_text()
    assert text.lstrip().startswith("<?xml") and "<svg" in text
    assert "kelvara time (s)" in text and "E time (s)" in text


@pytest.mark.parametrize("extra, message", [
    (["{0}", "--kind", "scatter"], "a scatter plot compares two runs, not 3"),
    (["--label", "only-one"], "1 labels for 2 results files"),
])
def test_plot_refusals(runs, tmp_path: Path, extra, message):
    args = [a.format(runs[0]) for a in extra]
    done = kelvara("plot", *runs, *args, "-o", tmp_path / "x.png")
    assert done.returncode == 2 and message in done.stderr
    assert not (tmp_path / "x.png").exists()


def test_unknown_image_format(runs, tmp_path: Path):
    done = kelvara("plot", runs[0], "-o", tmp_path / "x.gif")
    assert done.returncode == 2 and "unknown image format" in done.stderr
