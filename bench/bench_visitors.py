"""Visitor benchmark: each built-in visitor of kelvara.core.visitors against a
pure-Python model of the same design (dispatch table installed by
__init_subclass__, handler found by name, children through self.visit) over
the frozen-dataclass node model of bench/models.py, on the same random
formulas of about 30 and about 300 nodes.  A Python subclass that overrides
one handler is measured against the same subclass of the Python model.

Run: python bench/bench_visitors.py   (ratios > 1 mean kelvara is faster)

    python bench/bench_visitors.py --loop ROW --size 30 --side kelvara|model --times N
        (one row's visits alone, N passes over its 40 formulas under
        itertools.starmap, after one pass to warm up: valgrind --tool=callgrind
        --toggle-collect=starmap_next counts exactly those visits; bench/icount.py
        runs every row on both sides under several interpreters)
"""

from __future__ import annotations

import argparse
import itertools
import os
import random
import sys
import timeit
from abc import ABC, abstractmethod
from typing import Generic, TypeVar

sys.path.insert(0, os.path.dirname(__file__))

import models as M  # noqa: E402

from kelvara.core import ast as K  # noqa: E402
from kelvara.core import visitors as V  # noqa: E402

T = TypeVar("T")

# ---------------------------------------------------------------- the Python model


class PyVisitor(ABC, Generic[T]):
    _dispatch_table: dict = {}

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        cls._dispatch_table = {
            M.Variable: "visit_variable",
            M.Constant: "visit_constant",
            M.FunctionApp: "visit_function_app",
            M.PredicateApp: "visit_predicate_app",
            M.Equality: "visit_equality",
            M.Not: "visit_not",
            M.And: "visit_and",
            M.Or: "visit_or",
            M.Implies: "visit_implies",
            M.Iff: "visit_iff",
            M.Forall: "visit_forall",
            M.Exists: "visit_exists",
        }

    def visit(self, node):
        name = self._dispatch_table.get(type(node))
        if name is None:
            raise TypeError(f"Unsupported AST node type: {type(node).__name__}")
        return getattr(self, name)(node)

    @abstractmethod
    def visit_variable(self, node): ...


class PyDepth(PyVisitor[int]):
    def visit_variable(self, node):
        return 1

    def visit_constant(self, node):
        return 1

    def visit_function_app(self, node):
        if not node.args:
            return 1
        return 1 + max(self.visit(a) for a in node.args)

    visit_predicate_app = visit_function_app

    def visit_equality(self, node):
        return 1 + max(self.visit(node.left), self.visit(node.right))

    def visit_not(self, node):
        return 1 + self.visit(node.operand)

    visit_and = visit_or = visit_implies = visit_iff = visit_equality

    def visit_forall(self, node):
        return 1 + self.visit(node.body)

    visit_exists = visit_forall


class PySize(PyVisitor[int]):
    def visit_variable(self, node):
        return 1

    def visit_constant(self, node):
        return 1

    def visit_function_app(self, node):
        return 1 + sum(self.visit(a) for a in node.args)

    visit_predicate_app = visit_function_app

    def visit_equality(self, node):
        return 1 + self.visit(node.left) + self.visit(node.right)

    def visit_not(self, node):
        return 1 + self.visit(node.operand)

    visit_and = visit_or = visit_implies = visit_iff = visit_equality

    def visit_forall(self, node):
        return 1 + self.visit(node.variable) + self.visit(node.body)

    visit_exists = visit_forall


class PyFreeVars(PyVisitor[set]):
    def visit_variable(self, node):
        return {node}

    def visit_constant(self, node):
        return set()

    def visit_function_app(self, node):
        result = set()
        for a in node.args:
            result.update(self.visit(a))
        return result

    visit_predicate_app = visit_function_app

    def visit_equality(self, node):
        return self.visit(node.left) | self.visit(node.right)

    def visit_not(self, node):
        return self.visit(node.operand)

    visit_and = visit_or = visit_implies = visit_iff = visit_equality

    def visit_forall(self, node):
        return self.visit(node.body) - {node.variable}

    visit_exists = visit_forall


class PyTransformer(PyVisitor):
    def visit_variable(self, node):
        return node

    visit_constant = visit_variable

    def visit_function_app(self, node):
        new_args = tuple(self.visit(a) for a in node.args)
        if all(n is o for n, o in zip(new_args, node.args)):
            return node
        return M.FunctionApp(func=node.func, arity=node.arity, args=new_args, return_sort=node.return_sort)

    def visit_predicate_app(self, node):
        new_args = tuple(self.visit(a) for a in node.args)
        if all(n is o for n, o in zip(new_args, node.args)):
            return node
        return M.PredicateApp(pred=node.pred, arity=node.arity, args=new_args)

    def visit_equality(self, node):
        left, right = self.visit(node.left), self.visit(node.right)
        if left is node.left and right is node.right:
            return node
        return M.Equality(left=left, right=right)

    def visit_not(self, node):
        operand = self.visit(node.operand)
        if operand is node.operand:
            return node
        return M.Not(operand=operand)

    def _binary(self, node):
        left, right = self.visit(node.left), self.visit(node.right)
        if left is node.left and right is node.right:
            return node
        return type(node)(left=left, right=right)

    visit_and = visit_or = visit_implies = visit_iff = _binary

    def _quant(self, node):
        variable, body = self.visit(node.variable), self.visit(node.body)
        if variable is node.variable and body is node.body:
            return node
        return type(node)(variable=variable, body=body)

    visit_forall = visit_exists = _quant


