"""Unification and substitution of terms and formulas.

A substitution is a mapping from :class:`~kelvara.core.ast.Variable` to term,
applied simultaneously.  The unifiers return idempotent most general unifiers
(no variable bound by the result occurs in any term of its range), so applying
a unifier once is enough.

These functions sit on the hot path of the resolution prover.  They dispatch
on the exact node class first, read node fields directly, skip every subtree
whose cached free-variable set does not meet the mapping, and return the very
same object for any part that the substitution leaves unchanged.
"""

from __future__ import annotations

from typing import Any, Mapping, overload

from kelvara.core.ast import (
    And,
    Constant,
    Equality,
    Exists,
    Forall,
    Formula,
    FunctionApp,
    Iff,
    Implies,
    Not,
    Or,
    PredicateApp,
    Term,
    Variable,
    free_variables,
)
from kelvara.core.exceptions import InvalidFormulaError, UnificationError

__all__ = [
    "UnificationError",
    "unify_terms",
    "unify_formulas",
    "substitute_term",
    "substitute_formula",
]

_SECOND_ORDER = frozenset({"ForallPred", "ExistsPred", "ForallFunc", "ExistsFunc"})


# ---------------------------------------------------------------------------
# Substitution of terms


def substitute_term(term: Term, mapping: Mapping[Variable, Term]) -> Term:
    """Apply ``mapping`` (Variable -> term) simultaneously to ``term``.

    Returns ``term`` itself when no variable of the mapping occurs in it; an
    application is rebuilt only when one of its arguments changed.  Objects
    that are not terms are returned unchanged.
    """
    if not mapping:
        return term
    return _subst_term(term, mapping)


def _subst_term(term: Any, mapping: Mapping[Any, Any]) -> Any:
    cls = type(term)
    if cls is Variable:
        return mapping.get(term, term)
    if cls is FunctionApp:
        if term._free_vars.isdisjoint(mapping):
            return term
        args = term.args
        new_args = [_subst_term(a, mapping) for a in args]
        for old, new in zip(args, new_args):
            if old is not new:
                return FunctionApp(term.func, term.arity, tuple(new_args), term.return_sort)
        return term
    if cls is Constant:
        return term
    # Subclasses of the node classes take the generic path.
    if isinstance(term, Variable):
        return mapping.get(term, term)
    if isinstance(term, FunctionApp):
        args = term.args
        rebuilt = tuple(_subst_term(a, mapping) for a in args)
        if any(o is not n for o, n in zip(args, rebuilt)):
            return FunctionApp(term.func, term.arity, rebuilt, term.return_sort)
    return term


# ---------------------------------------------------------------------------
# Substitution of formulas


@overload
def substitute_formula(formula: PredicateApp, mapping: Mapping[Variable, Term]) -> PredicateApp: ...
@overload
def substitute_formula(formula: Equality, mapping: Mapping[Variable, Term]) -> Equality: ...
@overload
def substitute_formula(
    formula: PredicateApp | Equality, mapping: Mapping[Variable, Term]
) -> PredicateApp | Equality: ...
@overload
def substitute_formula(formula: Formula, mapping: Mapping[Variable, Term]) -> Formula: ...
@overload
def substitute_formula(formula: Term, mapping: Mapping[Variable, Term]) -> Term: ...
def substitute_formula(formula: Any, mapping: Mapping[Variable, Term]) -> Any:
    """Apply ``mapping`` (Variable -> term) simultaneously to the free variables of ``formula``.

    The substitution is capture-avoiding: a quantifier whose bound variable
    occurs in a replacement term that is actually inserted below it is renamed
    to a fresh variable (same sort and kind, an ``id`` larger than every id in
    the formula and in the mapping).  A quantifier's own bound variable is
    never replaced below it.  Second-order quantifiers are substituted through
    their ``body`` and keep their bound predicate or function variable.
    Unchanged subtrees are shared; when nothing changes ``formula`` itself is
    returned.  Terms are accepted too and handled as by :func:`substitute_term`.
    """
    if not mapping:
        return formula
    # Atoms, the common case, need neither a dict nor the renaming state.
    cls = type(formula)
    if cls is PredicateApp:
        if formula._free_vars.isdisjoint(mapping):
            return formula
        args = formula.args
        new_args = [_subst_term(a, mapping) for a in args]
        for old, new in zip(args, new_args):
            if old is not new:
                return PredicateApp(formula.pred, formula.arity, tuple(new_args))
        return formula
    if cls is Equality:
        if formula._free_vars.isdisjoint(mapping):
            return formula
        left = _subst_term(formula.left, mapping)
        right = _subst_term(formula.right, mapping)
        if left is formula.left and right is formula.right:
            return formula
        return Equality(left, right)
    if type(mapping) is not dict:
        mapping = dict(mapping)
    return _subst_formula(formula, mapping, _Scope(formula, mapping))


