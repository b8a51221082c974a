"""Visitor dispatch under hostile callers, and proof that the whole walks run.

The hostile cases run Python code in the middle of a dispatch lookup: a key of
the dispatch table whose hash collides with a node class and whose __eq__
does something (visits with many other classes, deletes the inherited
handler, replaces the table).  Each runs in a child process, as a fault there
may crash the interpreter.  The counter tests read the module's private count
of visits answered by a whole walk, so that the differential tests elsewhere
cannot silently compare the per-node path with itself.
"""

from __future__ import annotations

import sys
import textwrap

import pytest

from helpers import run_isolated

from kelvara.core import visitors as V
from kelvara.core.ast import And, Constant, Exists, Forall, FunctionApp, Not, PredicateApp, Variable
from kelvara.sol.ast_ext import ForallPred, PredicateVariable

x, y, z = Variable(1), Variable(2), Variable(5)
c, d = Constant("c"), Constant("d")


def P(*args):
    return PredicateApp("P", len(args), args)


FORMULA = Forall(x, And(P(x, y), Not(Exists(z, P(FunctionApp("f", 1, (z,)), y)))))

# ---------------------------------------------------------------- whole walks run

WALKERS = {
    "depth": lambda: V.DepthVisitor(),
    "size": lambda: V.SizeVisitor(),
    "free": lambda: V.FreeVariableCollector(),
    "infix": lambda: V.ExportVisitor("infix"),
    "prefix": lambda: V.ExportVisitor("prefix"),
    "latex": lambda: V.ExportVisitor("latex"),
    "subst": lambda: V.SubstitutionTransformer({y: c}),
    "subst-capture": lambda: V.SubstitutionTransformer({y: FunctionApp("g", 1, (z,))}),
    "transformer": lambda: V.ASTTransformer(),
}


def per_node(visitor):
    visitor._per_node = True  # an instance attribute starting with '_' sends it down the per-node path
    return visitor


@pytest.mark.parametrize("kind", sorted(WALKERS))
def test_whole_walk_runs_and_agrees(kind):
    before = V._whole_walks()
    fast = WALKERS[kind]().visit(FORMULA)
    assert V._whole_walks() == before + 1, "the visit did not run as a whole walk"
    slow = per_node(WALKERS[kind]()).visit(FORMULA)
    assert V._whole_walks() == before + 1, "a per-node visit was counted"
    assert fast == slow and type(fast) is type(slow)


@pytest.mark.parametrize("kind", ["depth", "free", "infix", "subst", "transformer"])
def test_subclass_overriding_nothing_still_walks_whole(kind):
    base = type(WALKERS[kind]())
    sub = type("Sub", (base,), {})
    obj = WALKERS[kind]()
    obj.__class__ = sub
    before = V._whole_walks()
    obj.visit(FORMULA)
    assert V._whole_walks() == before + 1


@pytest.mark.parametrize("kind, handler", [("subst", lambda self, node: d), ("depth", lambda self, node: 7),
                                           ("infix", lambda self, node: "K")], ids=["subst", "depth", "infix"])
def test_a_class_changed_over_a_thousand_times_keeps_answering_exactly(kind, handler):
    # A class draws a new version tag at the first lookup after each change;
    # 3.13 gives a class at most a thousand, and afterwards nothing may be
    # cached by version for it: every walk must still see every change.
    sub = type("Sub", (type(WALKERS[kind]()),), {})
    obj = WALKERS[kind]()
    obj.__class__ = sub
    f = FORMULA.body
    want = per_node(WALKERS[kind]()).visit(f)
    for i in range(1100):
        sub.tag = i
        if i % 100 == 0 or i > 990:
            assert obj.visit(f) == want
        else:
            obj.visit(y)
    sub.visit_variable = handler
    changed = obj.visit(f)
    reference = per_node(WALKERS[kind]())
    reference.__class__ = sub
    assert changed != want and changed == reference.visit(f)
    del sub.visit_variable
    assert obj.visit(f) == want


def test_walks_stay_whole_after_the_mapping_changes_between_walks():
    mapping = {y: c}
    t = V.SubstitutionTransformer(mapping)
    t.mapping[y] = c  # the mapping the transformer uses
    before = V._whole_walks()
    first = t.visit(P(y))
    t.mapping[y] = d
    second = t.visit(P(y))
    assert (first, second) == (P(c), P(d))
    assert V._whole_walks() == before + 2