class PySubstitution(PyTransformer):
    def __init__(self, mapping):
        self.mapping = mapping

    def visit_variable(self, node):
        return self.mapping.get(node, node)

    def _quant(self, node):
        bound = node.variable
        collector = PyFreeVars()
        replacement_free = set()
        for v, t in self.mapping.items():
            if v != bound:
                replacement_free.update(collector.visit(t))
        if bound in replacement_free:
            all_vars = collector.visit(node.body) | replacement_free | set(self.mapping)
            fresh = M.Variable(id=max((v.id for v in all_vars), default=0) + 1, sort=bound.sort, kind=bound.kind)
            renamed = PySubstitution({bound: fresh}).visit(node.body)
            return type(node)(variable=fresh, body=self.visit(renamed))
        inner = {v: t for v, t in self.mapping.items() if v != bound}
        return type(node)(variable=bound, body=PySubstitution(inner).visit(node.body))

    visit_forall = visit_exists = _quant


class PyExport(PyVisitor[str]):
    def __init__(self, notation="infix"):
        self.notation = notation

    def visit_variable(self, node):
        if self.notation == "latex":
            return f"v_{{{node.id}}}"
        return f"v{node.id}"

    def visit_constant(self, node):
        return node.name

    def _app(self, node):
        sym = node.func if type(node) is M.FunctionApp else node.pred
        name = sym.name if hasattr(sym, "name") else str(sym)
        if type(node) is M.PredicateApp and not node.args:
            return name
        args = [self.visit(a) for a in node.args]
        if self.notation == "prefix":
            return f"({name} {' '.join(args)})" if args else name
        return f"{name}({', '.join(args)})"

    visit_function_app = visit_predicate_app = _app

    def visit_equality(self, node):
        left, right = self.visit(node.left), self.visit(node.right)
        if self.notation == "prefix":
            return f"(= {left} {right})"
        return f"{left} = {right}"

    def visit_not(self, node):
        operand = self.visit(node.operand)
        if self.notation == "prefix":
            return f"(not {operand})"
        wrap = isinstance(node.operand, (M.And, M.Or, M.Implies, M.Iff))
        if self.notation == "latex":
            return f"\\neg ({operand})" if wrap else f"\\neg {operand}"
        return f"~({operand})" if wrap else f"~{operand}"

    _OPS = {"And": ("and", "\\land", "&"), "Or": ("or", "\\lor", "|"),
            "Implies": ("=>", "\\implies", "=>"), "Iff": ("<=>", "\\iff", "<=>")}

    def _binary(self, node):
        left, right = self.visit(node.left), self.visit(node.right)
        p, l, i = self._OPS[type(node).__name__]
        if self.notation == "prefix":
            return f"({p} {left} {right})"
        if self.notation == "latex":
            return f"({left} {l} {right})"
        return f"({left} {i} {right})"

    visit_and = visit_or = visit_implies = visit_iff = _binary

    def _quant(self, node):
        var, body = self.visit(node.variable), self.visit(node.body)
        sort = node.variable.sort.name
        word = "forall" if type(node) is M.Forall else "exists"
        if self.notation == "prefix":
            return f"({word} ({var} : {sort}) {body})"
        if self.notation == "latex":
            return f"\\{word} {var} : {sort}, {body}"
        return f"{word} {var} : {sort}, {body}"

    visit_forall = visit_exists = _quant


# ---------------------------------------------------------------- random formulas


