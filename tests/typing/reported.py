"""Typing sample: mistakes that mypy and pyright must report.

Every line carries ``# type: ignore[<mypy code>]``.  The checks run with
mypy's ``warn_unused_ignores`` and pyright's ``reportUnnecessaryTypeIgnoreComment``,
so a line that stops being an error makes its ignore comment an error.  Run
by tests/test_typing.py.
"""

from __future__ import annotations

from kelvara.core.ast import And, Constant, Forall, Formula, PredicateApp, Variable
from kelvara.core.visitors import ExportVisitor, SubstitutionTransformer
from kelvara.prover.clausifier import Clause, Literal, to_cnf
from kelvara.prover.rules import resolve_clauses

x, a = Variable(0), Constant("a")
p_x = PredicateApp("P", 1, (x,))

Variable("0")  # type: ignore[arg-type]
Constant(name=3)  # type: ignore[arg-type]
PredicateApp("P", 1, [x])  # type: ignore[arg-type]
And(p_x, x)  # type: ignore[arg-type]
Forall(a, p_x)  # type: ignore[arg-type]
Literal(a)  # type: ignore[arg-type]
Clause([p_x])  # type: ignore[list-item]
SubstitutionTransformer({a: x})  # type: ignore[dict-item]
ExportVisitor(notation=None)  # type: ignore[arg-type]
resolve_clauses(to_cnf(p_x), to_cnf(p_x))  # type: ignore[arg-type]

# A term transformed stays a term, so it is no formula.
formula: Formula = SubstitutionTransformer({x: a}).visit(a)  # type: ignore[assignment]
p_x.pred = "Q"  # type: ignore[misc]

match p_x:
    case PredicateApp(pred, arity, args, extra):  # type: ignore[misc]
        pass