def test_walks_stay_whole_after_the_table_changes_between_walks():
    class Sub(V.DepthVisitor):
        pass

    v = Sub()
    expected, of_constant = V.DepthVisitor().visit(FORMULA), V.DepthVisitor().visit(c)
    before = V._whole_walks()
    assert v.visit(FORMULA) == expected
    Sub._dispatch_table[Variable] = "visit_variable"  # a change that keeps every row standard
    assert v.visit(FORMULA) == expected
    assert V._whole_walks() == before + 2
    Sub._dispatch_table[Variable] = "visit_constant"  # no longer standard: per-node from now on
    assert v.visit(x) == of_constant
    assert V._whole_walks() == before + 2


def test_a_handler_changed_between_walks_is_used():
    class Sub(V.SizeVisitor):
        pass

    v = Sub()
    assert v.visit(And(P(x), P(x))) == 5
    Sub.visit_variable = lambda self, node: 10
    before = V._whole_walks()
    assert v.visit(And(P(x), P(x))) == 23
    assert V._whole_walks() == before
    del Sub.visit_variable
    assert v.visit(And(P(x), P(x))) == 5
    assert V._whole_walks() == before + 1


# ---------------------------------------------------------------- hostile lookups

PRELUDE = """
import gc, sys
from kelvara.core import visitors as V
from kelvara.core.ast import And, Constant, FunctionApp, Not, PredicateApp, Variable
x = Variable(1)
atom = PredicateApp("P", 1, (x,))

class Hook:
    '''A table key colliding with a node class; its __eq__ runs `effect` once.'''
    def __init__(self, cls, effect):
        self.cls, self.effect, self.fired, self.armed = cls, effect, False, False
    def __hash__(self):
        return hash(self.cls)
    def __eq__(self, other):
        if self.armed and not self.fired:
            self.fired = True
            self.effect()
        return False

def hooked_table(cls, base, node_cls, effect):
    hook = Hook(node_cls, effect)
    table = {hook: "visit_constant"}   # first in, so lookups of node_cls meet it first
    table.update(base._dispatch_table)   # compares keys with the hook: not armed yet
    cls._dispatch_table = table
    hook.armed = True
    return hook
"""


def run(body):
    res = run_isolated(PRELUDE + body, timeout=120)
    assert res.returncode == 0, res.stderr[-3000:]
    assert res.stdout.strip().endswith("ok"), res.stdout[-2000:]


@pytest.mark.parametrize("node", ["x", "atom", "And(atom, Not(atom))"])
@pytest.mark.parametrize("node_cls", ["Variable", "PredicateApp"])
def test_cache_churn_during_a_lookup_never_gives_another_class_s_handler(node, node_cls):
    # Visiting with many other classes from inside the lookup refills every
    # slot of the per-class cache; the visitor must still get its own handlers.
    # D overrides a handler these nodes never reach, so every node goes
    # through the per-node lookup.
    run(f"""
others = [type("FV%d" % i, (V.FreeVariableCollector,), {{}}) for i in range(64)]
others += [type("EX%d" % i, (V.ExportVisitor,), {{}}) for i in range(32)]
def churn():
    for cls in others:
        cls().visit(And(atom, atom)) if cls.__name__.startswith("FV") else cls("prefix").visit(atom)
class D(V.DepthVisitor):
    def visit_exists_func(self, node):
        return -1
node = {node}
expected = V.DepthVisitor().visit(node)
hook = hooked_table(D, V.DepthVisitor, {node_cls}, churn)
for _ in range(3):
    got = D().visit(node)
    assert type(got) is int and got == expected, (got, expected)
assert hook.fired
print("ok")
""")


@pytest.mark.parametrize("kind", ["DepthVisitor", "SizeVisitor"])
def test_deleting_the_inherited_handler_during_the_lookup(kind):
    # getattr after the table lookup no longer finds the handler in the class
    # that defined it; ASTVisitor's abstract one (returning None) is next.
    run(f"""
class D(V.{kind}):
    pass
def delete():
    del V.{kind}.visit_predicate_app
    gc.collect()
hook = hooked_table(D, V.{kind}, PredicateApp, delete)
got = D().visit(atom)
assert hook.fired
assert got is None, got
assert "visit_predicate_app" not in V.{kind}.__dict__
print("ok")
""")


