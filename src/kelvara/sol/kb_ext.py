"""Instances of axiom schemas over the natural numbers."""

from __future__ import annotations

from typing import Any

from kelvara.core.ast import And, Constant, Forall, FunctionApp, Implies, Variable
from kelvara.core.substitutions import max_variable_id, substitute_formula

__all__ = ["instantiate_induction", "ZERO_NAME", "SUCCESSOR_NAME"]

ZERO_NAME = "0"
"""Name of the zero constant in induction instances."""
SUCCESSOR_NAME = "s"
"""Name of the unary successor function in induction instances."""


def instantiate_induction(body: Any, variable: Any) -> Any:
    """The induction instance for ``phi(n)`` = ``body`` over ``variable``.

    Returns ``(phi(0) & forall m (phi(m) => phi(s(m)))) => forall variable. body``
    where ``0`` is ``Constant("0")`` and ``s(m)`` is ``FunctionApp("s", 1, (m,))``,
    both of the sort of ``variable`` (normally ``Nat``; a variable of another
    sort gets a zero and successor of its own sort, so that the instance stays
    well-sorted for unification).  ``m`` is a fresh variable of the same sort
    and kind as ``variable`` whose id exceeds every id in ``body`` and
    ``variable``'s own.  The conclusion is the quantified formula itself, so
    it coincides with the goal ``Forall(variable, body)``.  Substitutions into
    ``body`` replace only free occurrences of ``variable`` and avoid capture.
    """
    if not isinstance(variable, Variable):
        raise TypeError(f"induction variable must be a Variable, got {type(variable).__name__}")
    sort = variable.sort
    zero = Constant(ZERO_NAME, sort=sort)
    step_var = Variable(max(max_variable_id(body), variable.id) + 1, variable.kind, sort=sort)
    successor = FunctionApp(SUCCESSOR_NAME, 1, (step_var,), sort)
    base = substitute_formula(body, {variable: zero})
    hypothesis = substitute_formula(body, {variable: step_var})
    step = substitute_formula(body, {variable: successor})
    return Implies(
        And(base, Forall(step_var, Implies(hypothesis, step))),
        Forall(variable, body),
    )
