"""Several strategy lanes at once: one forked process per lane, the first definite answer wins.

The problem is read and clausified once, before the fork; each child runs
its lane of slots under the same budget, checks and formats its answer
itself and sends it back through a pipe as a small tuple of plain values.
The parent waits for the first answer in the solved statuses (or for all
lanes to end), then kills every child still running; a Ctrl-C, the time
limit's alarm or any other exception in the parent kills them too.  A child
whose parent dies is killed by the system (on Linux).
"""

from __future__ import annotations

import os
import pickle
import selectors
import signal
import sys
import time
from typing import Any, Callable

from .run import SOLVED

__all__ = ["run_lanes", "Payload"]

# What a lane sends back: any picklable object with a ``status`` attribute (an SZS status).
Payload = Any

_PR_SET_PDEATHSIG = 1


def _die_with_parent() -> None:
    if not sys.platform.startswith("linux"):
        return
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    except (OSError, AttributeError):
        pass


def _child(lane, work, write_end: int) -> None:
    """Runs in the forked child: never returns, whatever happens."""
    code = 0
    try:
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent ends the lanes
        _die_with_parent()
        payload = work(lane)
        data = pickle.dumps(payload)
        view = memoryview(data)
        while view:
            written = os.write(write_end, view)
            view = view[written:]
    except BaseException:  # noqa: BLE001 - a lane that fails just sends nothing
        code = 1
    finally:
        os._exit(code)


def _rank(payload: Payload) -> int:
    """Which non-definite answer to report: errors first, then running out of time."""
    return {"Error": 0, "Timeout": 1}.get(payload.status, 2)


def run_lanes(lanes: list, work: Callable[[Any], Any], deadline: float | None, grace: float = 1.0) -> Payload | None:
    """Runs ``work(lane)`` for every lane in its own process; the winning payload (None: no lane answered).

    ``work`` returns a picklable payload whose ``status`` is an SZS status.
    At most ``len(lanes)`` children run; past ``deadline`` + ``grace`` the
    parent stops waiting.
    """
    children: dict[int, tuple[int, int]] = {}  # read end -> (pid, lane index)
    buffers: dict[int, bytearray] = {}
    answers: list[tuple[int, Payload]] = []
    sys.stdout.flush()
    sys.stderr.flush()
    try:
        for index, lane in enumerate(lanes):
            read_end, write_end = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.close(read_end)
                _child(lane, work, write_end)
            os.close(write_end)
            children[read_end] = (pid, index)
            buffers[read_end] = bytearray()
        with selectors.DefaultSelector() as selector:
            for read_end in children:
                selector.register(read_end, selectors.EVENT_READ)
            open_ends = set(children)
            while open_ends:
                timeout = None if deadline is None else deadline + grace - time.monotonic()
                if timeout is not None and timeout <= 0:
                    break
                for key, _ in selector.select(timeout):
                    read_end = key.fd
                    chunk = os.read(read_end, 1 << 16)
                    if chunk:
                        buffers[read_end] += chunk
                        continue
                    selector.unregister(read_end)
                    open_ends.discard(read_end)
                    try:
                        payload = pickle.loads(bytes(buffers[read_end])) if buffers[read_end] else None
                    except Exception:  # noqa: BLE001 - a lane cut off mid-write
                        payload = None
                    if payload is not None:
                        answers.append((children[read_end][1], payload))
                        if payload.status in SOLVED:
                            return payload
    finally:
        for read_end, (pid, _) in children.items():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for read_end, (pid, _) in children.items():
            try:
                os.waitpid(pid, 0)
            except ChildProcessError:
                pass
            os.close(read_end)
    if not answers:
        return None
    return min(answers, key=lambda item: (_rank(item[1]), item[0]))[1]
