"""Visitors under stress: deep trees, hostile handlers, re-entrancy, leaks."""

from __future__ import annotations

import gc
import sys
import tracemalloc

import pytest

from helpers import run_isolated

from kelvara.core.ast import And, Constant, Forall, FunctionApp, Not, PredicateApp, Variable
from kelvara.core import visitors as V

x = Variable(1)
c = Constant("c")
atom = PredicateApp("P", 1, (x,))

VISITORS = ["DepthVisitor()", "SizeVisitor()", "FreeVariableCollector()", "ASTTransformer()",
            "SubstitutionTransformer({x: c})", "ExportVisitor('latex')"]


@pytest.mark.parametrize("visitor", VISITORS)
@pytest.mark.parametrize("shape", ["Not(node)", "And(node, atom)", "Forall(x, node)",
                                   "FunctionApp('f', 1, (node,))"])
def test_deep_trees_raise_recursion_error(visitor, shape):
    code = f"""
import sys
from kelvara.core.ast import *
from kelvara.core.visitors import *
x = Variable(1); c = Constant("c"); atom = PredicateApp("P", 1, (x,))
node = x if {shape!r}.startswith("FunctionApp") else atom
for _ in range(200_000):
    node = {shape}
for limit in (1000, 100_000, 10_000_000):
    sys.setrecursionlimit(limit)
    try:
        {visitor}.visit(node)
    except RecursionError:
        pass
    else:
        raise SystemExit("no RecursionError at limit %d" % limit)
shallow = node
for _ in range(199_900):
    shallow = getattr(shallow, "operand", None) or getattr(shallow, "left", None) or \\
        getattr(shallow, "body", None) or shallow.args[0]
sys.setrecursionlimit(1000)
{visitor}.visit(shallow)
print("ok")
"""
    res = run_isolated(code, timeout=120)
    assert res.returncode == 0, res.stderr[-2000:]
    assert res.stdout.strip() == "ok"


def test_python_handlers_recursing_deeply_do_not_crash():
    code = """
import sys
from kelvara.core.ast import *
from kelvara.core.visitors import *
class Mixed(SizeVisitor):
    def visit_not(self, node):
        return 1 + self.visit(node.operand)
node = PredicateApp("P", 0, ())
for _ in range(100_000):
    node = Not(node)
sys.setrecursionlimit(50_000)
try:
    Mixed().visit(node)
except RecursionError:
    print("ok")
"""
    res = run_isolated(code, timeout=120)
    assert res.returncode == 0, res.stderr[-2000:]
    assert res.stdout.strip() == "ok"


JUNK = ["None", "0", "'text'", "object()", "()", "[]", "{}", "1.5", "b''", "type", "Not(x)"]


@pytest.mark.parametrize("value", JUNK)
@pytest.mark.parametrize("base", ["DepthVisitor", "SizeVisitor", "FreeVariableCollector", "ASTTransformer",
                                  "ExportVisitor"])
def test_handlers_returning_junk_never_crash(base, value):
    code = f"""
from kelvara.core.ast import *
from kelvara.core.visitors import *
class Junk({base}):
    def visit_variable(self, node):
        return {value}
x = Variable(1)
for node in (x, Not(PredicateApp("P", 1, (x,))), Forall(x, Equality(x, x)),
             And(PredicateApp("P", 2, (x, FunctionApp("f", 1, (x,)))), PredicateApp("Q", 0, ()))):
    try:
        Junk().visit(node)
    except Exception as e:
        assert type(e) in (TypeError, ValueError, AssertionError, AttributeError,
                           __import__("kelvara.core.exceptions").core.exceptions.InvalidFormulaError), repr(e)
print("ok")
"""
    res = run_isolated(code, timeout=60)
    assert res.returncode == 0, res.stderr[-2000:]
    assert res.stdout.strip() == "ok"


def test_junk_nodes_inside_trees():
    for node in (Not(3), And(atom, None), Forall(x, "body"), Not((atom,))):
        for visitor in (V.DepthVisitor(), V.SizeVisitor(), V.ExportVisitor(), V.ASTTransformer(),
                        V.FreeVariableCollector()):
            with pytest.raises(TypeError) as e:
                visitor.visit(node)
            assert str(e.value).startswith("Unsupported AST node type: ")


def test_reentrant_visits_and_handlers_that_raise():
    class Nested(V.SizeVisitor):
        def visit_constant(self, node):
            # A whole second traversal while the first is under way.
            return V.SizeVisitor().visit(Not(atom)) + self.visit(x) - 3

    assert Nested().visit(And(PredicateApp("P", 1, (c,)), atom)) == 1 + 2 + 2

    class Raises(V.ExportVisitor):
        def visit_variable(self, node):
            raise LookupError("no")

    for node in (atom, Forall(x, atom), FunctionApp("f", 2, (c, x))):
        with pytest.raises(LookupError):
            Raises().visit(node)


def test_handler_changing_the_class_mid_traversal():
    class Shifty(V.SizeVisitor):
        def visit_constant(self, node):
            type(self).visit_variable = lambda self, node: 100
            return 1

    node = PredicateApp("P", 3, (x, c, x))
    assert Shifty().visit(node) == 1 + 1 + 1 + 100


def test_instance_attribute_added_mid_traversal():
    class Shifty(V.ExportVisitor):
        def visit_constant(self, node):
            self.visit_variable = lambda node: "X"
            return "c"

    assert Shifty().visit(PredicateApp("P", 3, (x, c, x))) == "P(v1, c, X)"


# ---------------------------------------------------------------- references and memory

def _formula():
    y = Variable(2)
    return Forall(x, And(Not(PredicateApp("P", 2, (x, FunctionApp("g", 1, (y,))))), PredicateApp("Q", 0, ())))


@pytest.mark.parametrize(
    "make",
    [V.DepthVisitor, V.SizeVisitor, V.FreeVariableCollector, V.ASTTransformer,
     lambda: V.SubstitutionTransformer({Variable(2): FunctionApp("f", 1, (x,))}),
     lambda: V.ExportVisitor("prefix")],
)
def test_no_reference_leaks(make):
    f = _formula()
    visitor = make()
    children = [f, f.body, f.variable, f.body.left.operand.args[1]]
    for _ in range(50):
        visitor.visit(f)
    gc.collect()
    before = [sys.getrefcount(o) for o in children]
    tracemalloc.start()
    for _ in range(3000):
        visitor.visit(f)
    gc.collect()
    snap1 = tracemalloc.take_snapshot()
    for _ in range(3000):
        visitor.visit(f)
    gc.collect()
    snap2 = tracemalloc.take_snapshot()
    tracemalloc.stop()
    assert [sys.getrefcount(o) for o in children] == before
    growth = sum(s.size_diff for s in snap2.compare_to(snap1, "filename"))
    assert growth < 20_000


def test_error_paths_do_not_leak():
    class Bad(V.SizeVisitor):
        def visit_constant(self, node):
            return "x"

    f = And(PredicateApp("P", 2, (x, c)), Not(PredicateApp("Q", 1, (x,))))
    before = sys.getrefcount(x)
    for _ in range(2000):
        with pytest.raises(TypeError):
            Bad().visit(f)
        with pytest.raises(TypeError):
            V.ExportVisitor().visit(And(f, None))
    gc.collect()
    assert sys.getrefcount(x) == before
