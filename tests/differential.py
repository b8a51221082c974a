"""Differential runs of the native modules against their Python twins and models.

A seeded generator draws terms, formulas, literals, clauses and substitutions
(with the odd inputs hostile callers use: ids equal to an int without being
one, `args` that are no tuple, other sorts, junk) and runs every public
operation of ``kelvara.core.ast``, ``kelvara.core.visitors``,
``kelvara.prover.rules`` and ``kelvara._native`` next to its Python
counterpart, and reads generated problem texts with the native reader and its
lark twin (``tests/tptp_lark_twin.py``):

- ``kelvara._native`` against the pure-Python references
  (``python_implementation`` of ``kelvara.core.substitutions`` and
  ``kelvara.prover.clausifier``): results, bindings in order, exception type
  and message;
- ``kelvara.prover.rules`` against ``tests/rules_model.py``: results and
  exception type and message;
- ``kelvara.core.ast`` queries, canonical renaming, equality and construction
  against the frozen-dataclass model (``bench/models.py``) and the query model
  of ``bench/bench_queries.py``; the visitors against the visitor model of
  ``bench/bench_visitors.py``.  Nodes are compared through their model image.
  The models raise plain ``ValueError``s with their own wording, so there the
  native exception must be an instance of the model's exception type.

``run(seed, cases)`` returns the divergences found; ``scripts/differential.py``
is the command-line entry point.
"""

from __future__ import annotations

import os
import random
import sys
from decimal import Decimal
from fractions import Fraction
from typing import Any, Callable

_HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, _HERE)
sys.path.insert(0, os.path.join(os.path.dirname(_HERE), "bench"))

import bench_queries as Q  # noqa: E402
import bench_visitors as BV  # noqa: E402
import models as M  # noqa: E402
import rules_model  # noqa: E402

from kelvara import _native  # noqa: E402
from kelvara.core import ast as K  # noqa: E402
from kelvara.core import substitutions  # noqa: E402
from kelvara.core import visitors as V  # noqa: E402
from kelvara.core.sorts import Ind, Nat  # noqa: E402
from kelvara.prover import clausifier  # noqa: E402
from kelvara.prover import rules  # noqa: E402

REF = dict(substitutions.python_implementation)
REF.update(clausifier.python_implementation)
PyLiteral, PyClause = REF["Literal"], REF["Clause"]

# ---------------------------------------------------------------- the model image


def to_model(o: Any) -> Any:
    """The bench model image of a kelvara node (recursively); other values as they are."""
    t = type(o)
    if t is K.Variable:
        return M.Variable(o.id, M.VariableKind[o.kind.name], sort=o.sort)
    if t is K.Constant:
        return M.Constant(o.name, sort=o.sort)
    if t is K.FunctionApp:
        return M.FunctionApp(o.func, o.arity, to_model(o.args), o.return_sort)
    if t is K.PredicateApp:
        return M.PredicateApp(o.pred, o.arity, to_model(o.args))
    if t is K.Equality:
        return M.Equality(to_model(o.left), to_model(o.right))
    if t is K.Not:
        return M.Not(to_model(o.operand))
    for kc, mc in ((K.And, M.And), (K.Or, M.Or), (K.Implies, M.Implies), (K.Iff, M.Iff)):
        if t is kc:
            return mc(to_model(o.left), to_model(o.right))
    if t is K.Forall:
        return M.Forall(to_model(o.variable), to_model(o.body))
    if t is K.Exists:
        return M.Exists(to_model(o.variable), to_model(o.body))
    if t in (set, frozenset):
        return t(to_model(x) for x in o)
    if t in (list, tuple):
        return t(to_model(x) for x in o)
    if t is dict:
        return [(to_model(k), to_model(v)) for k, v in o.items()]  # insertion order counts
    return o


