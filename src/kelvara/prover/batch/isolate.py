"""One problem in a child process of its own, under the limits of ``kelvara prove``.

The parent forks a child that solves the problem with the prover's own
``solve`` (its time and clause limits, its proof check) and sends the outcome
back as JSON through a pipe.  The parent keeps a hard deadline a little past
the time limit, and the child has a CPU limit as a backstop, so a problem that
hangs, crashes the interpreter or runs out of memory becomes a record like
any other (``Timeout``, ``Error``, ``MemoryOut``) and the batch goes on.  CPU
time and peak memory come from the kernel's accounting of the child.
"""

from __future__ import annotations

import faulthandler
import functools
import gc
import json
import math
import os
import re
import resource
import select
import signal
import socket
import sys
import tempfile
import time
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

from .inputs import Task
from .results import agreement

_STATUS_LINE = re.compile(r"^%\s*Status\s*:\s*(\w+)", re.MULTILINE)


@dataclass(frozen=True)
class Limits:
    """Limits enforced from outside the prover."""

    time_limit: float | None  # seconds, the prover's own limit (None: none)
    memory_limit: int | None = None  # MiB of address space, None for none
    grace: float = 2.0  # seconds past the time limit before the child is killed

    @property
    def hard_seconds(self) -> float:
        if self.time_limit is None:
            return math.inf
        return self.time_limit + self.grace + 0.1 * self.time_limit


def default_solver() -> Callable[[Path, Any], Any]:
    from kelvara.prover.run import solve

    return solve


_WARM_UP = "fof(a, axiom, p(c)). fof(g, conjecture, ?[X]: p(X)).\n"
_prepared = False
_libc = None


def prepare() -> None:
    """Import and warm up what a child needs before forking, so that no child pays for it.

    The parent solves a two-line problem once (the reader and the prover fill
    their caches on first use), loads the C library for ``prctl`` and moves
    its objects out of the collector's reach, so that the children share
    those pages with it instead of copying them.
    """
    global _prepared, _libc
    if _prepared:
        return
    from kelvara.prover.run import Options, solve

    with tempfile.TemporaryDirectory(prefix="kelvara-warm-") as folder:
        warm = Path(folder) / "warm.p"
        warm.write_text(_WARM_UP, encoding="utf-8")
        solve(warm, Options(time_limit=5.0, max_clauses=None, notation="infix", quiet=True))
    strategy_of(None)
    if sys.platform.startswith("linux"):
        try:
            import ctypes

            _libc = ctypes.CDLL(None, use_errno=True)
        except OSError:
            _libc = None
    gc.collect()
    gc.freeze()
    _prepared = True


@functools.lru_cache(maxsize=None)
def _default_strategy() -> str:
    from kelvara.prover.saturation import ProverConfig

    config = ProverConfig()
    return f"default(selection={config.selection}, pick_given_ratio={config.pick_given_ratio})"


def strategy_of(outcome) -> str:
    """The strategy that produced an outcome (the prover's default configuration unless it says)."""
    named = getattr(outcome, "strategy", None)
    return str(named) if named else _default_strategy()


def proof_length(outcome) -> int:
    """Steps of the printed refutation of an outcome (0 without one)."""
    count = getattr(outcome, "proof_length", None)
    if isinstance(count, int):
        return count
    inside, steps = False, 0
    for line in outcome.text.splitlines():
        if line.startswith("% SZS output start"):
            inside = True
        elif line.startswith("% SZS output end"):
            inside = False
        elif inside and re.match(r"(cnf|fof|tff|thf)\(", line):
            steps += 1
    return steps


def _payload(task: Task, options, solver) -> dict:
    outcome = solver(Path(task.path), options)
    return {"problem": outcome.name, "status": outcome.status, "expected": outcome.expected,
            "seconds": outcome.seconds, "given": outcome.given, "kept": outcome.kept,
            "generated": outcome.generated, "proof_length": proof_length(outcome),
            "strategy": strategy_of(outcome), "message": outcome.message}


def _die_with_parent() -> None:
    """Ask the kernel to kill this child when its parent dies (Linux; elsewhere nothing)."""
    if _libc is not None:
        try:
            _libc.prctl(1, signal.SIGKILL, 0, 0, 0)  # PR_SET_PDEATHSIG
        except AttributeError:
            pass


def _child_main(task: Task, options, limits: Limits, solver, out_fd: int, err_fd: int) -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent stops its children itself
    _die_with_parent()
    devnull = os.open(os.devnull, os.O_RDWR)
    os.dup2(devnull, 0)
    os.dup2(devnull, 1)
    os.dup2(err_fd, 2)
    if faulthandler.is_enabled():  # its file may be a copy of the parent's standard error
        faulthandler.enable(file=2, all_threads=False)
    if math.isfinite(limits.hard_seconds):
        cpu = math.ceil(limits.hard_seconds) + 1
        resource.setrlimit(resource.RLIMIT_CPU, (cpu, cpu + 2))
    if limits.memory_limit is not None:
        size = limits.memory_limit * 1024 * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size, size))
    try:
        payload = _payload(task, options, solver)
    except MemoryError:
        payload = {"status": "MemoryOut", "message": "out of memory"}
    except BaseException as exc:  # noqa: BLE001 - becomes the record, the batch goes on
        payload = {"status": "Error", "message": f"internal error: {type(exc).__name__}: {exc}"}
    data = json.dumps(payload).encode("utf-8")
    while data:
        data = data[os.write(out_fd, data):]


