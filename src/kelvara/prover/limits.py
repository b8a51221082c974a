"""One clock and one memory bound for a whole prover run.

A :class:`Budget` starts when the run starts (before the problem is read) and
is consulted by every stage: the reader calls :meth:`Budget.check` while it
reads, the clause form between statements, the search once per given clause,
the proof output between steps.  Past the wall-clock limit ``check`` raises
:class:`LimitReached` with status ``Timeout``; past the memory limit (the
resident size of the process) with status ``ResourceOut``.
"""

from __future__ import annotations

import math
import os
import time

__all__ = ["Budget", "LimitReached", "resident_bytes", "parse_memory_size"]

_PAGE = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096


class LimitReached(Exception):
    """A limit of the run was reached; ``status`` is the SZS status to report."""

    def __init__(self, status: str, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message


def resident_bytes() -> int | None:
    """Resident size of this process, or None where it cannot be read cheaply."""
    try:
        with open("/proc/self/statm", "rb") as handle:
            return int(handle.read().split()[1]) * _PAGE
    except (OSError, ValueError, IndexError):
        return None


def parse_memory_size(text: str) -> int:
    """``512M``, ``2G``, ``100000K`` or a plain number of megabytes, as bytes."""
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    text = text.strip()
    factor = units.get(text[-1:].upper())
    number = text[:-1] if factor else text
    value = float(number)
    if not math.isfinite(value) or value < 0:
        raise ValueError(f"not a size: {text!r}")
    return int(value * (factor or units["M"]))


class Budget:
    """The limits of one run, measured from ``start`` (``time.monotonic()``).

    ``time_limit`` is in seconds of wall-clock time and ``memory_limit`` in
    bytes; None (or 0) means no limit.  The stage names the part of the run
    that is going on, for the message when a limit is hit.
    """

    #: Seconds between two readings of the resident size.
    MEMORY_INTERVAL = 0.02

    def __init__(self, time_limit: float | None = None, memory_limit: int | None = None,
                 start: float | None = None) -> None:
        for name, value in (("time_limit", time_limit), ("memory_limit", memory_limit)):
            if value is not None and (not isinstance(value, (int, float)) or isinstance(value, bool)
                                      or not math.isfinite(value) or value < 0):
                raise ValueError(f"{name} must be a finite non-negative number or None, not {value!r}")
        self.start = time.monotonic() if start is None else start
        self.time_limit = time_limit or None
        self.memory_limit = memory_limit or None
        self.deadline = None if self.time_limit is None else self.start + self.time_limit
        self.stage = "reading the problem"
        self._next_memory_check = 0.0

    def elapsed(self) -> float:
        return time.monotonic() - self.start

    def remaining(self) -> float | None:
        """Seconds left, never negative; None without a time limit."""
        if self.deadline is None:
            return None
        return max(0.0, self.deadline - time.monotonic())

    def expired(self) -> bool:
        return self.deadline is not None and time.monotonic() >= self.deadline

    def check(self) -> None:
        """Raise LimitReached when a limit is exceeded."""
        now = time.monotonic()
        if self.deadline is not None and now >= self.deadline:
            raise LimitReached("Timeout", f"time limit of {self.time_limit:g} s reached while {self.stage}")
        if self.memory_limit is not None and now >= self._next_memory_check:
            self._next_memory_check = now + self.MEMORY_INTERVAL
            used = resident_bytes()
            if used is not None and used > self.memory_limit:
                raise LimitReached("ResourceOut",
                                   f"memory limit of {self.memory_limit >> 20} MB reached while {self.stage} "
                                   f"({used >> 20} MB in use)")

    def __call__(self) -> None:
        self.check()
