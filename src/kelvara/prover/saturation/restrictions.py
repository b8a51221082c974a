"""Ordering restrictions of resolution, factoring and paramodulation.

The paramodulation rule paramodulates from every equation, both ways, into
every non-variable subterm of every literal.  The search keeps only the
paramodulants that an ordered inference yields: the equation is an
eligible literal of its clause, its rewriting side is not smaller than the
other side under the unifier, the rewritten literal is eligible in its
clause, and inside an equation only the side that is not smaller is
rewritten.
"""

from __future__ import annotations

from kelvara.core.ast import Equality, FunctionApp, Variable
from kelvara.core.substitutions import substitute_formula, substitute_term
from kelvara.prover.clausifier import Clause, Literal
from kelvara.prover.rules import replace_atom_subterm, standardize_clause_variables

from .ordering import _rewritable_sides, kbo_greater
from .records import ProofClause
from .terms import _ANY, _subterms_innermost

def _merged_eligible(sigma: dict, first, second, mine: set, allowed: set) -> bool:
    """True when the unifier also resolves an eligible pair, merged into the pair the rule reports.

    The rule reports each distinct resolvent once; when an eligible literal
    and the resolved literal become equal under the unifier, the ordered
    inference has this same resolvent.
    """
    if not sigma:
        return False
    target_first = first.substitute(sigma)
    target_second = second.substitute(sigma)
    return (any(lit.substitute(sigma) == target_first for lit in mine)
            and any(lit.substitute(sigma) == target_second for lit in allowed))


def _ordered_factor(record: ProofClause, sigma: dict) -> bool:
    """True when the unifier merges an eligible literal of the clause with another positive literal."""
    positives = [lit for lit in record.literals if lit.positive]
    images = {lit: lit.substitute(sigma) for lit in positives}
    for lit in record.eligible:
        image = images.get(lit)
        if image is None:
            continue
        if any(other is not lit and other != lit and images[other] == image for other in positives):
            return True
    return False


def _walk(term, side: int, binding: dict):
    while type(term) is Variable:
        bound = binding.get((side, term))
        if bound is None:
            break
        term, side = bound
    return term, side


def _occurs(var, vside: int, term, side: int, binding: dict) -> bool:
    term, side = _walk(term, side, binding)
    if type(term) is Variable:
        return term == var and side == vside
    if type(term) is FunctionApp:
        return any(_occurs(var, vside, arg, side, binding) for arg in term.args)
    return False


def _unifiable(s, s_side: int, t, t_side: int, binding: dict) -> bool:
    """Robinson unification of two terms whose variables live apart (by side)."""
    s, s_side = _walk(s, s_side, binding)
    t, t_side = _walk(t, t_side, binding)
    if type(s) is Variable:
        if type(t) is Variable and s == t and s_side == t_side:
            return True
        if _occurs(s, s_side, t, t_side, binding):
            return False
        binding[(s_side, s)] = (t, t_side)
        return True
    if type(t) is Variable:
        return _unifiable(t, t_side, s, s_side, binding)
    if type(s) is FunctionApp:
        if type(t) is not FunctionApp or s.func != t.func or s.arity != t.arity:
            return False
        return all(_unifiable(x, s_side, y, t_side, binding) for x, y in zip(s.args, t.args))
    return s == t


def _may_superpose(eq_clause: ProofClause, target: ProofClause) -> bool:
    """True when a side of an eligible equation that is not smaller unifies with a rewritable subterm.

    A necessary condition for an ordered paramodulant from ``eq_clause``
    into ``target``; the two clauses' variables are kept apart.
    """
    sides = []
    for lit in eq_clause.eligible:
        atom = lit.atom
        if lit.positive and isinstance(atom, Equality):
            if not kbo_greater(atom.right, atom.left):
                sides.append(atom.left)
            if not kbo_greater(atom.left, atom.right):
                sides.append(atom.right)
    if not sides:
        return False
    for lit in target.eligible:
        for term in _rewritable_sides(lit.atom):
            for sub in _subterms_innermost(term, []):
                for side in sides:
                    if _unifiable(side, 0, sub, 1, {}):
                        return True
    return False


def _may_paramodulate(eq_clause: ProofClause, target: ProofClause) -> bool:
    """Cheap test: could some rewriting side of eq_clause unify with a subterm of target?"""
    tops = eq_clause.para_from
    if not tops:
        return False
    into = target.para_into
    if not into:
        return False
    return _ANY in tops or not tops.isdisjoint(into)


def _paramodulation_views(given: ProofClause, partner: ProofClause) -> list:
    """(equation literals, eligible ones, target literals, eligible ones) as the rule renamed them."""
    views = []
    for eq_rec, target_rec in ((given, partner), (partner, given)):
        if not eq_rec.eligible_pos_eq:
            continue
        renaming = standardize_clause_variables(eq_rec.clause, target_rec.clause)[2]
        if renaming:
            def ren(lit, renaming=renaming):
                return Literal(atom=substitute_formula(lit.atom, renaming), positive=lit.positive)
            target_lits = tuple(ren(lit) for lit in target_rec.literals)
            target_elig = tuple(ren(lit) for lit in target_rec.eligible)
        else:
            target_lits, target_elig = target_rec.literals, target_rec.eligible
        eq_elig = tuple(lit for lit in eq_rec.eligible if lit.positive and type(lit.atom) is Equality)
        views.append((eq_rec.literals, eq_elig, target_lits, target_elig))
    return views


def _explains(view, para: Clause, sigma: dict) -> bool:
    eq_lits, eq_elig, target_lits, target_elig = view
    produced = set(para.literals)

    def inst(lit):
        return lit.substitute(sigma)

    for e in eq_elig:
        left = substitute_term(e.atom.left, sigma)
        right = substitute_term(e.atom.right, sigma)
        if left == right:
            continue
        sides = []
        if not kbo_greater(right, left):
            sides.append((left, right))
        if not kbo_greater(left, right):
            sides.append((right, left))
        if not sides:
            continue
        rest_eq = {inst(lit) for lit in eq_lits if lit != e}
        if not rest_eq <= produced:
            continue
        for target in target_elig:
            rest = rest_eq | {inst(lit) for lit in target_lits if lit != target}
            if not rest <= produced:
                continue
            extra = produced - rest
            if len(extra) > 1:
                continue
            if not extra:
                return True
            new_lit = next(iter(extra))
            if new_lit.positive is not target.positive:
                continue
            atom = inst(target).atom
            if isinstance(atom, Equality):
                if type(new_lit.atom) is not Equality:
                    continue
                u, v = atom.left, atom.right
                if kbo_greater(u, v) and new_lit.atom.right != v:
                    continue
                if kbo_greater(v, u) and new_lit.atom.left != u:
                    continue
            for source, replacement in sides:
                if new_lit.atom in replace_atom_subterm(atom, source, replacement):
                    return True
    return False
