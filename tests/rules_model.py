"""A plain-Python model of the clause-level inference operations.

It follows the documented algorithms line by line over the same companions
(clauses, literals, unifiers) as ``kelvara.prover.rules``, and serves as the
oracle of the property tests and as the baseline of ``bench/bench_rules.py``.
"""

from __future__ import annotations

from kelvara.core.ast import Equality, FunctionApp, PredicateApp, Variable
from kelvara.core.substitutions import UnificationError, unify_formulas, unify_terms
from kelvara.prover.clausifier import Clause, Literal


def standardize_clause_variables(c1, c2):
    vars1 = c1.free_variables()
    vars2 = c2.free_variables()
    shared = vars1 & vars2
    if not shared and (not vars1 or not vars2):
        return c1, c2, {}
    max_id1 = max(v.id for v in vars1)
    max_id2 = max(v.id for v in vars2)
    offset = max(max_id1, max_id2) + 1
    renaming = {v: Variable(v.id + offset, v.kind, sort=v.sort) for v in vars2}
    return c1, c2.substitute(renaming), renaming


def resolve_clauses(c1, c2):
    c1s, c2s, _ = standardize_clause_variables(c1, c2)
    result = []
    produced = set()
    for l1 in c1s.literals:
        for l2 in c2s.literals:
            if l1.positive == l2.positive:
                continue
            try:
                subst = unify_formulas(l1.atom, l2.atom)
                rest1 = {lit for lit in c1s.literals if lit != l1}
                rest2 = {lit for lit in c2s.literals if lit != l2}
                resolvent = Clause(frozenset(rest1 | rest2)).substitute(subst)
                if resolvent in produced:
                    continue
                produced.add(resolvent)
                result.append((resolvent, subst, (l1, l2)))
            except UnificationError:
                continue
    return result


def factor_clause(c):
    lits = list(c.literals)
    n = len(lits)
    result = []
    produced = set()
    for i in range(n):
        for j in range(i + 1, n):
            l1, l2 = lits[i], lits[j]
            if l1.positive != l2.positive:
                continue
            try:
                subst = unify_formulas(l1.atom, l2.atom)
                factor = c.substitute(subst)
                if len(factor.literals) < len(c.literals) and factor not in produced:
                    produced.add(factor)
                    result.append((factor, subst))
            except UnificationError:
                continue
    return result


def extract_subterms(term):
    result = [term]
    if isinstance(term, FunctionApp):
        for arg in term.args:
            result.extend(extract_subterms(arg))
    return result


def extract_atom_subterms(atom):
    if isinstance(atom, PredicateApp):
        return [s for arg in atom.args for s in extract_subterms(arg)]
    if isinstance(atom, Equality):
        return extract_subterms(atom.left) + extract_subterms(atom.right)
    return []


def replace_subterm(term, target, replacement):
    result = []
    if term == target:
        result.append(replacement)
    if isinstance(term, FunctionApp):
        for i, arg in enumerate(term.args):
            for r in replace_subterm(arg, target, replacement):
                args = list(term.args)
                args[i] = r
                result.append(FunctionApp(term.func, term.arity, tuple(args), term.return_sort))
    return result


def replace_atom_subterm(atom, target, replacement):
    result = []
    if isinstance(atom, PredicateApp):
        for i, arg in enumerate(atom.args):
            for r in replace_subterm(arg, target, replacement):
                args = list(atom.args)
                args[i] = r
                result.append(PredicateApp(atom.pred, atom.arity, tuple(args)))
    elif isinstance(atom, Equality):
        for r in replace_subterm(atom.left, target, replacement):
            result.append(Equality(r, atom.right))
        for r in replace_subterm(atom.right, target, replacement):
            result.append(Equality(atom.left, r))
    return result


def _paramodulation_pass(a, b, result, produced):
    a_s, b_s, _ = standardize_clause_variables(a, b)
    for e in a_s.literals:
        if not e.positive or not isinstance(e.atom, Equality):
            continue
        lhs, rhs = e.atom.left, e.atom.right
        for s, t in ((lhs, rhs), (rhs, lhs)):
            for g in b_s.literals:
                for u in extract_atom_subterms(g.atom):
                    if isinstance(u, Variable):
                        continue
                    try:
                        subst = unify_terms(u, s)
                        for new_atom in replace_atom_subterm(g.atom, u, t):
                            new_lit = Literal(atom=new_atom, positive=g.positive)
                            rest_a = {lit for lit in a_s.literals if lit != e}
                            rest_b = {lit for lit in b_s.literals if lit != g}
                            para = Clause(frozenset(rest_a | rest_b | {new_lit})).substitute(subst)
                            if para in produced:
                                continue
                            produced.add(para)
                            result.append((para, subst))
                    except UnificationError:
                        continue


def paramodulate(c1, c2):
    result = []
    produced = set()
    _paramodulation_pass(c1, c2, result, produced)
    _paramodulation_pass(c2, c1, result, produced)
    return result
