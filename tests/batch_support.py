"""Small problems and a command runner shared by the batch tests."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
from pathlib import Path

PROBLEMS = {
    "thm": "% Status : Theorem\nfof(a, axiom, p(c)).\nfof(g, conjecture, p(c)).\n",
    "csat": "% Status : CounterSatisfiable\nfof(a, axiom, p(c)).\nfof(g, conjecture, q(c)).\n",
    "bad": "% Status : Theorem\nfof(a, axiom, p(c).\n",
    # An endless saturation that branches (p(c,c), p(f(c),Y), p(g(c),Y), p(f(f(c)),Y), ...),
    # so no bound on term depth ends it early; p(X,X) and p(f(X),Y) are incomparable in the
    # ordering, so it is endless with and without literal selection.
    "slow": "fof(a, axiom, ![X, Y]: (p(X, X) => p(f(X), Y))).\n"
            "fof(a2, axiom, ![X, Y]: (p(X, X) => p(g(X), Y))).\n"
            "fof(b, axiom, p(c, c)).\nfof(g, conjecture, q).\n",
    "thm2": "% Status : Theorem\nfof(a, axiom, ![X]: (p(X) => q(X))).\nfof(b, axiom, p(c)).\n"
            "fof(g, conjecture, ?[Y]: q(Y)).\n",
}

#: What the prover answers for each of them within a second.
ANSWERS = {"thm": "Theorem", "csat": "CounterSatisfiable", "bad": "SyntaxError", "slow": "Timeout",
           "thm2": "Theorem"}


def write_problems(folder: Path, names=PROBLEMS) -> dict[str, Path]:
    folder.mkdir(parents=True, exist_ok=True)
    paths = {}
    for name in names:
        path = folder / f"{name}.p"
        path.write_text(PROBLEMS[name], encoding="utf-8")
        paths[name] = path
    return paths


def env() -> dict:
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


def kelvara(*args, cwd=None, timeout=120) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "kelvara", *map(str, args)], capture_output=True, text=True,
                          env=env(), cwd=cwd, timeout=timeout, stdin=subprocess.DEVNULL)


def _default_interrupt() -> None:
    # A child that starts with SIGINT ignored (inherited from whatever ran the
    # tests) never installs the interpreter's KeyboardInterrupt handler.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def start_kelvara(*args, cwd=None) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-m", "kelvara", *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env(), cwd=cwd, stdin=subprocess.DEVNULL,
                            preexec_fn=_default_interrupt)
