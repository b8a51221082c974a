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


# ---------------------------------------------------------------- node trees

CHILD_FIELDS = ("left", "right", "operand", "variable", "body")


def rebuild(n):
    """An equal tree built bottom-up through the constructors."""
    from kelvara.core.ast import Constant, Variable

    if isinstance(n, tuple):
        return tuple(rebuild(x) for x in n)
    if isinstance(n, Variable):
        return type(n)(n.id, n.kind, sort=n.sort)
    if isinstance(n, Constant):
        return type(n)(n.name, sort=n.sort)
    if hasattr(n, "__match_args__"):
        return type(n)(*[rebuild(getattr(n, a)) for a in n.__match_args__])
    return n


def nodes(n):
    """The nodes of a tree in pre-order, arguments included."""
    yield n
    for name in CHILD_FIELDS:
        if hasattr(n, name):
            yield from nodes(getattr(n, name))
    for a in getattr(n, "args", ()):
        yield from nodes(a)


def assert_like_constructed(result):
    """Every node of `result` has the hash, free variables and cycle-collector
    tracking of the same node built afresh through the constructors."""
    import gc

    from kelvara.core.ast import Variable

    fresh = rebuild(result)
    assert fresh == result
    for got, want in zip(nodes(result), nodes(fresh), strict=True):
        assert type(got) is type(want)
        assert hash(got) == hash(want), got
        if hasattr(want, "_free_vars"):
            assert got._free_vars == want._free_vars, got
        if not isinstance(want, Variable):
            assert gc.is_tracked(got) == gc.is_tracked(want), got


# ---------------------------------------------------------------- collections at allocations

def hold_node_memory(per_layout=1500):
    """Nodes using up the memory that freed nodes leave for reuse: nodes built
    while the result is held come from the allocator, and so each may start a
    collection (and run finalisers) when the threshold allows.  Nodes built on
    reused memory never start one."""
    from kelvara.core import ast as A

    v = A.Variable(0)
    p = A.PredicateApp("P", 1, (v,))
    makers = (lambda i: A.Variable(i), lambda i: A.Constant("c"), lambda i: A.FunctionApp("f", 1, (v,)),
              lambda i: A.PredicateApp("P", 1, (v,)), lambda i: A.Equality(v, v), lambda i: A.Not(p),
              lambda i: A.And(p, p))
    return [make(i) for make in makers for i in range(per_layout)]
