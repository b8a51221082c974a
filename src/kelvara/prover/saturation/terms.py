"""Term and literal helpers of the saturation prover.

Symbol-count weights, literal keys (sign and predicate), top symbols,
non-variable subterms, variables and one-way matching of terms.
"""

from __future__ import annotations

from typing import Iterable

from kelvara.core.ast import Constant, Equality, FunctionApp, Variable

EQUALITY_KEY = "="


def literal_key(lit) -> tuple[bool, object]:
    atom = lit.atom
    if isinstance(atom, Equality):
        return (lit.positive, EQUALITY_KEY)
    return (lit.positive, (atom.pred, atom.arity))


def _term_weight(term) -> int:
    kind = type(term)
    if kind is FunctionApp:
        total = 2
        for arg in term.args:
            total += _term_weight(arg)
        return total
    if kind is Variable:
        return 1
    return 2


def clause_weight(literals: Iterable) -> int:
    """Symbol count: 2 per function, constant and predicate symbol, 1 per variable."""
    total = 0
    for lit in literals:
        atom = lit.atom
        if isinstance(atom, Equality):
            total += 1 + _term_weight(atom.left) + _term_weight(atom.right)
        else:
            total += 2
            for arg in atom.args:
                total += _term_weight(arg)
    return total


def _top(term):
    kind = type(term)
    if kind is FunctionApp:
        return (term.func, term.arity)
    if kind is Constant:
        return (term.name, 0)
    return ("", -1)  # a variable: matches any top symbol


_ANY = ("", -1)


def _symbols_of_term(term, out: set) -> None:
    kind = type(term)
    if kind is FunctionApp:
        out.add(term.func)
        for arg in term.args:
            _symbols_of_term(arg, out)
    elif kind is Constant:
        out.add(term.name)


def _collect_vars(term, order: dict) -> None:
    kind = type(term)
    if kind is Variable:
        if term not in order:
            order[term] = len(order)
    elif kind is FunctionApp:
        for arg in term.args:
            _collect_vars(arg, order)


def _subterms_innermost(term, out: list) -> list:
    """Non-variable subterms, arguments before the term itself."""
    kind = type(term)
    if kind is FunctionApp:
        for arg in term.args:
            _subterms_innermost(arg, out)
        out.append(term)
    elif kind is Constant:
        out.append(term)
    return out


def _term_vars(term, out: set) -> set:
    kind = type(term)
    if kind is Variable:
        out.add(term)
    elif kind is FunctionApp:
        for arg in term.args:
            _term_vars(arg, out)
    return out


def _match_term(pattern, target, binding: dict) -> bool:
    """Extend ``binding`` so that pattern instantiated equals target (one-way matching)."""
    kind = type(pattern)
    if kind is Variable:
        bound = binding.get(pattern)
        if bound is None:
            binding[pattern] = target
            return True
        return bound == target
    if kind is FunctionApp:
        if type(target) is not FunctionApp or target.func != pattern.func or target.arity != pattern.arity:
            return False
        for p_arg, t_arg in zip(pattern.args, target.args):
            if not _match_term(p_arg, t_arg, binding):
                return False
        return True
    return pattern == target