class _Scope:
    """Renaming state of one substitution, computed on first need.

    ``range_vars`` (the variables of the replacement terms) is needed only at a
    quantifier, and the next fresh id only when a quantifier is renamed.
    """

    __slots__ = ("formula", "mapping", "_range_vars", "next_id")

    def __init__(self, formula: Any, mapping: Mapping[Any, Any]) -> None:
        self.formula = formula
        self.mapping = mapping
        self._range_vars: set | None = None
        self.next_id = -1

    @property
    def range_vars(self) -> set:
        rv = self._range_vars
        if rv is None:
            rv = set()
            for value in self.mapping.values():
                if type(value) is Variable:
                    rv.add(value)
                elif type(value) is not Constant:
                    rv.update(free_variables(value))
            self._range_vars = rv
        return rv

    def fresh(self, template: Any) -> Any:
        if self.next_id < 0:
            top = max_variable_id(self.formula)
            for v in self.mapping:
                if isinstance(v, Variable) and v.id > top:
                    top = v.id
            for v in self.range_vars:
                if v.id > top:
                    top = v.id
            self.next_id = top + 1
        new = Variable(self.next_id, template.kind, sort=template.sort)
        self.next_id += 1
        return new


def _subst_formula(f: Any, mapping: dict, state: _Scope) -> Any:
    cls = type(f)
    if cls is PredicateApp:
        if f._free_vars.isdisjoint(mapping):
            return f
        args = f.args
        new_args = [_subst_term(a, mapping) for a in args]
        for old, new in zip(args, new_args):
            if old is not new:
                return PredicateApp(f.pred, f.arity, tuple(new_args))
        return f
    if cls is Equality:
        if f._free_vars.isdisjoint(mapping):
            return f
        left = _subst_term(f.left, mapping)
        right = _subst_term(f.right, mapping)
        if left is f.left and right is f.right:
            return f
        return Equality(left, right)
    if cls is Not:
        op = _subst_formula(f.operand, mapping, state)
        return f if op is f.operand else Not(op)
    if cls is And or cls is Or or cls is Implies or cls is Iff:
        left = _subst_formula(f.left, mapping, state)
        right = _subst_formula(f.right, mapping, state)
        if left is f.left and right is f.right:
            return f
        return cls(left, right)
    if cls is Forall or cls is Exists:
        return _subst_quantifier(f, cls, mapping, state)
    if cls is Variable or cls is FunctionApp or cls is Constant:
        return _subst_term(f, mapping)
    if cls.__name__ in _SECOND_ORDER:
        body = _subst_formula(f.body, mapping, state)
        return f if body is f.body else cls(variable=f.variable, body=body)
    # Subclasses of the node classes: the same rules through isinstance.
    if isinstance(f, (PredicateApp, Equality, Variable, FunctionApp, Constant)):
        return _subst_atom_generic(f, mapping)
    if isinstance(f, Not):
        op = _subst_formula(f.operand, mapping, state)
        return f if op is f.operand else Not(op)
    for base in (And, Or, Implies, Iff):
        if isinstance(f, base):
            left = _subst_formula(f.left, mapping, state)
            right = _subst_formula(f.right, mapping, state)
            if left is f.left and right is f.right:
                return f
            return base(left, right)
    for quantifier in (Forall, Exists):
        if isinstance(f, quantifier):
            return _subst_quantifier(f, quantifier, mapping, state)
    raise InvalidFormulaError("Unsupported AST node type: " + str(cls))