def record_image(o: Any) -> Any:
    """Literals and clauses of either implementation as comparable values."""
    if isinstance(o, (_native.Literal, PyLiteral)):
        return ("Literal", o.atom, o.positive)
    if isinstance(o, (_native.Clause, PyClause)):
        return ("Clause", tuple(record_image(lit) for lit in o.literals))
    if type(o) in (list, tuple):
        return type(o)(record_image(x) for x in o)
    if type(o) in (set, frozenset):
        return frozenset(record_image(x) for x in o)
    if type(o) is dict:
        return [(k, record_image(v)) for k, v in o.items()]
    return o


def outcome(fn: Callable, *args: Any) -> tuple:
    try:
        return ("ok", fn(*args))
    except RecursionError:
        raise
    except Exception as e:  # the type and message are part of the outcome
        return ("raise", type(e), str(e))


# ---------------------------------------------------------------- the generator

ODD_IDS = [0.0, 1.0, Fraction(2), Decimal(3), True]


class Gen:
    def __init__(self, rng: random.Random, odd: bool):
        self.rng = rng
        self.odd = odd
        # `args` as frozensets: only where both sides read the very same
        # objects (a set of model nodes iterates in another order).
        self.set_args = odd

    def var(self) -> K.Variable:
        r = self.rng
        vid: Any = r.randrange(5)
        if self.odd and r.random() < 0.15:
            vid = r.choice(ODD_IDS)
        sort = Nat if self.odd and r.random() < 0.08 else Ind
        return K.Variable(vid, sort=sort)

    def args(self, items: list) -> Any:
        if self.set_args and len(items) > 1 and self.rng.random() < 0.08:
            return frozenset(items) if len(set(items)) == len(items) else tuple(items)
        return tuple(items)

    def term(self, depth: int) -> Any:
        r = self.rng
        if depth <= 0 or r.random() < 0.45:
            return self.var() if r.random() < 0.65 else K.Constant(r.choice("abc"))
        if r.random() < 0.5:
            return K.FunctionApp("f", 1, (self.term(depth - 1),))
        return K.FunctionApp("g", 2, self.args([self.term(depth - 1), self.term(depth - 1)]))

    def atom(self, depth: int = 2) -> Any:
        r = self.rng
        x = r.random()
        if x < 0.2:
            return K.Equality(self.term(depth), self.term(depth))
        if x < 0.3:
            return K.PredicateApp("R", 0, ())
        if x < 0.65:
            return K.PredicateApp("P", 1, (self.term(depth),))
        return K.PredicateApp("Q", 2, self.args([self.term(depth), self.term(depth)]))

    def formula(self, depth: int) -> Any:
        r = self.rng
        if depth <= 0 or r.random() < 0.3:
            return self.atom()
        x = r.random()
        if x < 0.15:
            return K.Not(self.formula(depth - 1))
        if x < 0.45:
            q = K.Forall if r.random() < 0.5 else K.Exists
            return q(self.var(), self.formula(depth - 1))
        cls = r.choice([K.And, K.Or, K.Implies, K.Iff])
        return cls(self.formula(depth - 1), self.formula(depth - 1))

    def mapping(self) -> dict:
        return {self.var(): self.term(2) for _ in range(self.rng.randrange(3))}

    def literals(self, impl: Any, n: int) -> list:
        return [impl(self.atom(), self.rng.random() < 0.5) for _ in range(n)]


# ---------------------------------------------------------------- the operations

Divergence = tuple  # (operation, inputs, native outcome, reference outcome)


def _same(a: tuple, b: tuple, image: Callable = lambda x: x, loose_exceptions: bool = False) -> bool:
    if a[0] != b[0]:
        return False
    if a[0] == "ok":
        return image(a[1]) == image(b[1])
    if loose_exceptions:  # the model words its own messages
        return issubclass(a[1], b[1])
    return a[1:] == b[1:]


