"""Recycled node memory: nodes built from the memory of freed ones are new
objects in every respect (class, reference counts, collector tracking), the
memory kept back is bounded, and interpreters that end with memory kept back
shut down cleanly."""

from __future__ import annotations

import gc
import sys
import tracemalloc
import weakref

import pytest

from helpers import run_isolated
from kelvara.core import ast as A
from kelvara.core.visitors import SubstitutionTransformer

x, y = A.Variable(1), A.Variable(2)
a = A.Constant("a")
fx = A.FunctionApp("f", 1, (x,))
P = A.PredicateApp("P", 1, (x,))
Q = A.PredicateApp("Q", 1, (fx,))

# Builders per class; classes of one layout share recycled memory.
BUILD = {
    A.Variable: lambda i: A.Variable(i + 10),
    A.Constant: lambda i: A.Constant(f"c{i}"),
    A.FunctionApp: lambda i: A.FunctionApp("g", 2, (x, a)),
    A.PredicateApp: lambda i: A.PredicateApp("R", 2, (fx, a)),
    A.Equality: lambda i: A.Equality(fx, a),
    A.Not: lambda i: A.Not(P),
    A.And: lambda i: A.And(P, Q),
    A.Or: lambda i: A.Or(Q, P),
    A.Implies: lambda i: A.Implies(P, P),
    A.Iff: lambda i: A.Iff(Q, Q),
    A.Forall: lambda i: A.Forall(x, P),
    A.Exists: lambda i: A.Exists(y, Q),
}
TWO_FIELD = [A.And, A.Or, A.Implies, A.Iff, A.Forall, A.Exists]
CHURN = 3000  # more than the memory kept per layout


def churn(cls):
    """Builds and frees CHURN nodes of `cls`, leaving their memory for reuse."""
    build = BUILD[cls]
    nodes = [build(i) for i in range(CHURN)]
    del nodes


@pytest.mark.parametrize(
    "freed, built",
    [(c, c) for c in BUILD] + [(f, b) for f in TWO_FIELD for b in TWO_FIELD if f is not b],
    ids=lambda c: c.__name__,
)
def test_nodes_built_on_freed_memory_are_new_nodes(freed, built):
    fresh = BUILD[built](7)  # built before the churn
    churn(freed)
    got = [BUILD[built](7) for _ in range(50)]
    for node in got:
        assert type(node) is built
        assert node == fresh and hash(node) == hash(fresh) and repr(node) == repr(fresh)
        assert sys.getrefcount(node) == sys.getrefcount(fresh) + 1  # the list holds it too
        assert gc.is_tracked(node) == gc.is_tracked(fresh)
    assert len({id(n) for n in got}) == len(got)


@pytest.mark.parametrize("freed, built", [(A.And, A.Forall), (A.Not, A.Not), (A.Variable, A.Variable)],
                         ids=lambda c: c.__name__)
def test_class_reference_counts_return(freed, built):
    before = sys.getrefcount(freed), sys.getrefcount(built)
    churn(freed)
    churn(built)
    kept = [BUILD[built](i) for i in range(100)]
    assert sys.getrefcount(built) == before[1] + 100
    del kept
    assert (sys.getrefcount(freed), sys.getrefcount(built)) == before


def test_walk_results_reuse_memory_of_every_layout():
    # A substitution copies every compound node over a variable: its results
    # are made by another module than the one that freed the memory.
    f = A.Forall(y, A.And(A.Not(A.Equality(fx, a)), A.Or(P, A.PredicateApp("R", 2, (fx, y)))))
    sub = {x: A.FunctionApp("h", 1, (a,))}
    want = SubstitutionTransformer(sub).visit(f)
    for _ in range(3):
        churn(A.And)
        churn(A.FunctionApp)
        got = [SubstitutionTransformer(sub).visit(f) for _ in range(200)]
        assert all(g == want and hash(g) == hash(want) for g in got)
        assert repr(got[-1]) == repr(want)