def _subst_atom_generic(f: Any, mapping: dict) -> Any:
    if isinstance(f, PredicateApp):
        args = f.args
        new_args = tuple(_subst_term(a, mapping) for a in args)
        if any(o is not n for o, n in zip(args, new_args)):
            return PredicateApp(f.pred, f.arity, new_args)
        return f
    if isinstance(f, Equality):
        left = _subst_term(f.left, mapping)
        right = _subst_term(f.right, mapping)
        if left is f.left and right is f.right:
            return f
        return Equality(left, right)
    return _subst_term(f, mapping)


def _subst_quantifier(f: Any, cls: Any, mapping: dict, state: _Scope) -> Any:
    var = f.variable
    body = f.body
    if var in mapping:
        mapping = {k: v for k, v in mapping.items() if k != var}
        if not mapping:
            return f
    if var in state.range_vars:
        # Renaming is needed only when a replacement mentioning ``var`` is
        # actually inserted below this quantifier.
        body_free = free_variables(body)
        for k, v in mapping.items():
            if k in body_free and (v == var or (type(v) is not Variable and var in free_variables(v))):
                new_var = state.fresh(var)
                inner = dict(mapping)
                inner[var] = new_var
                new_body = _subst_formula(body, inner, state)
                return cls(new_var, new_body)
    new_body = _subst_formula(body, mapping, state)
    return f if new_body is body else cls(var, new_body)


def max_variable_id(node: Any) -> int:
    """Largest ``id`` of any Variable occurring in ``node`` (free or bound), or -1."""
    top = -1
    stack = [node]
    pop = stack.pop
    push = stack.append
    while stack:
        n = pop()
        cls = type(n)
        if cls is PredicateApp or cls is FunctionApp or cls is Equality:
            for v in n._free_vars:
                if v.id > top:
                    top = v.id
        elif cls is Variable:
            if n.id > top:
                top = n.id
        elif cls is Constant:
            pass
        elif cls is Not:
            push(n.operand)
        elif cls is And or cls is Or or cls is Implies or cls is Iff:
            push(n.right)
            push(n.left)
        elif cls is Forall or cls is Exists:
            push(n.variable)
            push(n.body)
        elif cls.__name__ in _SECOND_ORDER:
            push(n.body)
        elif isinstance(n, Variable):
            if n.id > top:
                top = n.id
        elif isinstance(n, (PredicateApp, FunctionApp, Equality)):
            for v in free_variables(n):
                if v.id > top:
                    top = v.id
        elif isinstance(n, Not):
            push(n.operand)
        elif isinstance(n, (And, Or, Implies, Iff)):
            push(n.right)
            push(n.left)
        elif isinstance(n, (Forall, Exists)):
            push(n.variable)
            push(n.body)
    return top


# ---------------------------------------------------------------------------
# Unification


def _sort_of(term: Any) -> Any:
    return getattr(term, "sort", None)


def _bind(var: Any, term: Any, subst: dict) -> None:
    """Extend the idempotent ``subst`` with var := term (term already resolved)."""
    if type(term) is Variable or isinstance(term, Variable):
        if var == term:
            return
    elif type(term) is FunctionApp:
        if var in term._free_vars:
            raise UnificationError("occurs check", var, term)
    elif type(term) is not Constant and var in free_variables(term):
        raise UnificationError("occurs check", var, term)
    if var.sort is not _sort_of(term) and var.sort != _sort_of(term):
        raise UnificationError("sort mismatch", var, term)
    if subst:
        single = {var: term}
        for k, v in subst.items():
            if type(v) is Variable:
                if v == var:
                    subst[k] = term
            elif type(v) is FunctionApp and var in v._free_vars:
                subst[k] = _subst_term(v, single)
    subst[var] = term