def check_native(g: Gen, out: list) -> None:
    r = g.rng
    op = r.choice(["unify_terms", "unify_formulas", "substitute_term", "substitute_formula", "sort_literals"])
    if op == "unify_terms":
        args: tuple = (g.term(3), g.term(3))
        if r.random() < 0.2:
            args += (g.mapping(),)
    elif op == "unify_formulas":
        a1, a2 = g.atom(), g.atom()
        if r.random() < 0.4 and type(a1) is K.PredicateApp:  # same symbol: unification gets going
            a2 = K.PredicateApp(a1.pred, a1.arity, tuple(g.term(2) for _ in range(a1.arity)))
        args = (a1, a2)
    elif op == "substitute_term":
        args = (g.term(3), g.mapping())
    elif op == "substitute_formula":
        args = (g.formula(3), g.mapping())
    else:
        lits = frozenset(g.literals(_native.Literal, r.randrange(1, 5)))
        nat, ref = outcome(_native.sort_literals, lits), outcome(REF[op], lits)
        if not _same(nat, ref):
            out.append((op, (lits,), nat, ref))
        return
    nat, ref = outcome(getattr(_native, op), *args), outcome(REF[op], *args)
    if not _same(nat, ref, image=lambda x: (type(x), list(x.items()) if type(x) is dict else x)):
        out.append((op, args, nat, ref))


def check_records(g: Gen, out: list) -> None:
    r = g.rng
    n = r.randrange(0, 4)
    atoms = [(g.atom(), r.random() < 0.5) for _ in range(n)]
    spare = g.atom()
    mapping = g.mapping()
    results = []
    for Lit, Cl in ((_native.Literal, _native.Clause), (PyLiteral, PyClause)):
        lits = [Lit(a, p) for a, p in atoms]
        c = Cl(frozenset(lits))
        lit = lits[0] if lits else Lit(spare, True)
        results.append([
            ("Literal.negate", outcome(lit.negate)),
            ("Literal.substitute", outcome(lit.substitute, mapping)),
            ("Literal.str", outcome(str, lit)),
            ("Literal.repr", outcome(repr, lit)),
            ("Literal.hash", outcome(hash, lit)),
            ("Literal.eq", outcome(lambda: lit == Lit(lit.atom, lit.positive))),
            ("Clause.literals", outcome(lambda: c.literals)),
            ("Clause.substitute", outcome(c.substitute, mapping)),
            ("Clause.free_variables", outcome(c.free_variables)),
            ("Clause.str", outcome(str, c)),
            ("Clause.repr", outcome(repr, c)),
            ("Clause.len", outcome(len, c)),
            ("Clause.is_empty", outcome(c.is_empty)),
            ("Clause.hash", outcome(hash, c)),
            ("Clause.contains", outcome(lambda: lit in c)),
        ])
    for (name, nat), (_, ref) in zip(*results):
        if not _same(nat, ref, image=record_image):
            out.append((name, (atoms, mapping), nat, ref))


def check_rules(g: Gen, out: list) -> None:
    r = g.rng
    op = r.choice(["resolve_clauses", "factor_clause", "paramodulate", "standardize_clause_variables",
                   "extract_subterms", "extract_atom_subterms", "replace_subterm", "replace_atom_subterm"])
    Lit, Cl = _native.Literal, _native.Clause

    def clause():
        return Cl(frozenset(g.literals(Lit, r.randrange(1, 4))))

    if op in ("resolve_clauses", "paramodulate", "standardize_clause_variables"):
        c1, c2 = clause(), clause()
        if op == "paramodulate" and r.random() < 0.7:
            c1 = Cl(frozenset({Lit(K.Equality(g.term(2), g.term(2)), True), *g.literals(Lit, r.randrange(2))}))
        args: tuple = (c1, c2)
    elif op == "factor_clause":
        args = (clause(),)
    elif op == "extract_subterms":
        args = (g.term(3),)
    elif op == "extract_atom_subterms":
        args = (g.atom(3),)
    elif op == "replace_subterm":
        t = g.term(3)
        subs = rules_model.extract_subterms(t)
        args = (t, r.choice(subs) if r.random() < 0.7 else g.term(1), g.term(1))
    else:
        a = g.atom(3)
        subs = rules_model.extract_atom_subterms(a) or [g.term(1)]
        args = (a, r.choice(subs), g.term(1))
    nat, ref = outcome(getattr(rules, op), *args), outcome(getattr(rules_model, op), *args)
    if not _same(nat, ref, image=record_image):
        out.append((op, args, nat, ref))


