"""Hostile conditions: every allocation of the interpreter may fail.

For each native operation, a child process makes the N-th allocation fail
for every N up to the point where the operation no longer allocates that
often, and calls the operation each time.  Every failure must come out as
MemoryError: no crash, no other exception (a SystemError is the sign of an
error path that dropped or kept an error), and the operation must still give
its ordinary result afterwards.  Under the sanitizer build the same sweep
finds references freed or leaked on those error paths.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("_testcapi")
pytest.importorskip("kelvara.prover._engine")

TESTS = Path(__file__).resolve().parent

CHILD = textwrap.dedent("""
    import gc, sys, _testcapi
    sys.path.insert(0, sys.argv[2])
    from engine_replay import c, clause, f, p, v
    from kelvara.core.ast import Exists, Forall, PredicateApp, Variable, canonicalize_bound_variables
    from kelvara.prover import _engine, rules
    from kelvara.prover._tptp import Reader

    text = ("fof(a, axiom, ![X]: (p(X) => q(f(X)))).\\n"
            "cnf(b, axiom, p(a) | ~q(b)).\\n"
            "include('x.ax', [a, b]).\\n")
    cls = [clause(p("p", c("a"))),
           clause(p("p", v(0), positive=False), p("q", f("g", v(0)))),
           clause(p("q", f("g", c("a")), positive=False))]
    x, y = Variable(3), Variable(4)
    ops = {
        "read": lambda: Reader().read(text, "x.p"),
        "saturate": lambda: _engine.saturate(cls, {"time_limit": 30.0}).status,
        "resolve": lambda: rules.resolve_clauses(cls[1], cls[2]),
        "factor": lambda: rules.factor_clause(clause(p("p", v(0)), p("p", v(1)), p("q", v(1)))),
        "paramodulate": lambda: rules.paramodulate(cls[1], cls[2]),
        "canonicalize": lambda: canonicalize_bound_variables(Forall(x, Exists(y, PredicateApp("P", 2, (x, y))))),
    }
    op = ops[sys.argv[1]]
    expected = op()
    failures = successes = 0
    for start in range(int(sys.argv[3])):
        gc.collect()
        _testcapi.set_nomemory(start, 0)
        try:
            got = op()
        except MemoryError:
            failures += 1
            continue
        except BaseException as e:
            _testcapi.remove_mem_hooks()
            print(f"allocation {start}: {type(e).__name__}: {e}")
            sys.exit(3)
        finally:
            _testcapi.remove_mem_hooks()
        if got != expected:
            print(f"allocation {start}: {got!r} instead of {expected!r}")
            sys.exit(4)
        successes += 1
    assert op() == expected
    print(failures, successes)
""")


@pytest.mark.parametrize("op, sweep", [
    ("read", 300),
    ("saturate", 400),
    ("resolve", 200),
    ("factor", 200),
    ("paramodulate", 200),
    ("canonicalize", 200),
])
def test_every_failed_allocation_is_a_memory_error(op, sweep):
    run = subprocess.run([sys.executable, "-c", CHILD, op, str(TESTS), str(sweep)],
                         capture_output=True, text=True, env=dict(os.environ), timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    # The sweep reached failures inside the operation, and got past its last allocation.
    failures, successes = map(int, run.stdout.split()[-2:])
    assert failures > 0 and successes > 0