def _unify_pairs(pairs: list, subst: dict) -> dict:
    pop = pairs.pop
    push = pairs.append
    while pairs:
        a, b = pop()
        if a is b:
            continue
        ca = type(a)
        cb = type(b)
        # Resolve both sides against the current (idempotent) substitution.
        if ca is Variable:
            a = subst.get(a, a)
        elif ca is FunctionApp and subst and not a._free_vars.isdisjoint(subst):
            a = _subst_term(a, subst)
        if cb is Variable:
            b = subst.get(b, b)
        elif cb is FunctionApp and subst and not b._free_vars.isdisjoint(subst):
            b = _subst_term(b, subst)
        if a is b:
            continue
        ca = type(a)
        cb = type(b)
        if ca is Variable or (ca is not FunctionApp and ca is not Constant and isinstance(a, Variable)):
            _bind(a, b, subst)
        elif cb is Variable or (cb is not FunctionApp and cb is not Constant and isinstance(b, Variable)):
            _bind(b, a, subst)
        elif ca is FunctionApp and cb is FunctionApp:
            if a.func != b.func or a.arity != b.arity or a.return_sort != b.return_sort:
                raise UnificationError("symbol clash", a, b)
            for x, y in zip(a.args, b.args):
                if x is not y:
                    push((x, y))
        elif a == b:
            continue
        elif isinstance(a, FunctionApp) and isinstance(b, FunctionApp) and type(a) is type(b):
            if a.func != b.func or a.arity != b.arity or a.return_sort != b.return_sort:
                raise UnificationError("symbol clash", a, b)
            pairs.extend(zip(a.args, b.args))
        else:
            raise UnificationError("cannot unify", a, b)
    return subst


def _start(subst: Mapping[Any, Any] | None) -> dict:
    """A copy of the substitution to extend, which must be idempotent: a
    variable occurring in a value and bound itself must be bound to itself.
    Anything else could make unification run forever; it raises ValueError."""
    if not subst:
        return {}
    s = dict(subst)
    for value in s.values():
        for u in free_variables(value):
            w = s.get(u, u)
            if w is not u and w != u:
                raise ValueError("the substitution to extend is not idempotent")
    return s


def unify_terms(t1: Term, t2: Term, subst: Mapping[Variable, Term] | None = None) -> dict[Variable, Term]:
    """Return the most general unifier of two terms as a new dict Variable -> term.

    The result is idempotent.  ``subst``, if given, is an idempotent
    substitution to extend (it is copied, never modified).  A variable unifies
    only with a term of the same sort; a variable is never bound to a term
    that contains it (occurs check).  Raises :class:`UnificationError` when no
    unifier exists.
    """
    return _unify_pairs([(t1, t2)], _start(subst))


def unify_formulas(a1: Formula, a2: Formula, subst: Mapping[Variable, Term] | None = None) -> dict[Variable, Term]:
    """Return the most general unifier of two atoms as a new dict Variable -> term.

    Two ``PredicateApp`` atoms unify when they have the same predicate symbol
    and arity and their arguments unify pairwise; two ``Equality`` atoms unify
    left with left and right with right (no symmetry).  Any other combination
    raises :class:`UnificationError`, as does every failure of
    :func:`unify_terms`.
    """
    if isinstance(a1, PredicateApp) and isinstance(a2, PredicateApp):
        if a1.pred != a2.pred or a1.arity != a2.arity or len(a1.args) != len(a2.args):
            raise UnificationError("predicate clash", a1, a2)
        pairs = list(zip(a1.args, a2.args))
        pairs.reverse()
        return _unify_pairs(pairs, _start(subst))
    if isinstance(a1, Equality) and isinstance(a2, Equality):
        return _unify_pairs([(a1.right, a2.right), (a1.left, a2.left)], _start(subst))
    raise UnificationError("node clash", a1, a2)


# ---------------------------------------------------------------------------
# Native twin

#: The pure-Python implementation.  It is the reference that the native twin
#: in ``kelvara._native`` follows result for result, and the twin hands it every
#: input outside its fast path (subclasses of node classes, second-order
#: quantifiers, mappings that are not dicts).
python_implementation = {
    "unify_terms": unify_terms,
    "unify_formulas": unify_formulas,
    "substitute_term": substitute_term,
    "substitute_formula": substitute_formula,
}

try:
    from kelvara import _native
except ImportError:  # built without the native module: the reference serves
    _native = None  # type: ignore[assignment]
else:
    unify_terms = _native.unify_terms  # type: ignore[assignment]  # noqa: F811
    unify_formulas = _native.unify_formulas  # type: ignore[assignment]  # noqa: F811
    substitute_term = _native.substitute_term  # type: ignore[assignment]  # noqa: F811
    substitute_formula = _native.substitute_formula  # type: ignore[assignment]  # noqa: F811