AST_QUERIES = [
    ("free_variables", K.free_variables, Q.py_free_variables),
    ("bound_variables", K.bound_variables, Q.py_bound_variables),
    ("formula_depth", K.formula_depth, Q.py_formula_depth),
    ("formula_size", K.formula_size, Q.py_formula_size),
    ("canonicalize_bound_variables", K.canonicalize_bound_variables, Q.py_canonicalize),
]


def check_ast(g: Gen, out: list) -> None:
    g.set_args = False
    try:
        _check_ast(g, out)
    finally:
        g.set_args = g.odd


def _check_ast(g: Gen, out: list) -> None:
    r = g.rng
    x = r.random()
    if x < 0.6:
        name, fn, model = r.choice(AST_QUERIES)
        f = g.formula(3)
        nat, ref = outcome(fn, f), outcome(model, to_model(f))
        if not _same(nat, ref, image=lambda v: v, loose_exceptions=True) and not (
                nat[0] == ref[0] == "ok" and to_model(nat[1]) == ref[1]):
            out.append((name, (f,), nat, ref))
    elif x < 0.8:
        # Equality by value, class-exact: the model's dataclass equality decides.
        a, b = g.formula(2), g.formula(2)
        if r.random() < 0.5:
            b = K.canonicalize_bound_variables(a) if r.random() < 0.5 else a
        nat, ref = (a == b, a != b), (to_model(a) == to_model(b), to_model(a) != to_model(b))
        if nat != ref:
            out.append(("node ==", (a, b), ("ok", nat), ("ok", ref)))
    else:
        # Construction, valid or not: both accept, or both refuse with the same kind of error.
        vid = r.choice([0, 3, -1, 2.5, "x", None, True])
        arity = r.choice([0, 1, 2, -1])
        nargs = r.choice([0, 1, 2])
        name = r.choice(["f", ""])
        cases = [
            ("Variable", lambda mod: mod.Variable(vid)),
            ("Constant", lambda mod: mod.Constant(name)),
            ("FunctionApp", lambda mod: mod.FunctionApp(name, arity, tuple(mod.Constant("a") for _ in range(nargs)))),
            ("PredicateApp", lambda mod: mod.PredicateApp(name, arity, tuple(mod.Constant("a") for _ in range(nargs)))),
        ]
        label, build = r.choice(cases)
        nat, ref = outcome(build, K), outcome(build, M)
        if not _same(nat, ref, image=lambda v: 0, loose_exceptions=True):
            out.append((label, (vid, arity, nargs, name), nat, ref))


def check_visitors(g: Gen, out: list) -> None:
    g.set_args = False
    try:
        _check_visitors(g, out)
    finally:
        g.set_args = g.odd


def _check_visitors(g: Gen, out: list) -> None:
    r = g.rng
    f = g.formula(3)
    x = r.random()
    if x < 0.4:
        notation = r.choice(["infix", "prefix", "latex"])
        name, nat, ref = "ExportVisitor", outcome(V.ExportVisitor(notation).visit, f), \
            outcome(BV.PyExport(notation).visit, to_model(f))
    elif x < 0.55:
        name, nat, ref = "DepthVisitor", outcome(V.DepthVisitor().visit, f), outcome(BV.PyDepth().visit, to_model(f))
    elif x < 0.7:
        name, nat, ref = "SizeVisitor", outcome(V.SizeVisitor().visit, f), outcome(BV.PySize().visit, to_model(f))
    elif x < 0.85:
        name, nat, ref = "FreeVariableCollector", outcome(V.FreeVariableCollector().visit, f), \
            outcome(BV.PyFreeVars().visit, to_model(f))
    else:
        mapping = g.mapping()
        name = "SubstitutionTransformer"
        nat = outcome(V.SubstitutionTransformer(mapping).visit, f)
        ref = outcome(BV.PySubstitution({to_model(k): to_model(v) for k, v in mapping.items()}).visit, to_model(f))
    if not _same(nat, ref, image=to_model, loose_exceptions=True) and not (
            nat[0] == ref[0] == "ok" and to_model(nat[1]) == ref[1]):
        out.append((name, (f,), nat, ref))


