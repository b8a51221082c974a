"""Live progress of a batch on standard error.

On a terminal a ``rich`` progress bar shows the problems done, the solved,
unsolved and failed counts and an estimate of the time left; elsewhere (a
log file, a pipe, CI) each result is one plain line with the same counts.
"""

from __future__ import annotations

import sys
import time
from typing import TextIO

from .results import category


class Counts:
    """Running totals of a batch, with a naive estimate of the time left."""

    def __init__(self, total: int) -> None:
        self.total = total
        self.done = 0
        self.by_category = {"solved": 0, "unsolved": 0, "error": 0}
        self.started = time.monotonic()

    def add(self, record: dict) -> None:
        self.done += 1
        self.by_category[category(record["status"])] += 1

    def seconds_left(self) -> float | None:
        if not self.done:
            return None
        elapsed = time.monotonic() - self.started
        return elapsed / self.done * (self.total - self.done)

    def describe(self) -> str:
        c = self.by_category
        text = f"solved {c['solved']}, unsolved {c['unsolved']}, errors {c['error']}"
        left = self.seconds_left()
        if left is not None and self.done < self.total:
            text += f", about {_duration(left)} left"
        return text


def _duration(seconds: float) -> str:
    seconds = int(round(seconds))
    if seconds < 60:
        return f"{seconds} s"
    minutes, seconds = divmod(seconds, 60)
    if minutes < 60:
        return f"{minutes} min {seconds:02d} s"
    hours, minutes = divmod(minutes, 60)
    return f"{hours} h {minutes:02d} min"


class PlainProgress:
    """One line per result: ``[done/total] status problem time  counts``."""

    def __init__(self, total: int, stream: TextIO) -> None:
        self.counts = Counts(total)
        self.stream = stream
        self.width = len(str(total))

    def advance(self, record: dict) -> None:
        self.counts.add(record)
        c = self.counts
        mark = "  CONTRADICTS " + str(record["expected"]) if record.get("agreement") == "contradicts" else ""
        print(f"[{c.done:>{self.width}}/{c.total}] {record['status']:<18} {record['problem']}  "
              f"{record['wall']:.2f} s{mark}  ({c.describe()})", file=self.stream, flush=True)

    def tick(self) -> None:
        pass

    def close(self) -> None:
        pass


class RichProgress:
    """A progress bar redrawn on each result and on each heartbeat of the executor."""

    def __init__(self, total: int, stream: TextIO, console=None) -> None:
        from rich.console import Console
        from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn

        self.counts = Counts(total)
        self.console = console or Console(file=stream)
        self.progress = Progress(
            TextColumn("[bold]batch"), BarColumn(), MofNCompleteColumn(),
            TextColumn("[green]{task.fields[solved]} solved"), TextColumn("[yellow]{task.fields[unsolved]} unsolved"),
            TextColumn("[red]{task.fields[errors]} errors"), TimeElapsedColumn(),
            TextColumn("{task.fields[left]}"),
            console=self.console, auto_refresh=False, transient=False,
        )
        self.progress.start()
        self.task = self.progress.add_task("batch", total=total, solved=0, unsolved=0, errors=0, left="")
        self.last = 0.0

    def _update(self, advance: int) -> None:
        c = self.counts.by_category
        left = self.counts.seconds_left()
        self.progress.update(self.task, advance=advance, solved=c["solved"], unsolved=c["unsolved"],
                             errors=c["error"], left="" if left is None else f"~{_duration(left)} left")
        self.progress.refresh()
        self.last = time.monotonic()

    def advance(self, record: dict) -> None:
        self.counts.add(record)
        if record.get("agreement") == "contradicts":
            self.progress.console.print(f"[bold red]CONTRADICTION[/] {record['problem']}: "
                                        f"{record['status']}, expected {record['expected']}")
        self._update(1)

    def tick(self) -> None:
        if time.monotonic() - self.last >= 0.5:
            self._update(0)

    def close(self) -> None:
        self.progress.stop()


def make_progress(total: int, stream: TextIO | None = None, quiet: bool = False):
    """A rich bar when ``stream`` is a terminal and rich is installed, plain lines otherwise."""
    stream = stream if stream is not None else sys.stderr
    if quiet:
        return _Silent()
    if stream.isatty():
        try:
            return RichProgress(total, stream)
        except ImportError:
            pass
    return PlainProgress(total, stream)


class _Silent:
    def advance(self, record: dict) -> None:
        pass

    def tick(self) -> None:
        pass

    def close(self) -> None:
        pass
