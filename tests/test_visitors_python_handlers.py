"""Handlers written in Python on a subclass of a built-in visitor.

Dispatch calls a plain function found on the class as function(visitor, node)
instead of binding it first; these tests pin down that the outcome is the one
of binding and calling: other kinds of class attribute keep their own binding,
an instance attribute still wins, a change to the class seen mid-walk is used
from the next node on, and a handler that removes itself while it runs stays
alive until it returns.
"""

from __future__ import annotations

import pytest

from helpers import run_isolated

from kelvara.core import visitors as V
from kelvara.core.ast import And, Constant, Not, PredicateApp, Variable

x = Variable(1)
c, d = Constant("c"), Constant("d")


def P(*args):
    return PredicateApp("P", len(args), args)


FORMULA = And(P(c, x), Not(P(d)))  # 7 nodes, two constants


class Counting:
    """A callable with no __get__: found on the class, it is called with the node only."""

    def __call__(self, node):
        return 10


@pytest.mark.parametrize(
    "attribute,expected",
    [
        (lambda self, node: 10 if isinstance(self, V.SizeVisitor) else -1, 25),
        (staticmethod(lambda node: 10 if node in (c, d) else -1), 25),
        (classmethod(lambda cls, node: 10 if issubclass(cls, V.SizeVisitor) else -1), 25),
        (Counting(), 25),
    ],
    ids=["function", "staticmethod", "classmethod", "callable-object"],
)
@pytest.mark.parametrize("per_node", [False, True], ids=["cached", "per-node"])
def test_each_kind_of_class_attribute_is_bound_as_attribute_lookup_binds_it(attribute, expected, per_node):
    Sub = type("Sub", (V.SizeVisitor,), {"visit_constant": attribute})
    v = Sub()
    if per_node:
        v._per_node = True
    assert v.visit(FORMULA) == expected


def test_the_handler_receives_the_visitor_and_the_node():
    seen = []

    class Sub(V.SizeVisitor):
        def visit_constant(self, node):
            seen.append((self, node))
            return 1

    v = Sub()
    assert v.visit(FORMULA) == 7
    assert seen == [(v, c), (v, d)]
    assert all(s is v for s, _ in seen) and seen[0][1] is c and seen[1][1] is d


def test_an_instance_attribute_shadows_the_class_function():
    class Sub(V.SizeVisitor):
        def visit_constant(self, node):
            return 2

    v = Sub()
    assert v.visit(FORMULA) == 9
    v.visit_constant = lambda node: 100
    assert v.visit(FORMULA) == 205
    del v.visit_constant
    assert v.visit(FORMULA) == 9


def test_a_handler_replaced_during_the_walk_is_used_from_the_next_node_on():
    class Sub(V.SizeVisitor):
        def visit_constant(self, node):
            Sub.visit_constant = lambda self, node: 50
            return 3

    assert Sub().visit(FORMULA) == 5 + 3 + 50
    assert Sub().visit(FORMULA) == 5 + 50 + 50


def test_errors_from_the_handler_propagate_unchanged():
    class Boom(Exception):
        pass

    class Sub(V.SizeVisitor):
        def visit_constant(self, node):
            raise Boom(node)

    with pytest.raises(Boom) as info:
        Sub().visit(FORMULA)
    assert info.value.args == (c,)


def test_wrong_argument_count_raises_as_a_bound_call_would():
    class Sub(V.SizeVisitor):
        def visit_constant(self):
            return 1

    with pytest.raises(TypeError, match=r"visit_constant\(\) takes 1 positional argument but 2 were given"):
        Sub().visit(FORMULA)


def test_a_handler_that_deletes_itself_and_refills_the_cache_survives():
    # The handler removes the last reference the class held to it, then
    # visits with a fresh class so that the cache entry holding it is refilled;
    # it must stay alive until it returns.
    code = """
import gc
from kelvara.core import visitors as V
from kelvara.core.ast import And, Constant, Not, PredicateApp, Variable
c = Constant("c")
f = And(PredicateApp("P", 1, (c,)), Not(PredicateApp("Q", 1, (c,))))
results = []
for round_ in range(50):
    class Sub(V.SizeVisitor):
        def visit_constant(self, node, _big=[0] * 1000):
            if "visit_constant" in Sub.__dict__:
                del Sub.visit_constant
            for _ in range(3):
                other = type("Other", (V.SizeVisitor,), {})
                other().visit(f)
                gc.collect()
            return len(_big)
    results.append(Sub().visit(f))
assert results == [1000 + 1 + 4] * 50, results[:3]
print("ok")
"""
    res = run_isolated(code)
    assert res.returncode == 0, res.stderr[-2000:]
    assert res.stdout.strip() == "ok"