@pytest.mark.parametrize("kind", ["DepthVisitor", "FreeVariableCollector", "ExportVisitor"])
def test_replacing_the_table_during_the_lookup(kind):
    # The lookup under way finishes on the table it started with (which the
    # replacement frees unless the lookup holds it), as the dict.get of the
    # Python model does; the replacement rules afterwards.
    run(f"""
class D(V.{kind}):
    pass
make = (lambda: D("prefix")) if "{kind}" == "ExportVisitor" else D
plain = (lambda: V.{kind}("prefix")) if "{kind}" == "ExportVisitor" else V.{kind}
fresh = dict(V.{kind}._dispatch_table)
def replace():
    D._dispatch_table = fresh
    gc.collect()
node = And(atom, Not(atom))
hook = hooked_table(D, V.{kind}, PredicateApp, replace)
first = make().visit(node)
assert hook.fired and D._dispatch_table is fresh
assert first == plain().visit(node), first
del fresh[Variable]
try:
    make().visit(x)
except TypeError as e:
    assert str(e) == "Unsupported AST node type: Variable", e
else:
    raise SystemExit("the replacement is not used")
print("ok")
""")


def test_table_lookup_that_raises_propagates_unchanged():
    run("""
class D(V.SizeVisitor):
    pass
def boom():
    raise KeyError("from the table")
hooked_table(D, V.SizeVisitor, PredicateApp, boom)
try:
    D().visit(And(atom, atom))
except KeyError as e:
    assert e.args == ("from the table",), e.args
else:
    raise SystemExit("no error")
assert D().visit(And(atom, atom)) == 5
print("ok")
""")


@pytest.mark.skipif(sys.version_info < (3, 12), reason="collections run at allocation before 3.12")
def test_finalisers_run_during_a_long_native_walk():
    # From 3.12 on a collection asked for by an allocation waits for a safe
    # point; each visit level offers one, so garbage is not held back until
    # the walk ends.
    run("""
fired = []
class T:
    def __init__(self):
        self.me = self
    def __del__(self):
        fired.append(sys._getframe(1).f_code.co_name)  # the Python frame running at that moment
f = atom
for i in range(50):
    f = And(f, PredicateApp("Q", 1, (x,)))
t = V.SubstitutionTransformer({x: Constant("c")})
def walk():
    return t.visit(f)
gc.collect()
T()
old = gc.get_threshold()
gc.set_threshold(1)
try:
    walk()
finally:
    gc.set_threshold(*old)
gc.collect()
assert fired == ["walk"], fired
print("ok")
""")


# ---------------------------------------------------------------- result checks


class Text(str):
    pass


class Tagged(set):
    pass


def test_set_subclass_results_are_sets():
    class Sub(V.FreeVariableCollector):
        def visit_predicate_app(self, node):
            return Tagged(super().visit_predicate_app(node))

    passed_on = Sub().visit(Not(P(x)))
    assert type(passed_on) is Tagged and passed_on == {x}
    assert Sub().visit(Forall(y, P(x, y))) == {x}
    assert Sub().visit(And(P(x), P(y))) == {x, y}
    assert type(Sub().visit(ForallPred(PredicateVariable(0, 1), P(z)))) is Tagged


@pytest.mark.parametrize("notation", ["infix", "prefix", "latex"])
def test_text_subclass_names_are_text(notation):
    name = Text("k")
    e = V.ExportVisitor(notation)
    assert e.visit(Constant(name)) is name
    pred = Text("Q")
    assert e.visit(PredicateApp(pred, 0, ())) == "Q"
    plain = V.ExportVisitor(notation).visit(And(PredicateApp("Q", 0, ()), P(Constant("k"))))
    assert e.visit(And(PredicateApp(pred, 0, ()), P(Constant(name)))) == plain
    assert V.ExportVisitor(notation).visit(P(Constant(name), FunctionApp(Text("f"), 1, (x,)))) == \
        V.ExportVisitor(notation).visit(P(Constant("k"), FunctionApp("f", 1, (x,))))


# ---------------------------------------------------------------- names the substitution walk relies on


class LoggedForall(Forall):
    pass


class CountingCollector(V.FreeVariableCollector):
    calls = 0

    def __init__(self):
        CountingCollector.calls += 1


def _counting_init(self, mapping):
    _counting_init.calls += 1
    self.mapping = mapping


_counting_init.calls = 0


def _rebind(monkeypatch, change):
    """Makes one change the substitution walk must notice; returns a check of its effect."""
    if change == "Forall":
        monkeypatch.setattr(V, "Forall", LoggedForall)
        return lambda out: type(out) is LoggedForall and out.variable == Variable(3) and type(out.body) is PredicateApp
    if change == "Variable":
        made = []
        monkeypatch.setattr(V, "Variable", lambda *a, **k: made.append(1) or Variable(*a, **k))
        return lambda out: made != []
    if change == "FreeVariableCollector":
        CountingCollector.calls = 0
        monkeypatch.setattr(V, "FreeVariableCollector", CountingCollector)
        return lambda out: CountingCollector.calls > 0
    if change == "collector-init":
        CountingCollector.calls = 0
        monkeypatch.setattr(V.FreeVariableCollector, "__init__", CountingCollector.__init__, raising=False)
        return lambda out: CountingCollector.calls > 0
    if change == "transformer-init":
        _counting_init.calls = 0
        monkeypatch.setattr(V.SubstitutionTransformer, "__init__", _counting_init)
        return lambda out: _counting_init.calls > 1  # the caller's own, then the quantifier step's
    raise AssertionError(change)


