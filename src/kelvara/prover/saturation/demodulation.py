"""Demodulation steps: rewriting with unit equations, and their check.

A rewrite step replaces every occurrence of an instance l.s of one side of
a unit equation l = r by the matching instance r.s of the other side.  The
step is recorded as (equation clause, l.s, r.s), so the proof checker can
replay it without trusting the search's rewriting strategy.
"""

from __future__ import annotations

from kelvara.core.ast import Equality, FunctionApp, PredicateApp
from kelvara.prover.clausifier import Clause, Literal

from .terms import _match_term, _term_vars

def replace_everywhere(term, old, new):
    """``term`` with every occurrence of ``old`` replaced by ``new``."""
    if term == old:
        return new
    if type(term) is FunctionApp:
        args = tuple(replace_everywhere(arg, old, new) for arg in term.args)
        if any(x is not y for x, y in zip(args, term.args)):
            return FunctionApp(term.func, term.arity, args, term.return_sort)
    return term


def replace_in_clause(clause: Clause, old, new) -> Clause:
    literals = []
    for lit in clause.literals:
        atom = lit.atom
        new_atom: PredicateApp | Equality
        if isinstance(atom, Equality):
            new_atom = Equality(replace_everywhere(atom.left, old, new), replace_everywhere(atom.right, old, new))
        else:
            new_atom = PredicateApp(atom.pred, atom.arity, tuple(replace_everywhere(a, old, new) for a in atom.args))
        literals.append(Literal(atom=new_atom, positive=lit.positive))
    return Clause(frozenset(literals))


def rewrite_step_valid(equation: Clause, old, new) -> bool:
    """True when old = new is an instance of the unit equation (either orientation)."""
    lits = equation.literals
    if len(lits) != 1 or not lits[0].positive or type(lits[0].atom) is not Equality:
        return False
    atom = lits[0].atom
    for lhs, rhs in ((atom.left, atom.right), (atom.right, atom.left)):
        binding: dict = {}
        if _match_term(lhs, old, binding) and _match_term(rhs, new, binding) \
                and _term_vars(rhs, set()) <= _term_vars(lhs, set()):
            return True
    return False