def random_formula(rng: random.Random, size: int, mod):
    """A random formula of about `size` nodes built from the classes of `mod`;
    the same seed gives the same shape for both node models."""
    sorts = [mod_sort for mod_sort in (K.Ind,)]

    def term(budget):
        if budget <= 1 or rng.random() < 0.4:
            if rng.random() < 0.6:
                return mod.Variable(rng.randrange(6), sort=sorts[0]), 1
            return mod.Constant(rng.choice("abc")), 1
        n = rng.choice((1, 2))
        args, used = [], 1
        for _ in range(n):
            t, u = term((budget - 1) // n)
            args.append(t)
            used += u
        return mod.FunctionApp(rng.choice("fg"), n, tuple(args)), used

    def formula(budget):
        if budget <= 4:
            n = rng.choice((1, 2))
            args, used = [], 1
            for _ in range(n):
                t, u = term(max(1, (budget - 1) // n))
                args.append(t)
                used += u
            if rng.random() < 0.2:
                return mod.Equality(args[0], args[-1]), used + (1 if n == 1 else 0)
            return mod.PredicateApp(rng.choice("PQR"), n, tuple(args)), used
        r = rng.random()
        if r < 0.15:
            body, u = formula(budget - 1)
            return mod.Not(body), u + 1
        if r < 0.35:
            body, u = formula(budget - 2)
            cls = mod.Forall if rng.random() < 0.5 else mod.Exists
            return cls(mod.Variable(rng.randrange(6), sort=sorts[0]), body), u + 2
        cls = rng.choice((mod.And, mod.Or, mod.Implies, mod.Iff))
        left, ul = formula((budget - 1) // 2)
        right, ur = formula(budget - 1 - ul)
        return cls(left, right), ul + ur + 1

    return formula(size)[0]


def corpus(size: int, count: int, mod, seed: int):
    rng = random.Random(seed)
    return [random_formula(rng, size, mod) for _ in range(count)]


# ---------------------------------------------------------------- timing


def side_by_side(ours, model, f_ours, f_model, rounds=7) -> tuple[float, float]:
    """Best microseconds per visit of each side; the two alternate round by
    round so that a busy machine slows both alike."""

    def runner(visitor, formulas):
        visit = visitor.visit

        def run():
            for f in formulas:
                visit(f)

        return run

    a, b = runner(ours, f_ours), runner(model, f_model)
    number = max(1, 4000 // len(f_ours))
    best_a = best_b = float("inf")
    for _ in range(rounds):
        best_a = min(best_a, timeit.timeit(a, number=number))
        best_b = min(best_b, timeit.timeit(b, number=number))
    scale = 1e6 / (number * len(f_ours))
    return best_a * scale, best_b * scale


class MySize(V.SizeVisitor):
    def visit_constant(self, node):
        return 1


class MyPySize(PySize):
    def visit_constant(self, node):
        return 1


def cases() -> list:
    """(key, label, kelvara visitor, model visitor) for every row."""
    x = K.Variable(0)
    mx = M.Variable(0)
    return [
        ("depth", "DepthVisitor", V.DepthVisitor(), PyDepth()),
        ("size", "SizeVisitor", V.SizeVisitor(), PySize()),
        ("freevars", "FreeVariableCollector", V.FreeVariableCollector(), PyFreeVars()),
        ("transformer", "ASTTransformer", V.ASTTransformer(), PyTransformer()),
        ("subst", "Substitution {x: f(x)}", V.SubstitutionTransformer({x: K.FunctionApp("f", 1, (x,))}),
         PySubstitution({mx: M.FunctionApp("f", 1, (mx,))})),
        ("infix", "ExportVisitor infix", V.ExportVisitor("infix"), PyExport("infix")),
        ("prefix", "ExportVisitor prefix", V.ExportVisitor("prefix"), PyExport("prefix")),
        ("latex", "ExportVisitor latex", V.ExportVisitor("latex"), PyExport("latex")),
        ("size1", "Size, 1 handler in Python", MySize(), MyPySize()),
    ]


SIZES = (30, 300)
FORMULAS = 40


def loop(row: str, size: int, side: str, times: int) -> None:
    """Runs one row's visits `times` passes over its formulas under starmap."""
    visitor = {c[0]: c[2 if side == "kelvara" else 3] for c in cases()}[row]
    formulas = corpus(size, FORMULAS, K if side == "kelvara" else M, seed=size)
    visit = visitor.visit

    def run():
        for f in formulas:
            visit(f)

    run()  # warm up: caches filled, the interpreter's inline caches specialised
    list(itertools.starmap(run, [()] * times))
    print(f"{times * len(formulas)} operations")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--loop", metavar="ROW", choices=[c[0] for c in cases()])
    parser.add_argument("--size", type=int, choices=SIZES, default=30)
    parser.add_argument("--side", choices=("kelvara", "model"), default="kelvara")
    parser.add_argument("--times", type=int, default=1)
    parser.add_argument("--rows", action="store_true", help="print the row keys and stop")
    args = parser.parse_args()
    if args.rows:
        print(" ".join(c[0] for c in cases()))
        return
    if args.loop:
        loop(args.loop, args.size, args.side, args.times)
        return
    rows = cases()
    for size in SIZES:
        ours = corpus(size, FORMULAS, K, seed=size)
        model = corpus(size, FORMULAS, M, seed=size)
        nodes = sum(V.SizeVisitor().visit(f) for f in ours) / len(ours)
        assert [PySize().visit(f) for f in model] == [V.SizeVisitor().visit(f) for f in ours]
        assert [PyExport().visit(f) for f in model] == [V.ExportVisitor().visit(f) for f in ours]
        print(f"\nformulas of about {size} nodes (mean {nodes:.0f}), microseconds per visit")
        print(f"{'visitor':28} {'kelvara':>9} {'py model':>9} {'ratio':>7}")
        for _key, name, ov, pv in rows:
            t_ours, t_model = side_by_side(ov, pv, ours, model)
            print(f"{name:28} {t_ours:9.2f} {t_model:9.2f} {t_model / t_ours:7.1f}x")


if __name__ == "__main__":
    main()