@pytest.mark.parametrize("change", ["Forall", "Variable", "FreeVariableCollector", "collector-init",
                                    "transformer-init"])
def test_substitution_walk_notices_names_changed_after_a_whole_walk(monkeypatch, change):
    node = Forall(x, P(x, y))  # the replacement holds x: the binder is renamed
    mapping = {y: FunctionApp("g", 1, (x,))}
    expected = V.SubstitutionTransformer(mapping).visit(node)
    before = V._whole_walks()
    assert V.SubstitutionTransformer(mapping).visit(node) == expected
    assert V._whole_walks() == before + 1, "the first visit did not run as a whole walk"
    took_effect = _rebind(monkeypatch, change)
    out = V.SubstitutionTransformer(mapping).visit(node)
    assert V._whole_walks() == before + 1, "a whole walk ran past a changed name"
    assert took_effect(out)
    assert change == "Forall" or out == expected
    monkeypatch.undo()
    assert V.SubstitutionTransformer(mapping).visit(node) == expected
    assert V._whole_walks() == before + 2, "the walk stayed off once the names were restored"


# ---------------------------------------------------------------- trees the substitution walk must not take whole


class OddSort:
    """A sort-like object that is not one of the interned sorts."""

    def __repr__(self):
        return "OddSort"


DEEP_PIECES = {
    "frozenset-args": lambda: FunctionApp("g", 2, frozenset({x, c})),
    "odd-sort": lambda: FunctionApp("f", 1, (Variable(4, sort=OddSort()),)),
    "bool-id": lambda: FunctionApp("f", 1, (Variable(True),)),
}


@pytest.mark.parametrize("piece", sorted(DEEP_PIECES))
@pytest.mark.parametrize("mapping", [{y: c}, {y: FunctionApp("g", 1, (x,))}], ids=["plain", "capture"])
def test_substitution_refuses_a_whole_walk_over_an_odd_piece_deep_inside(piece, mapping):
    node = Forall(x, And(P(x, y), Not(Exists(z, P(DEEP_PIECES[piece](), y)))))
    before = V._whole_walks()
    out = V.SubstitutionTransformer(mapping).visit(node)
    assert V._whole_walks() == before, "a whole walk ran over a tree it must leave to dispatch"
    assert out == per_node(V.SubstitutionTransformer(mapping)).visit(node)
    # The same tree without the odd piece is taken whole.
    plain = Forall(x, And(P(x, y), Not(Exists(z, P(FunctionApp("f", 1, (z,)), y)))))
    assert V.SubstitutionTransformer(mapping).visit(plain) == per_node(V.SubstitutionTransformer(mapping)).visit(plain)
    assert V._whole_walks() == before + 1


def test_substitution_leaves_trees_to_dispatch_once_their_sorts_compare_by_value():
    # A sort class whose == runs Python code: the variables of that sort in a
    # tree are no longer plain, although the tree was built before the change
    # (the mapping's own variables keep the default sort).
    body = """
    from kelvara.core.sorts import Ind, ParameterizedSort
    from kelvara.core.ast import Exists, Forall
    y = Variable(2)
    w = Variable(7, sort=ParameterizedSort("list", (Ind,)))
    node = Forall(x, And(PredicateApp("P", 2, (x, y)), Not(Exists(w, PredicateApp("Q", 1, (w,))))))
    mapping = {y: FunctionApp("g", 1, (x,))}
    first = V.SubstitutionTransformer(mapping).visit(node)
    walks = V._whole_walks()
    assert walks > 0, "the first visit did not run as a whole walk"
    calls = []
    def eq(self, other):
        calls.append(1)
        return self is other
    ParameterizedSort.__eq__ = eq
    ParameterizedSort.__hash__ = object.__hash__
    second = V.SubstitutionTransformer(mapping).visit(node)
    assert V._whole_walks() == walks, "a whole walk ran over variables that compare by value"
    assert second == first
    print("ok")
    """
    res = run_isolated(PRELUDE + textwrap.dedent(body), timeout=120)
    assert res.returncode == 0 and res.stdout.strip() == "ok", res.stderr
