"""Small helpers shared by the test modules."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap


def run_isolated(code: str, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter, so that a crash fails the calling test
    instead of killing the test run.  The child sees the same import path."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


class Raising:
    """An object whose __hash__, __eq__ or __repr__ raise on demand."""

    def __init__(self, hash_=False, eq=False, repr_=False):
        self.hash_, self.eq, self.repr_ = hash_, eq, repr_

    def __hash__(self):
        if self.hash_:
            raise RuntimeError("hash refused")
        return 7

    def __eq__(self, other):
        if self.eq:
            raise RuntimeError("eq refused")
        return self is other

    def __repr__(self):
        if self.repr_:
            raise RuntimeError("repr refused")
        return "Raising()"
