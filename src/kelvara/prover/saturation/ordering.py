"""Term ordering and literal selection.

Resolution is restricted to *eligible* literals: the selected literal of a
clause when it has one (a heaviest negative literal), otherwise the
literals that no other literal of the clause exceeds in a Knuth-Bendix
ordering (all symbols weigh 1, precedence by arity then name).  The
ordering of non-ground terms is stable under substitution, so a literal
excluded here is never maximal in an instance either: every ordered
resolution inference with selection is still performed.
"""

from __future__ import annotations

from kelvara.core.ast import Constant, Equality, FunctionApp, Variable

from .terms import EQUALITY_KEY, clause_weight, literal_key

def _symbol_of(term):
    kind = type(term)
    if kind is FunctionApp:
        return (term.arity, str(term.func))
    if kind is Constant:
        return (0, term.name)
    return (0, str(term))


_KBO_INFO: dict = {}


_KBO_GREATER: dict = {}


_CACHE_LIMIT = 400_000


def _kbo_data(term, counts: dict) -> int:
    """Weight of a term; adds its variable occurrences to counts."""
    kind = type(term)
    if kind is Variable:
        counts[term] = counts.get(term, 0) + 1
        return 1
    if kind is FunctionApp:
        weight = 1
        for arg in term.args:
            weight += _kbo_data(arg, counts)
        return weight
    return 1


def _kbo_info(term) -> tuple:
    """(weight, variable occurrence counts) of a term, cached per node."""
    info = _KBO_INFO.get(term)
    if info is None:
        counts: dict = {}
        info = (_kbo_data(term, counts), counts)
        if len(_KBO_INFO) >= _CACHE_LIMIT:
            _KBO_INFO.clear()
        _KBO_INFO[term] = info
    return info


def _occurs_in(var, term) -> bool:
    if term == var:
        return True
    if type(term) is FunctionApp:
        return any(_occurs_in(var, arg) for arg in term.args)
    return False


def kbo_greater(s, t) -> bool:
    """s > t in the Knuth-Bendix ordering over terms (atoms given as terms)."""
    key = (s, t)
    result = _KBO_GREATER.get(key)
    if result is None:
        result = _kbo_greater(s, t)
        if len(_KBO_GREATER) >= _CACHE_LIMIT:
            _KBO_GREATER.clear()
        _KBO_GREATER[key] = result
    return result


def _kbo_greater(s, t) -> bool:
    if s == t:
        return False
    ws, counts_s = _kbo_info(s)
    wt, counts_t = _kbo_info(t)
    for var, count in counts_t.items():
        if counts_s.get(var, 0) < count:
            return False
    if ws != wt:
        return ws > wt
    if type(t) is Variable:
        return _occurs_in(t, s)
    if type(s) is Variable:
        return False
    fs, ft = _symbol_of(s), _symbol_of(t)
    if fs != ft:
        return fs > ft
    for a, b in zip(getattr(s, "args", ()), getattr(t, "args", ())):
        if a != b:
            return kbo_greater(a, b)
    return False


def _atom_as_term(atom):
    if isinstance(atom, Equality):
        # Equations rank below every predicate atom of the same weight.
        return FunctionApp("!eq", 2, (atom.left, atom.right))
    return FunctionApp("$p:" + str(atom.pred), atom.arity, atom.args)


def literal_greater(a, b) -> bool:
    ta, tb = _atom_as_term(a.atom), _atom_as_term(b.atom)
    if ta == tb:
        return (not a.positive) and b.positive
    return kbo_greater(ta, tb)


def _is_ground_literal(lit) -> bool:
    fv = getattr(lit.atom, "_free_vars", None)
    return not fv


def _select_heaviest(negatives: list):
    return max(negatives, key=lambda lit: (clause_weight((lit,)), literal_key(lit)[1] != EQUALITY_KEY))


def _select_ground_first(negatives: list):
    ground = [lit for lit in negatives if _is_ground_literal(lit)]
    return _select_heaviest(ground or negatives)


def _select_fewest_variables(negatives: list):
    return max(negatives, key=lambda lit: (-len(lit.atom._free_vars or ()), clause_weight((lit,)),
                                           literal_key(lit)[1] != EQUALITY_KEY))


def _select_none(negatives: list):
    return None


SELECTIONS = {
    "heaviest": _select_heaviest,
    "ground-first": _select_ground_first,
    "fewest-variables": _select_fewest_variables,
    "none": _select_none,
}


def eligible_literals(literals: tuple, selection: str = "heaviest") -> tuple:
    """The literals of a clause that resolution and paramodulation may use.

    A clause with a negative literal has one of them selected by the named
    strategy (``SELECTIONS``); otherwise (or with no selection) its
    maximal literals are eligible.
    """
    negatives = [lit for lit in literals if not lit.positive]
    if negatives:
        best = SELECTIONS[selection](negatives)
        if best is not None:
            return (best,)
    return tuple(lit for lit in literals if not any(literal_greater(other, lit) for other in literals
                                                     if other is not lit))


def _rewritable_sides(atom) -> tuple:
    """The parts of an atom that ordered paramodulation may rewrite into.

    Every argument of a predicate atom; of an equation the sides that are
    not smaller than the other side (an ordering that holds before
    substitution holds after it).
    """
    if isinstance(atom, Equality):
        left, right = atom.left, atom.right
        if kbo_greater(left, right):
            return (left,)
        if kbo_greater(right, left):
            return (right,)
        return (left, right)
    return atom.args
