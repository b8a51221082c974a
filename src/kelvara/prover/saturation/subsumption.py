"""Variable normalization, tautologies, subsumption and variants.

Subsumption is multiset matching (equations in both orientations): distinct
literals of the subsuming clause go to distinct literals of the other.
"""

from __future__ import annotations

from kelvara.core.ast import Equality, PredicateApp, Variable
from kelvara.prover.clausifier import Clause

from .records import ProofClause
from .terms import _collect_vars, _match_term

def normalize_clause(clause: Clause) -> Clause:
    """Rename the variables to ids 0, 1, ... in order of first occurrence."""
    order: dict = {}
    for lit in clause.literals:
        atom = lit.atom
        if isinstance(atom, Equality):
            _collect_vars(atom.left, order)
            _collect_vars(atom.right, order)
        else:
            for arg in atom.args:
                _collect_vars(arg, order)
    if all(var.id == index for var, index in order.items()):
        return clause
    mapping = {var: Variable(index, var.kind, sort=var.sort) for var, index in order.items()}
    return clause.substitute(mapping)


def is_tautology(clause: Clause) -> bool:
    """Complementary literals, or a positive equation t = t."""
    positives = set()
    negatives = set()
    for lit in clause.literals:
        atom = lit.atom
        if lit.positive:
            if isinstance(atom, Equality) and atom.left == atom.right:
                return True
            positives.add(atom)
        else:
            negatives.add(atom)
    return not positives.isdisjoint(negatives)


def _match_atom(pattern, target, binding: dict, symmetric: bool) -> dict | None:
    """A binding extending ``binding`` under which pattern equals target, or None."""
    if type(pattern) is Equality:
        if type(target) is not Equality:
            return None
        trial = dict(binding)
        if _match_term(pattern.left, target.left, trial) and _match_term(pattern.right, target.right, trial):
            return trial
        if symmetric:
            trial = dict(binding)
            if _match_term(pattern.left, target.right, trial) and _match_term(pattern.right, target.left, trial):
                return trial
        return None
    if type(target) is not PredicateApp or pattern.pred != target.pred or pattern.arity != target.arity:
        return None
    trial = dict(binding)
    for p_arg, t_arg in zip(pattern.args, target.args):
        if not _match_term(p_arg, t_arg, trial):
            return None
    return trial


def _subsumes_literals(general: tuple, specific: tuple, symmetric: bool) -> bool:
    """Injective matching: distinct literals of ``general`` go to distinct literals of ``specific``."""
    used = [False] * len(specific)
    n = len(general)

    def extend(index: int, binding: dict) -> bool:
        if index == n:
            return True
        lit = general[index]
        atom = lit.atom
        sign = lit.positive
        for position, target in enumerate(specific):
            if used[position] or target.positive is not sign:
                continue
            trial = _match_atom(atom, target.atom, binding, symmetric)
            if trial is None:
                continue
            if index + 1 == n:
                return True
            used[position] = True
            if extend(index + 1, trial):
                return True
            used[position] = False
        return False

    return extend(0, {})


def subsumes(general, specific) -> bool:
    """True when some substitution maps the literals of ``general`` one-to-one into ``specific``.

    Accepts clauses or ProofClause records; equations match in both
    orientations.  This is multiset subsumption: a clause with more literals
    than the other never subsumes it (factoring covers that case).
    """
    g = general.literals
    s = specific.literals
    if len(g) > len(s):
        return False
    if isinstance(general, ProofClause) and isinstance(specific, ProofClause):
        if general.sig & specific.sig != general.sig:
            return False
        g = general.match_order
    return _subsumes_literals(g, s, True)


def is_variant(first, second, symmetric: bool = False) -> bool:
    """True when the two clauses are equal up to a renaming of variables.

    With ``symmetric``, equations also match with their sides swapped.
    """
    a, b = first.literals, second.literals
    if len(a) != len(b):
        return False
    if symmetric:
        return any(True for _ in _literal_maps(a, b, {}, True, True))
    if not _subsumes_literals(a, b, False) or not _subsumes_literals(b, a, False):
        return False
    return _renaming_match(a, b)


def _renaming_match(a: tuple, b: tuple) -> bool:
    """Both-ways subsumption holds; check that a binding maps variables to variables one-to-one."""
    used = [False] * len(b)

    def extend(index: int, binding: dict) -> bool:
        if index == len(a):
            values = list(binding.values())
            return all(type(v) is Variable for v in values) and len(set(values)) == len(values)
        lit = a[index]
        for position, target in enumerate(b):
            if used[position] or target.positive != lit.positive:
                continue
            trial = _match_atom(lit.atom, target.atom, binding, False)
            if trial is None:
                continue
            used[position] = True
            if extend(index + 1, trial):
                return True
            used[position] = False
        return False

    return extend(0, {})


def _atom_bindings(pattern, target, binding: dict, symmetric: bool):
    """Every extension of ``binding`` under which pattern equals target (both orientations of equations)."""
    if type(pattern) is Equality:
        if type(target) is not Equality:
            return
        pairs = [(target.left, target.right)]
        if symmetric and target.left != target.right:
            pairs.append((target.right, target.left))
        for left, right in pairs:
            trial = dict(binding)
            if _match_term(pattern.left, left, trial) and _match_term(pattern.right, right, trial):
                yield trial
        return
    found = _match_atom(pattern, target, binding, False)
    if found is not None:
        yield found


def _literal_maps(general: tuple, specific: tuple, binding: dict, injective: bool, renaming: bool):
    """The bindings that map each literal of ``general`` onto a literal of ``specific``.

    ``injective``: distinct literals to distinct literals; ``renaming``: the
    binding must take variables to distinct variables.
    """
    used = [False] * len(specific)

    def extend(index: int, binding: dict):
        if index == len(general):
            if renaming:
                values = list(binding.values())
                if not all(type(v) is Variable for v in values) or len(set(values)) != len(values):
                    return
            yield binding
            return
        lit = general[index]
        for position, target in enumerate(specific):
            if (injective and used[position]) or target.positive is not lit.positive:
                continue
            for trial in _atom_bindings(lit.atom, target.atom, binding, True):
                used[position] = True
                yield from extend(index + 1, trial)
                used[position] = False

    return extend(0, binding)


def collapses_onto(general, specific) -> bool:
    """True when an instance of ``general`` has all of its literals among those of ``specific``.

    Non-injective: several literals of ``general`` may become one, so
    ``general`` entails ``specific`` even when it has more literals.
    """
    return any(True for _ in _literal_maps(general.literals, specific.literals, {}, False, False))


def merge_flipped_duplicates(clause: Clause) -> Clause:
    """The clause with an equation dropped when the same equation with its sides swapped is there too."""
    kept: list = []
    seen: set = set()
    changed = False
    for lit in clause.literals:
        atom = lit.atom
        if type(atom) is Equality and (lit.positive, atom.right, atom.left) in seen:
            changed = True
            continue
        if type(atom) is Equality:
            seen.add((lit.positive, atom.left, atom.right))
        kept.append(lit)
    return Clause(frozenset(kept)) if changed else clause


def same_clause(derived, claimed) -> bool:
    """True when ``claimed`` is ``derived`` up to renaming, equation sides and flipped duplicates."""
    if derived == claimed:
        return True
    return is_variant(merge_flipped_duplicates(derived), merge_flipped_duplicates(claimed), True)
