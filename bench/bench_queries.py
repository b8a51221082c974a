"""Structural queries and canonical renaming against a pure-Python model.

The Python model implements the same four queries and the canonicalizer, with
the same dispatch order, over the frozen-dataclass node model; both run on the
same random formulas of about 30 and about 300 nodes, side by side in one run.
Run: python bench/bench_queries.py
"""

from __future__ import annotations

import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(__file__))

import models as M  # noqa: E402
from formula_gen import random_formula  # noqa: E402

from kelvara.core import ast as K  # noqa: E402

# ---- the Python model of the queries


def py_free_variables(node):
    fv = getattr(node, "_free_vars", None)
    if fv is not None:
        return set(fv)
    if isinstance(node, M.Variable):
        return {node}
    if isinstance(node, M.Constant):
        return set()
    if isinstance(node, M.Not):
        return py_free_variables(node.operand)
    if isinstance(node, (M.And, M.Or, M.Implies, M.Iff)):
        return py_free_variables(node.left) | py_free_variables(node.right)
    if isinstance(node, (M.Forall, M.Exists)):
        return py_free_variables(node.body) - {node.variable}
    raise ValueError(f"Unsupported AST node type: {type(node)}")


def py_bound_variables(node):
    if isinstance(node, (M.Variable, M.Constant, M.FunctionApp, M.PredicateApp, M.Equality)):
        return set()
    if isinstance(node, M.Not):
        return py_bound_variables(node.operand)
    if isinstance(node, (M.And, M.Or, M.Implies, M.Iff)):
        return py_bound_variables(node.left) | py_bound_variables(node.right)
    if isinstance(node, (M.Forall, M.Exists)):
        return {node.variable} | py_bound_variables(node.body)
    raise ValueError(f"Unsupported AST node type: {type(node)}")


def py_formula_depth(f):
    if isinstance(f, (M.PredicateApp, M.Equality)):
        return 1
    if isinstance(f, M.Not):
        return 1 + py_formula_depth(f.operand)
    if isinstance(f, (M.And, M.Or, M.Implies, M.Iff)):
        return 1 + max(py_formula_depth(f.left), py_formula_depth(f.right))
    if isinstance(f, (M.Forall, M.Exists)):
        return 1 + py_formula_depth(f.body)
    raise ValueError(f"Expected Formula, got {type(f)}")


def _term_size(t):
    if isinstance(t, (M.Variable, M.Constant)):
        return 1
    if isinstance(t, M.FunctionApp):
        return 1 + sum(_term_size(a) for a in t.args)
    raise ValueError(f"Expected Term, got {type(t)}")


def py_formula_size(f):
    if isinstance(f, M.PredicateApp):
        return 1 + sum(_term_size(a) for a in f.args)
    if isinstance(f, M.Equality):
        return 1 + _term_size(f.left) + _term_size(f.right)
    if isinstance(f, M.Not):
        return 1 + py_formula_size(f.operand)
    if isinstance(f, (M.And, M.Or, M.Implies, M.Iff)):
        return 1 + py_formula_size(f.left) + py_formula_size(f.right)
    if isinstance(f, (M.Forall, M.Exists)):
        return 1 + _term_size(f.variable) + py_formula_size(f.body)
    raise ValueError(f"Expected Formula, got {type(f)}")


class IndexGenerator:
    def __init__(self, reserved):
        self.reserved = reserved
        self.current = 0

    def get_next(self):
        while self.current in self.reserved:
            self.current += 1
        r = self.current
        self.current += 1
        return r


def py_canonicalize(formula):
    gen = IndexGenerator({v.id for v in py_free_variables(formula)})

    def term(t, env):
        if isinstance(t, M.Variable):
            return env.get(t, t)
        if isinstance(t, M.Constant):
            return t
        if isinstance(t, M.FunctionApp):
            return M.FunctionApp(t.func, t.arity, tuple(term(a, env) for a in t.args), t.return_sort)
        return t

    def form(f, env):
        if isinstance(f, M.PredicateApp):
            return M.PredicateApp(f.pred, f.arity, tuple(term(a, env) for a in f.args))
        if isinstance(f, M.Equality):
            return M.Equality(term(f.left, env), term(f.right, env))
        if isinstance(f, M.Not):
            return M.Not(form(f.operand, env))
        for cls in (M.And, M.Or, M.Implies, M.Iff):
            if isinstance(f, cls):
                return cls(form(f.left, env), form(f.right, env))
        for cls in (M.Forall, M.Exists):
            if isinstance(f, cls):
                v = M.Variable(gen.get_next(), f.variable.kind, sort=f.variable.sort)
                new_env = dict(env)
                new_env[f.variable] = v
                return cls(v, form(f.body, new_env))
        raise ValueError(f"Unsupported Formula node: {type(f)}")

    return form(formula, {})


def per_call_us(fn, arg, number):
    t = timeit.Timer("fn(arg)", globals={"fn": fn, "arg": arg})
    return min(t.repeat(number=number, repeat=5)) / number * 1e6


def main() -> None:
    pairs = [
        ("free_variables", K.free_variables, py_free_variables),
        ("bound_variables", K.bound_variables, py_bound_variables),
        ("formula_depth", K.formula_depth, py_formula_depth),
        ("formula_size", K.formula_size, py_formula_size),
        ("canonicalize", K.canonicalize_bound_variables, py_canonicalize),
    ]
    print(f"{'operation':18} {'nodes':>5} {'kelvara us':>11} {'python us':>10} {'speed-up':>9}")
    for size in (30, 300):
        fk = random_formula(K, size, seed=size)
        fm = random_formula(M, size, seed=size)
        nodes = K.formula_size(fk)
        assert K.formula_size(fk) == py_formula_size(fm)
        number = 20000 if size == 30 else 2000
        for name, kf, pf in pairs:
            tk = per_call_us(kf, fk, number)
            tp = per_call_us(pf, fm, number // 4)
            print(f"{name:18} {nodes:5d} {tk:11.3f} {tp:10.2f} {tp / tk:8.1f}x")
    atom_k = K.PredicateApp("Q", 2, (K.Variable(0), K.FunctionApp("g", 2, (K.Variable(1), K.Constant("a")))))
    fv = atom_k._free_vars
    t_atom = per_call_us(K.free_variables, atom_k, 500_000)
    t_copy = per_call_us(set, fv, 500_000)
    print(f"\nfree_variables of an atom: {t_atom * 1000:.1f} ns; one set copy of its cache: {t_copy * 1000:.1f} ns")


if __name__ == "__main__":
    main()
