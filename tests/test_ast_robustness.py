"""Deep trees, junk input and reference leaks: nothing may crash the interpreter.

Crash-prone cases run in a child interpreter, so a crash is a failing test.
"""

from __future__ import annotations

import gc
import sys
import tracemalloc

import pytest

from kelvara.core.ast import And, Constant, Forall, FunctionApp, Not, PredicateApp, Variable, free_variables

from helpers import run_isolated


def test_million_deep_trees_build_hash_compare_and_free():
    r = run_isolated(
        """
        from kelvara.core.ast import *
        p = PredicateApp("P", 0, ())
        n = m = p
        for _ in range(1_000_000):
            n = Not(n)
            m = Not(m)
        assert hash(n) == hash(m) and n == m and n is not m
        t = u = Variable(0)
        for _ in range(1_000_000):
            t = FunctionApp("f", 1, (t,))
            u = FunctionApp("f", 1, (u,))
        assert t == u and t._free_vars == {Variable(0)}
        assert Not(n) != Not(Not(m))
        for op in (repr, formula_size, canonicalize_bound_variables):
            try:
                op(PredicateApp("P", 1, (t,)))
            except RecursionError:
                pass
            else:
                raise AssertionError(op)
        assert formula_depth(n) == 1_000_001
        del n, m, t, u
        print("ok")
        """
    )
    assert r.returncode == 0, r.stderr[-2000:]
    assert r.stdout.strip() == "ok"


def test_junk_never_crashes():
    r = run_isolated(
        """
        import itertools
        from kelvara.core.ast import *
        from kelvara.core.ast import __dict__ as _ns

        class S(str):
            pass

        class BadHash:
            def __hash__(self): raise ValueError("no hash")

        class BadEq:
            def __eq__(self, o): raise ValueError("no eq")
            __hash__ = object.__hash__

        class BadLen(tuple):
            def __len__(self): raise ValueError("no len")

        junk = [None, [], [1], (), (None,), S("f"), S(""), 10**100, -10**100, 1.5, float("nan"), "",
                "x", b"x", BadHash(), BadEq(), BadLen((1,)), object(), Variable(0), And, frozenset({3})]
        classes = [Variable, Constant, FunctionApp, PredicateApp, Equality, Not, And, Or, Implies, Iff,
                   Forall, Exists]
        funcs = [free_variables, bound_variables, formula_depth, formula_size, canonicalize_bound_variables]
        count = 0
        for cls in classes:
            for n in range(4):
                for args in itertools.product(junk, repeat=n):
                    if n > 2 and count % 7:
                        count += 1
                        continue
                    count += 1
                    try:
                        node = cls(*args)
                    except Exception:
                        continue
                    for op in [hash, repr, str] + funcs:
                        try:
                            op(node)
                        except Exception:
                            pass
                    try:
                        node == cls(*args)
                    except Exception:
                        pass
        for fn in funcs:
            for j in junk:
                try:
                    fn(j)
                except Exception:
                    pass
        print("ok", count)
        """,
        timeout=300,
    )
    assert r.returncode == 0, r.stderr[-2000:]
    assert r.stdout.startswith("ok")


def test_memory_stays_flat():
    x, c = Variable(0), Constant("c")

    def work():
        seen = set()
        for i in range(2000):
            f = FunctionApp("f", 2, (Variable(i % 7), c))
            p = PredicateApp("P", 2, (x, f))
            g = Forall(x, And(p, Not(p)))
            seen.add(g)
            assert g == Forall(x, And(p, Not(p)))
            free_variables(g)
            try:
                FunctionApp("f", 3, (x,))
            except Exception:
                pass
        return len(seen)

    work()
    gc.collect()
    tracemalloc.start()
    work()
    gc.collect()
    first = tracemalloc.get_traced_memory()[0]
    for _ in range(5):
        work()
    gc.collect()
    last = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert last - first < 50_000, (first, last)


@pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="needs reference counts")
def test_refcounts_across_errors_and_queries():
    x = Variable(0)
    p = PredicateApp("P", 1, (x,))
    before = sys.getrefcount(x), sys.getrefcount(p)
    for _ in range(100):
        free_variables(Forall(x, And(p, p)))
        try:
            FunctionApp("f", 2, (x,))
        except Exception:
            pass
        try:
            free_variables(And(p, object()))
        except Exception:
            pass
    assert (sys.getrefcount(x), sys.getrefcount(p)) == before
