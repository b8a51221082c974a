"""Index keys and subsumption features of clauses.

Fine keys (sign, predicate and the top symbol of the first argument, with
variables as wildcards) file clauses for retrieval; feature counts and the
bit signatures built from them let subsumption reject most candidates
before any matching.
"""

from __future__ import annotations

from typing import Any

from kelvara.core.ast import Constant, Equality, FunctionApp, Variable

from .terms import _ANY, EQUALITY_KEY, _top, literal_key

def _features(literals) -> dict:
    """Counts that a substitution never lowers: literals per sign and predicate, symbol occurrences.

    Under injective matching a clause subsumes another only if each of its
    counts is at most the other's count.
    """
    counts: dict = {}
    for lit in literals:
        key = literal_key(lit)
        counts[key] = counts.get(key, 0) + 1
        atom = lit.atom
        stack: list[Any]
        if isinstance(atom, Equality):
            stack = [atom.left, atom.right]
        else:
            stack = list(atom.args)
            # The top symbol at each argument position survives substitution,
            # and a ground literal can only match itself.
            ground = True
            for position, arg in enumerate(stack):
                if type(arg) is Variable:
                    ground = False
                    continue
                if ground and type(arg) is FunctionApp and arg._free_vars:
                    ground = False
                _position_features(arg, (key, position), _PATH_DEPTH, counts)
            if ground:
                counts[lit] = counts.get(lit, 0) + 1
        while stack:
            term = stack.pop()
            kind = type(term)
            if kind is FunctionApp:
                sym = (term.func, term.arity)
                counts[sym] = counts.get(sym, 0) + 1
                stack.extend(term.args)
            elif kind is Constant:
                counts[term.name] = counts.get(term.name, 0) + 1
    return counts


_PATH_DEPTH = 6  # depth of the argument positions whose symbols are features


def _position_features(term, path: tuple, depth: int, counts: dict) -> None:
    """Count (path, symbol) for the non-variable positions of a term down to ``depth``."""
    feature = (path, _top(term))
    counts[feature] = counts.get(feature, 0) + 1
    if depth > 1 and type(term) is FunctionApp:
        for index, arg in enumerate(term.args):
            if type(arg) is not Variable:
                _position_features(arg, path + (index,), depth - 1, counts)


_FEATURE_BITS: dict = {}


_LADDER = 4  # count levels encoded in a signature


def _signature(features: dict) -> int:
    """A bit set of (feature, level) for each level below the feature's count (up to _LADDER).

    Counts never drop under a substitution, so when one clause subsumes
    another, the signature of the first is a subset of the other's.
    """
    bits = _FEATURE_BITS
    sig = 0
    for key, count in features.items():
        for level in range(count if count < _LADDER else _LADDER):
            bit = bits.get((key, level))
            if bit is None:
                bit = bits[(key, level)] = 1 << len(bits)
            sig |= bit
    return sig


def fine_key(lit) -> tuple:
    """Sign, predicate and top symbols of a literal's (first) arguments, variables as wildcards."""
    atom = lit.atom
    if isinstance(atom, Equality):
        a, b = _top(atom.left), _top(atom.right)
        return (lit.positive, EQUALITY_KEY, (a, b) if a <= b else (b, a))
    return (lit.positive, atom.pred, atom.arity, _top(atom.args[0]) if atom.args else None)


def generalized_keys(lit, sign: bool | None = None) -> list:
    """The fine keys of every literal that could match onto ``lit``.

    With ``sign`` given, the keys of the literals of that sign that could
    match onto the atom of ``lit``.
    """
    atom = lit.atom
    if sign is None:
        sign = lit.positive
    if isinstance(atom, Equality):
        a, b = _top(atom.left), _top(atom.right)
        keys = set()
        for x in (a, _ANY):
            for y in (b, _ANY):
                keys.add((sign, EQUALITY_KEY, (x, y) if x <= y else (y, x)))
        return list(keys)
    if not atom.args:
        return [(sign, atom.pred, atom.arity, None)]
    top = _top(atom.args[0])
    if top == _ANY:
        return [(sign, atom.pred, atom.arity, _ANY)]
    return [(sign, atom.pred, atom.arity, top), (sign, atom.pred, atom.arity, _ANY)]
