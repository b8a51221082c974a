"""What a walk sees of its visitor's instance __dict__ when Python code runs
mid-walk, and where a walk lets finalisers and Ctrl-C in: a whole walk in C++
must agree with the per-node path of the same class, and taking over the
instance dict for change tracking must leave nothing a caller can observe.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from test_visitors_fast_paths import ATOMS, K, chain, cut_over, finaliser_test, slow, unchain, walk_with_finaliser

from kelvara.core import visitors as V
from kelvara.core.ast import And, Constant, Not, PredicateApp, Variable

x, y, z = Variable(1), Variable(2), Variable(5)
c = Constant("c")


def P(*args):
    return PredicateApp("P", len(args), args)


@pytest.mark.parametrize("per_node", [False, True], ids=["whole-walk", "per-node"])
@pytest.mark.parametrize("how", ["new-dict", "same-items-new-dict", "dict-update"])
@finaliser_test
def test_substitution_sees_a_replaced_instance_dict(per_node, how):
    t = V.SubstitutionTransformer({y: c})
    if per_node:
        slow(t)

    def effect():
        if how == "new-dict":
            t.__dict__ = {**vars(t), "mapping": {y: K}}
        elif how == "same-items-new-dict":
            # The same items in another dict, then the mapping changed in it.
            new = dict(vars(t))
            t.__dict__ = new
            new["mapping"] = {y: K}
        else:
            vars(t).update(mapping={y: K})

    out = walk_with_finaliser(t, chain([P(v) for v in ATOMS]), effect)
    got = [a.args[0] for a in unchain(out, len(ATOMS))]
    cut_over(got, [c if v == y else v for v in ATOMS], [K if v == y else v for v in ATOMS])


class Named(str):
    """A name whose str() allocates: Python code runs while exporting it."""

    def __str__(self):
        return "Q" + "".join([[]] and [])


@finaliser_test
def export_with_replaced_dict(per_node):
    e = V.ExportVisitor("infix")
    if per_node:
        slow(e)
    f = And(PredicateApp(Named("Q"), 0, ()), Not(P(x)))
    return walk_with_finaliser(e, f, lambda: setattr(e, "__dict__", {**vars(e), "notation": "prefix"}))


def test_export_sees_a_replaced_instance_dict():
    whole, per_node = export_with_replaced_dict(False), export_with_replaced_dict(True)
    f = And(PredicateApp("Q", 0, ()), Not(P(x)))
    assert whole == per_node
    assert whole != V.ExportVisitor("infix").visit(f), "the new notation was not seen"


def test_instance_dict_stays_the_callers_own_after_whole_walks():
    mapping = {y: c}
    t = V.SubstitutionTransformer(mapping)
    d = vars(t)
    before = V._whole_walks()
    assert t.visit(And(P(y), P(z))) == And(P(c), P(z))
    assert V._whole_walks() == before + 1, "the visit did not run as a whole walk"
    # The very same dict, holding the very same objects, and still the
    # attributes' storage in both directions.
    assert vars(t) is d and t.__dict__ is d and d == {"mapping": mapping} and d["mapping"] is mapping
    t.mapping = {y: K}
    assert d["mapping"] == {y: K}
    d["mapping"] = {y: x}
    assert t.mapping == {y: x}
    t.extra = 1
    assert d["extra"] == 1 and vars(t) is d
    del t.extra
    assert "extra" not in d
    # Changes made between walks are seen by the next whole walk.
    t.mapping = {y: K}
    assert t.visit(P(y)) == P(K)
    d["mapping"] = {z: c}
    assert t.visit(And(P(y), P(z))) == And(P(y), P(c))


def test_many_instances_after_whole_walks_keep_their_attributes():
    ts = [V.SubstitutionTransformer({y: Constant(f"c{i}")}) for i in range(50)]
    for i, t in enumerate(ts):
        assert t.visit(P(y)) == P(Constant(f"c{i}"))
        t.tag = i
    assert [t.tag for t in ts] == list(range(50))
    assert [sorted(vars(t)) for t in ts] == [["mapping", "tag"]] * 50


@pytest.mark.skipif(sys.version_info < (3, 12), reason="collections run at allocation before 3.12")
def test_finaliser_asked_for_by_a_python_handler_runs_during_a_per_node_walk():
    code = """
import gc
from kelvara.core import visitors as V
from kelvara.core.ast import And, Constant, PredicateApp

fired, state = [], ["before"]
class T:
    def __init__(self):
        self.me = self
    def __del__(self):
        fired.append(state[0])

class S(V.SizeVisitor):
    def visit_constant(self, node):
        [[]]  # garbage the collector tracks
        return 1

f = PredicateApp("P", 1, (Constant("c"),))
for _ in range(200):
    f = And(f, PredicateApp("Q", 0, ()))
s = S()
gc.collect()
T()
old = gc.get_threshold()
gc.set_threshold(1)
try:
    state[0] = "during"
    n = s.visit(f)
    state[0] = "after"
finally:
    gc.set_threshold(*old)
gc.collect()
assert n == 402, n
assert fired == ["during"], fired
print("ok")
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    res = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120,
                         env=env)
    assert res.returncode == 0 and res.stdout.strip() == "ok", res.stderr[-2000:]


@pytest.mark.skipif(sys.version_info < (3, 12), reason="signals reach native code only at safe points from 3.12 on")
@pytest.mark.skipif(sys.platform == "win32", reason="sends SIGINT")
@pytest.mark.parametrize("visitor", ["SizeVisitor", "DepthVisitor", "FreeVariableCollector"])
def test_ctrl_c_stops_a_long_per_node_walk_that_allocates_nothing_of_its_own(visitor):
    # A tree of 2**24 leaves built from 25 shared nodes: the per-node walk visits
    # every position, which takes seconds.  The handler notes when it ran on
    # the clock both processes share: within a few levels of the signal, not
    # when the walk returns (the interpreter would raise it there anyway).
    code = f"""
import signal, time
from kelvara.core import visitors as V
from kelvara.core.ast import And, PredicateApp, Variable

def handler(signum, frame):
    print("handled", time.monotonic(), flush=True)
    raise KeyboardInterrupt
signal.signal(signal.SIGINT, handler)
f = PredicateApp("P", 1, (Variable(0),))
for _ in range(24):
    f = And(f, f)
v = V.{visitor}()
v._per_node = True
print("start", flush=True)
try:
    v.visit(f)
except KeyboardInterrupt:
    pass
print("returned", time.monotonic(), flush=True)
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert child.stdout.readline().strip() == "start"
        time.sleep(0.3)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=600)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    lines = dict(line.split() for line in out.split("\n") if line.strip())
    assert "handled" in lines, (out, err[-2000:])
    # The whole walk takes 8 s or more (the rest of it, unanswered, at least
    # 7.5 s); a safe point every few levels answers in microseconds.  A busy
    # machine may delay the child, hence the margin.
    assert float(lines["handled"]) - sent < 3.0, (out, sent)


@pytest.mark.parametrize("per_node", [False, True], ids=["whole-walk", "per-node"])
def test_a_class_whose_dict_is_a_property_walks_without_calling_it(per_node):
    calls = []

    class Odd(V.SubstitutionTransformer):
        @property
        def __dict__(self):
            calls.append(1)
            return {"mapping": {y: K}}

    t = Odd({y: c})
    if per_node:
        object.__setattr__(t, "_per_node", True)
    f = And(P(y), Not(P(x)))
    assert t.visit(f) == And(P(c), Not(P(x)))
    t.mapping = {x: K}
    assert t.visit(f) == And(P(y), Not(P(K)))
    assert calls == []