def test_memory_kept_back_is_bounded():
    churn(A.Not)
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        nodes = [A.Not(P) for _ in range(50_000)]
        peak = tracemalloc.get_traced_memory()[0] - base
        del nodes
        left = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    assert peak > 2_000_000  # 50,000 nodes of 40 bytes and more were live
    assert left < 150_000, left  # what is kept back does not grow with what was freed


def test_recycled_nodes_with_a_cycle_are_collected():
    class Box:
        pass

    for _ in range(3):
        churn(A.Constant)
        churn(A.Not)
        box = Box()
        odd = A.Constant("c", sort=box)
        top = A.Not(A.PredicateApp("P", 1, (odd,)))
        assert gc.is_tracked(odd) and gc.is_tracked(top)
        assert not gc.is_tracked(A.Not(P))
        box.back = top
        r = weakref.ref(box)
        del box, odd, top
        gc.collect()
        assert r() is None


def test_subclass_instances_keep_their_class_and_attributes():
    class Tagged(A.And):
        pass

    for _ in range(2):
        tagged = [Tagged(P, Q) for _ in range(CHURN)]
        for t in tagged:
            t.extra = 1
        del tagged
        churn(A.And)
        t = Tagged(P, Q)
        assert type(t) is Tagged and not hasattr(t, "extra") and t != A.And(P, Q)
        assert type(A.And(P, Q)) is A.And


def test_interpreter_ends_with_memory_kept_back():
    code = """
        from kelvara.core import ast as A
        from kelvara.core.visitors import SubstitutionTransformer
        x = A.Variable(1)
        P = A.PredicateApp("P", 1, (x,))
        keep = [A.Forall(x, A.And(P, A.Not(P))) for _ in range(5000)]
        del keep[::2]
        sub = SubstitutionTransformer({x: A.Constant("a")})
        out = [sub.visit(A.And(P, P)) for _ in range(3000)]
        print(len(out), len(keep))
    """
    r = run_isolated(code)
    assert r.returncode == 0 and r.stdout.split() == ["3000", "2500"], r.stderr


def test_subinterpreter_pools_end_with_their_interpreter():
    # Interpreters that share the main one's allocator (the only ones these
    # modules load in): each has its own pool, freed when it ends.
    code = """
        try:
            import _xxsubinterpreters as interpreters
            def new():
                try:
                    return interpreters.create(isolated=False)
                except TypeError:
                    return interpreters.create()
        except ImportError:
            import _interpreters as interpreters
            def new():
                return interpreters.create("legacy")
        from kelvara.core import ast as A
        x = A.Variable(1)
        P = A.PredicateApp("P", 1, (x,))
        inner = "\\n".join([
            "from kelvara.core import ast as A",
            "x = A.Variable(1)",
            "P = A.PredicateApp('P', 1, (x,))",
            "for _ in range(3):",
            "    keep = [A.Forall(x, A.And(P, A.Not(P))) for _ in range(3000)]",
            "    del keep",
            "kept = [A.Or(P, P) for _ in range(100)]",
        ])
        for _ in range(3):
            sub = new()
            failed = interpreters.run_string(sub, inner)
            assert failed is None, failed
            interpreters.destroy(sub)
            out = [A.Forall(x, A.And(P, A.Not(P))) for _ in range(3000)]
            assert all(o == out[0] for o in out)
            del out
        print("ok")
    """
    r = run_isolated(code)
    if r.returncode != 0 and "No module named '_interpreters'" in r.stderr:
        pytest.skip("no subinterpreters on this interpreter")
    assert r.returncode == 0 and r.stdout.split() == ["ok"], r.stderr


def test_tracemalloc_sees_where_a_recycled_node_was_built():
    tracemalloc.start(1)
    try:
        churn(A.And)  # freed while traced: the pool holds memory first allocated in churn
        node = A.And(Q, P)  # reuses it
        line = sys._getframe().f_lineno - 1
        tb = tracemalloc.get_object_traceback(node)
    finally:
        tracemalloc.stop()
    assert tb is not None and tb[0].filename == __file__ and tb[0].lineno == line, tb
