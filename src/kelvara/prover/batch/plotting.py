"""Comparison figures of results files: cactus plots and scatter plots (matplotlib).

A run is read from kelvara's JSON lines or from a CSV file with the columns
``problem,status,time`` (a header line is optional), so that another
prover's results can be drawn beside kelvara's.  A problem counts as solved
when its status is an answer and, for kelvara's records, does not contradict
the expected status.
"""

from __future__ import annotations

import csv
import math
from dataclasses import dataclass
from pathlib import Path
from typing import Sequence

from . import results

FORMATS = (".png", ".svg", ".pdf")


class PlotError(Exception):
    """Unusable input or output of a plot."""


@dataclass
class Run:
    label: str
    times: dict[str, float]  # time of every problem of the run, by problem name
    solved: dict[str, bool]
    limit: float | None = None  # the time limit of the run, when known


def _problem_name(text: str) -> str:
    name = Path(text.strip()).name
    return name[:-2] if name.endswith(".p") else name


def read_csv(path: Path, label: str) -> Run:
    run = Run(label, {}, {})
    try:
        with open(path, newline="", encoding="utf-8") as stream:
            rows = list(csv.reader(stream))
    except OSError as exc:
        raise PlotError(f"cannot read {path}: {exc.strerror}") from None
    for number, row in enumerate(rows, 1):
        if not row or row[0].startswith("#"):
            continue
        if len(row) < 3:
            raise PlotError(f"{path}:{number}: expected problem,status,time")
        name, status, time = row[0], row[1].strip(), row[2].strip()
        try:
            seconds = float(time)
        except ValueError:
            if number == 1:  # a header
                continue
            raise PlotError(f"{path}:{number}: not a time: {time!r}") from None
        run.times[_problem_name(name)] = seconds
        run.solved[_problem_name(name)] = status in results.SOLVED
    return run


def read_jsonl(path: Path, label: str) -> Run:
    if not path.is_file():
        raise PlotError(f"cannot read {path}: no such file")
    records = results.latest(results.read(path)).values()
    run = Run(label, {}, {})
    for record in records:
        name = record.get("problem") or _problem_name(record["path"])
        run.times[name] = float(record.get("wall") or 0.0)
        run.solved[name] = (record["status"] in results.SOLVED and record.get("agreement") != "contradicts")
        if record.get("time_limit"):
            run.limit = max(run.limit or 0.0, float(record["time_limit"]))
    return run


def read_run(path: str, label: str | None = None) -> Run:
    file = Path(path)
    name = label or file.stem
    run = read_csv(file, name) if file.suffix.lower() == ".csv" else read_jsonl(file, name)
    if not run.times:
        raise PlotError(f"{path} holds no results")
    return run


def cactus_points(run: Run) -> tuple[list[float], list[int]]:
    """The steps of a cactus line: after time ``xs[i]``, ``ys[i]`` problems are solved."""
    times = sorted(t for name, t in run.times.items() if run.solved[name])
    return times, list(range(1, len(times) + 1))


def scatter_points(first: Run, second: Run, floor: float = 0.01) -> tuple[list[str], list[float], list[float], float]:
    """Per-problem times of two runs on their common problems; unsolved ones at a ceiling past the limits."""
    names = sorted(set(first.times) & set(second.times))
    if not names:
        raise PlotError(f"{first.label} and {second.label} have no problem in common")
    longest = max([first.limit or 0.0, second.limit or 0.0] + [first.times[n] for n in names]
                  + [second.times[n] for n in names])
    ceiling = 10 ** math.ceil(math.log10(max(longest, floor) * 1.5))

    def value(run: Run, name: str) -> float:
        return max(run.times[name], floor) if run.solved[name] else ceiling

    return names, [value(first, n) for n in names], [value(second, n) for n in names], ceiling


def _figure():
    try:
        import matplotlib
    except ImportError:
        raise PlotError("plots need matplotlib: pip install 'kelvara[plot]'") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def draw_cactus(runs: list[Run], output: str, title: str | None = None) -> None:
    plt = _figure()
    figure, axes = plt.subplots(figsize=(7, 4.5))
    for run in runs:
        xs, ys = cactus_points(run)
        label = f"{run.label} ({len(xs)} solved)"
        if not xs:
            axes.plot([], [], label=label)
            continue
        xs = [max(x, 0.001) for x in xs]
        axes.step(xs[:1] + xs, [0] + ys, where="post", label=label)
    limits = [run.limit for run in runs if run.limit]
    if limits:
        axes.axvline(max(limits), color="grey", linewidth=0.8, linestyle=":")
    axes.set_xscale("log")
    axes.set_xlabel("time limit per problem (s)")
    axes.set_ylabel("problems solved")
    axes.grid(True, alpha=0.3)
    axes.legend(loc="lower right")
    axes.set_title(title or "problems solved within a time limit")
    figure.tight_layout()
    figure.savefig(output)
    plt.close(figure)


def draw_scatter(first: Run, second: Run, output: str, title: str | None = None) -> None:
    plt = _figure()
    names, xs, ys, ceiling = scatter_points(first, second)
    figure, axes = plt.subplots(figsize=(5.5, 5.5))
    axes.scatter(xs, ys, s=14, alpha=0.7)
    low = min(xs + ys) / 2
    axes.plot([low, ceiling], [low, ceiling], color="grey", linewidth=0.8)
    axes.axvline(ceiling, color="red", linewidth=0.6, linestyle="--")
    axes.axhline(ceiling, color="red", linewidth=0.6, linestyle="--")
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel(f"{first.label} time (s)")
    axes.set_ylabel(f"{second.label} time (s)")
    axes.set_title(title or f"{first.label} against {second.label} ({len(names)} problems; "
                            "unsolved on the dashed lines)")
    figure.tight_layout()
    figure.savefig(output)
    plt.close(figure)


def main(paths: list[str], output: str, kind: str = "cactus", labels: Sequence[str] = (),
         title: str | None = None) -> None:
    if Path(output).suffix.lower() not in FORMATS:
        raise PlotError(f"unknown image format of {output} (use {', '.join(FORMATS)})")
    if labels and len(labels) != len(paths):
        raise PlotError(f"{len(labels)} labels for {len(paths)} results files")
    runs = [read_run(p, labels[i] if labels else None) for i, p in enumerate(paths)]
    if kind == "scatter":
        if len(runs) != 2:
            raise PlotError(f"a scatter plot compares two runs, not {len(runs)}")
        draw_scatter(runs[0], runs[1], output, title)
    else:
        draw_cactus(runs, output, title)