# ---------------------------------------------------------------- the reader

_TPTP_PRED = {"P": "p", "Q": "q", "R": "r"}
_TPTP_BINARY = {K.And: "&", K.Or: "|", K.Implies: "=>", K.Iff: "<=>"}


def _tptp(node: Any) -> str:
    """TPTP text of a formula of the generator (plain inputs)."""
    t = type(node)
    if t is K.Variable:
        return f"X{node.id}"
    if t is K.Constant:
        return node.name
    if t in (K.FunctionApp, K.PredicateApp):
        head = node.func if t is K.FunctionApp else _TPTP_PRED[node.pred]
        return head if not node.args else f"{head}({','.join(_tptp(a) for a in node.args)})"
    if t is K.Equality:
        return f"{_tptp(node.left)} = {_tptp(node.right)}"
    if t is K.Not:
        return f"~ ({_tptp(node.operand)})"
    if t in (K.Forall, K.Exists):
        q = "!" if t is K.Forall else "?"
        return f"{q} [{_tptp(node.variable)}] : ({_tptp(node.body)})"
    return f"({_tptp(node.left)}) {_TPTP_BINARY[t]} ({_tptp(node.right)})"


def _read(parse: Callable, text: str) -> tuple:
    try:
        return ("ok", [(f.name, f.role, f.formula) for f in parse(text).formulas])
    except RecursionError:
        raise
    except Exception as e:
        return ("raise", type(e).__name__)


def check_reader(g: Gen, out: list) -> None:
    """The native reader against the lark twin on generated statements: the
    same formulas (fresh ids in reading order), or both refuse the text."""
    import tptp_lark_twin as twin

    from kelvara.prover import tptp

    r = g.rng
    odd, g.odd, g.set_args = g.odd, False, False
    try:
        statements = []
        for i in range(r.randrange(1, 4)):
            f = g.formula(3)
            free = sorted(v.id for v in K.free_variables(f))
            body = _tptp(f)
            if free:  # a free variable of a fof formula is refused; close it
                body = f"! [{','.join(f'X{v}' for v in free)}] : ({body})"
            role = r.choice(["axiom", "conjecture", "hypothesis"])
            statements.append(f"fof(s{i}, {role}, {body}).")
        text = "\n".join(statements) + "\n"
        damaged = r.random() < 0.2
        if damaged:
            k = r.randrange(len(text))
            text = text[:k] + text[k + 1:]
        nat, ref = _read(tptp.parse_problem, text), _read(twin.parse_problem, text)
        # A damaged text may leave a variable free or a symbol at two arities,
        # which the native reader refuses and the twin (closing free variables,
        # checking no arities) reads: there the native reader may refuse more.
        refused_more = damaged and nat[0] == "raise" and ref[0] == "ok"
        if not refused_more and (nat[0] != ref[0] or (nat[0] == "ok" and nat[1] != ref[1])):
            out.append(("parse_problem", (text,), nat, ref))
    finally:
        g.odd = odd
        g.set_args = odd


CHECKS = {"native": check_native, "records": check_records, "rules": check_rules, "ast": check_ast,
          "visitors": check_visitors, "reader": check_reader}


def run(seed: int, cases: int, odd: bool = True, only: str | None = None) -> tuple[list, dict]:
    """Runs `cases` comparisons from `seed`; returns (divergences, cases per check)."""
    rng = random.Random(seed)
    g = Gen(rng, odd)
    out: list = []
    counts = dict.fromkeys(CHECKS, 0)
    names = [only] if only else list(CHECKS)
    for _ in range(cases):
        name = rng.choice(names)
        counts[name] += 1
        CHECKS[name](g, out)
    return out, counts