@dataclass
class Child:
    """A running child and what it has sent so far."""

    task: Task
    pid: int
    fd: int
    errors: Any  # temporary file holding the child's standard error
    started: float
    deadline: float
    time_limit: float | None = None
    data: bytearray = field(default_factory=bytearray)


def spawn(task: Task, options, limits: Limits, solver=None) -> Child:
    """Fork a child solving ``task``; read its pipe with :func:`feed`, reap it with :func:`finish`."""
    solver = solver or default_solver()
    read_fd, write_fd = os.pipe()
    errors = tempfile.TemporaryFile()
    started = time.monotonic()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads around (Dask workers)
        pid = os.fork()
    if pid == 0:  # pragma: no cover - runs in the child, reported through the pipe
        try:
            os.close(read_fd)
            _child_main(task, options, limits, solver, write_fd, errors.fileno())
        finally:
            os._exit(0)
    os.close(write_fd)
    return Child(task, pid, read_fd, errors, started, started + limits.hard_seconds, limits.time_limit)


def feed(child: Child) -> bool:
    """Read what the child has written; False once its pipe is closed."""
    chunk = os.read(child.fd, 1 << 16)
    child.data.extend(chunk)
    return bool(chunk)


def _errors_head(child: Child, limit: int = 400) -> str:
    """The start of what the child wrote to standard error, on one line."""
    try:
        child.errors.seek(0)
        text = child.errors.read(limit).decode("utf-8", errors="replace").strip()
    except OSError:
        return ""
    return " ".join(text.split())


def expected_in_header(path: str) -> str | None:
    try:
        with open(path, encoding="utf-8", errors="replace") as stream:
            head = stream.read(16384)
    except OSError:
        return None
    match = _STATUS_LINE.search(head)
    return match.group(1) if match else None


def _signal_name(number: int) -> str:
    try:
        return signal.Signals(number).name
    except ValueError:
        return f"signal {number}"


def finish(child: Child, killed: bool = False) -> dict:
    """Reap the child (killing it first if ``killed``) and make its record."""
    if killed:
        try:
            os.kill(child.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    _, wait_status, usage = os.wait4(child.pid, 0)
    wall = time.monotonic() - child.started
    os.close(child.fd)
    payload: dict | None = None
    try:
        payload = json.loads(bytes(child.data)) if child.data else None
    except ValueError:
        payload = None
    if killed:
        payload = {"status": "Timeout", "message": f"killed at the hard limit after {wall:.1f} s"}
    elif os.WIFSIGNALED(wait_status):
        number = os.WTERMSIG(wait_status)
        if number == signal.SIGXCPU:
            payload = {"status": "Timeout", "message": "killed at the CPU time limit"}
        else:
            tail = _errors_head(child)
            payload = {"status": "Error",
                       "message": f"crashed: {_signal_name(number)}" + (f": {tail}" if tail else "")}
    elif payload is None:
        tail = _errors_head(child)
        payload = {"status": "Error", "message": f"the process ended (exit code "
                   f"{os.WEXITSTATUS(wait_status)}) without a result" + (f": {tail}" if tail else "")}
    child.errors.close()
    return make_record(child.task, payload, wall, usage, child.time_limit)


def make_record(task: Task, payload: dict, wall: float, usage=None, time_limit: float | None = None) -> dict:
    from kelvara import __version__

    expected = task.expected or payload.get("expected") or expected_in_header(task.path)
    status = payload["status"]
    cpu = usage.ru_utime + usage.ru_stime if usage is not None else None
    memory = None
    if usage is not None:  # kilobytes on Linux, bytes on macOS
        memory = usage.ru_maxrss / (1024 * 1024 if sys.platform == "darwin" else 1024)
    return {
        "problem": payload.get("problem") or task.name, "path": task.path, "folder": task.folder,
        "status": status, "expected": expected, "agreement": agreement(status, expected),
        "wall": round(wall, 4), "cpu": None if cpu is None else round(cpu, 4),
        "memory_mb": None if memory is None else round(memory, 1),
        "given": payload.get("given", 0), "kept": payload.get("kept", 0),
        "generated": payload.get("generated", 0), "proof_length": payload.get("proof_length", 0),
        "strategy": payload.get("strategy"), "time_limit": time_limit, "version": __version__,
        "host": socket.gethostname(), "message": payload.get("message", ""),
    }


def run_isolated(task: Task, options, limits: Limits, solver=None) -> dict:
    """Solve one task in a child process and wait for its record."""
    child = spawn(task, options, limits, solver)
    killed = False
    try:
        while True:
            left = child.deadline - time.monotonic()
            if left <= 0:
                killed = True
                break
            ready, _, _ = select.select([child.fd], [], [], min(left, 3600.0))
            if ready and not feed(child):
                break
    except BaseException:
        finish(child, killed=True)
        raise
    return finish(child, killed)
