"""Higher-order pattern matching and predicate substitution.

A *predicate binding* is the abstraction ``lambda v1..vk. body`` written as
the pair ``((v1, ..., vk), body)``: a tuple of distinct parameter
``Variable``s and a formula.  :func:`ho_pattern_unify` produces such
bindings; :func:`substitute_predicate` plugs them in, replacing each
application ``P(t1, ..., tk)`` of a bound predicate variable by ``body`` with
``vi`` replaced by ``ti`` (beta-reduction).

Matching works on the pattern fragment: a predicate variable of the template
applied to distinct *local* variables (variables bound by an enclosing
quantifier of the template, or listed in ``bound_vars``).  Everything else in
the template is rigid and must match the target exactly, except the template's
free individual variables, which are matched first-order.
"""

from __future__ import annotations

from typing import Any, Iterable, Mapping

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
    Variable,
    free_variables,
)
from kelvara.core.exceptions import InvalidFormulaError
from kelvara.core.substitutions import max_variable_id, substitute_formula, substitute_term
from kelvara.sol.ast_ext import PredicateVariable

__all__ = ["ho_pattern_unify", "substitute_predicate"]

_SECOND_ORDER = ("ForallPred", "ExistsPred", "ForallFunc", "ExistsFunc")
_BINARY = (And, Or, Implies, Iff)


class _NoMatch(Exception):
    pass


def _alpha_equal(a: Any, b: Any) -> bool:
    if a == b:
        return True
    try:
        from kelvara.core.ast import canonicalize_bound_variables
    except ImportError:  # pragma: no cover - older builds of the node module
        return False
    return bool(canonicalize_bound_variables(a) == canonicalize_bound_variables(b))


def _flex_argument_variables(template: Any) -> set:
    """Free variables used as arguments of predicate-variable applications in ``template``."""
    found: set = set()
    stack: list[tuple[Any, frozenset[Variable]]] = [(template, frozenset())]
    while stack:
        n, bound = stack.pop()
        if isinstance(n, PredicateApp):
            if isinstance(n.pred, PredicateVariable):
                found.update(a for a in n.args if isinstance(a, Variable) and a not in bound)
        elif isinstance(n, Not):
            stack.append((n.operand, bound))
        elif isinstance(n, _BINARY):
            stack.append((n.left, bound))
            stack.append((n.right, bound))
        elif isinstance(n, (Forall, Exists)):
            stack.append((n.body, bound | {n.variable}))
        elif hasattr(n, "body"):
            stack.append((n.body, bound))
    return found


class _Matcher:
    def __init__(self, template: Any, target: Any, local: set) -> None:
        self.template = template
        self.target = target
        self.result: dict = {}
        self.next_id = -1
        self.extra_ids = [v.id for v in local]

    def fresh(self, var: Any) -> Any:
        if self.next_id < 0:
            self.next_id = max(
                [max_variable_id(self.template), max_variable_id(self.target), *self.extra_ids]
            ) + 1
        new = Variable(self.next_id, var.kind, sort=var.sort)
        self.next_id += 1
        return new

    # -- terms ---------------------------------------------------------------
    def term(self, s: Any, u: Any, local: frozenset) -> None:
        if isinstance(s, Variable):
            if s in local:
                if s != u:
                    raise _NoMatch
                return
            prev = self.result.get(s)
            if prev is not None:
                if prev != u:
                    raise _NoMatch
                return
            if s.sort != getattr(u, "sort", None):
                raise _NoMatch
            if not isinstance(u, (Variable, Constant, FunctionApp)):
                raise _NoMatch
            if local and not local.isdisjoint(free_variables(u)):
                raise _NoMatch  # a bound variable would escape its scope
            self.result[s] = u
            return
        if isinstance(s, FunctionApp):
            if (
                type(u) is not type(s)
                or s.func != u.func
                or s.arity != u.arity
                or s.return_sort != u.return_sort
                or len(s.args) != len(u.args)
            ):
                raise _NoMatch
            for a, b in zip(s.args, u.args):
                self.term(a, b, local)
            return
        if type(s) is not type(u) or s != u:
            raise _NoMatch

    # -- formulas ------------------------------------------------------------
    def formula(self, t: Any, g: Any, local: frozenset, rigid: frozenset) -> None:
        if isinstance(t, PredicateApp) and isinstance(t.pred, PredicateVariable) and t.pred not in rigid:
            if self.flex(t, g, local):
                return
        if type(g) is not type(t):
            raise _NoMatch
        if isinstance(t, PredicateApp):
            if t.pred != g.pred or t.arity != g.arity or len(t.args) != len(g.args):
                raise _NoMatch
            for a, b in zip(t.args, g.args):
                self.term(a, b, local)
        elif isinstance(t, Equality):
            self.term(t.left, g.left, local)
            self.term(t.right, g.right, local)
        elif isinstance(t, Not):
            self.formula(t.operand, g.operand, local, rigid)
        elif isinstance(t, _BINARY):
            self.formula(t.left, g.left, local, rigid)
            self.formula(t.right, g.right, local, rigid)
        elif isinstance(t, (Forall, Exists)):
            u, w = t.variable, g.variable
            if not isinstance(u, Variable) or not isinstance(w, Variable):
                raise _NoMatch
            if u.sort != w.sort or u.kind != w.kind:
                raise _NoMatch
            tb, gb = t.body, g.body
            if u != w:
                if u not in free_variables(gb):
                    gb = substitute_formula(gb, {w: u})
                else:
                    c = self.fresh(u)
                    tb = substitute_formula(tb, {u: c})
                    gb = substitute_formula(gb, {w: c})
                    u = c
            self.formula(tb, gb, local | {u}, rigid)
        elif type(t).__name__ in _SECOND_ORDER:
            if t.variable != g.variable:
                raise _NoMatch
            self.formula(t.body, g.body, local, rigid | {t.variable})
        elif t != g:
            raise _NoMatch

    def flex(self, t: Any, g: Any, local: frozenset) -> bool:
        """Solve P(v1..vk) := g; False when ``t`` is not in the pattern fragment."""
        params = t.args
        if not all(isinstance(v, Variable) and v in local for v in params):
            return False
        if len(set(params)) != len(params):
            return False
        if not isinstance(g, Formula) or isinstance(g, (Variable, Constant, FunctionApp)):
            raise _NoMatch
        outside = local.difference(params)
        if outside and not outside.isdisjoint(free_variables(g)):
            raise _NoMatch  # the body would mention a bound variable that is not a parameter
        pvar = t.pred
        prev = self.result.get(pvar)
        if prev is None:
            self.result[pvar] = (tuple(params), g)
            return True
        prev_params, prev_body = prev
        instance = substitute_formula(prev_body, dict(zip(prev_params, params)))
        if not _alpha_equal(instance, g):
            raise _NoMatch
        return True


def ho_pattern_unify(template: Any, target: Any, bound_vars: Iterable[Any] | None = None) -> dict | None:
    """Match ``template`` against ``target``; return the bindings, or None when they do not match.

    An application ``P(v1, ..., vk)`` of a ``PredicateVariable`` P to distinct
    local variables matches any formula whose local variables are among the
    vi, and binds P to the pair ``((v1, ..., vk), matched formula)``.  Local
    variables are those in ``bound_vars`` and those bound by quantifiers of the
    template (a quantifier of the target is aligned with the template's by
    renaming its variable, so bodies come out in the template's variables).
    When ``bound_vars`` is None, the free variables of the template used as
    arguments of predicate-variable applications are taken as local.

    A target variable that is not bound in the target (nor listed in
    ``bound_vars``) is rigid: matching ``P(n)`` with ``bound_vars={n}``
    against ``Q(x)`` binds P to ``((n,), Q(x))``, the abstraction that ignores
    its argument.

    The rest of the template is rigid: same node classes, symbols, arities and
    sorts.  Its free individual variables that are not local are matched
    first-order (a variable must always match the same term, of the same
    sort, and never a term mentioning a local variable); those bindings appear
    in the result as ``Variable -> term`` entries.  A predicate variable that
    occurs several times must receive the same abstraction each time (up to
    renaming of bound variables).  Applications of predicate variables that
    are outside the pattern fragment, or bound by a second-order quantifier of
    the template, are matched rigidly.  Function variables are rigid.

    The result is a new dict (empty when the template has nothing to bind),
    so that ``substitute_predicate(template, result)`` equals ``target`` up to
    renaming of bound variables.
    """
    if bound_vars is None:
        local = frozenset(_flex_argument_variables(template))
    else:
        local = frozenset(bound_vars)
    matcher = _Matcher(template, target, set(local))
    try:
        matcher.formula(template, target, local, frozenset())
    except _NoMatch:
        return None
    return matcher.result


# ---------------------------------------------------------------------------
# Predicate substitution

_CONSTANT_BODY = object()


def _normalize_binding(key: Any, binding: Any) -> tuple:
    if isinstance(binding, (tuple, list)) and len(binding) == 2:
        params, body = binding
        if isinstance(params, (tuple, list)) and all(isinstance(p, Variable) for p in params):
            if not isinstance(body, Formula):
                raise TypeError(
                    f"body of the binding for {key} must be a Formula, got {type(body).__name__}"
                )
            return (tuple(params), body)
    if isinstance(binding, Formula):
        return (_CONSTANT_BODY, binding)
    raise TypeError(
        f"binding for {key} must be a pair (parameters, body) or a Formula, got {type(binding).__name__}"
    )


class _PredicateSubstitution:
    def __init__(self, formula: Any, preds: dict, terms: dict) -> None:
        self.formula = formula
        self.next_id = -1
        danger: set = set()
        for params, body in preds.values():
            fv = free_variables(body)
            if params is not _CONSTANT_BODY:
                fv.difference_update(params)
            danger.update(fv)
        for value in terms.values():
            danger.update(free_variables(value))
        self.danger = danger
        self.preds_all = preds
        self.terms_all = terms

    def fresh(self, var: Any) -> Any:
        if self.next_id < 0:
            top = max_variable_id(self.formula)
            for params, body in self.preds_all.values():
                top = max(top, max_variable_id(body))
                if params is not _CONSTANT_BODY:
                    top = max([top, *[p.id for p in params]])
            for k, v in self.terms_all.items():
                top = max(top, k.id, max_variable_id(v))
            self.next_id = top + 1
        new = Variable(self.next_id, var.kind, sort=var.sort)
        self.next_id += 1
        return new

    def apply(self, f: Any, preds: dict, terms: dict) -> Any:
        if isinstance(f, PredicateApp):
            entry = preds.get(f.pred) if preds else None
            if entry is None:
                return substitute_formula(f, terms) if terms else f
            params, body = entry
            if params is _CONSTANT_BODY:
                return body
            if len(params) != len(f.args):
                raise InvalidFormulaError(
                    f"Predicate variable {f.pred} is bound to an abstraction of {len(params)} "
                    f"parameters but applied to {len(f.args)} arguments."
                )
            args = [substitute_term(a, terms) for a in f.args] if terms else f.args
            return substitute_formula(body, dict(zip(params, args)))
        if isinstance(f, Equality):
            return substitute_formula(f, terms) if terms else f
        if isinstance(f, (Variable, Constant, FunctionApp)):
            return substitute_term(f, terms) if terms else f
        if isinstance(f, Not):
            op = self.apply(f.operand, preds, terms)
            return f if op is f.operand else Not(op)
        if isinstance(f, _BINARY):
            left = self.apply(f.left, preds, terms)
            right = self.apply(f.right, preds, terms)
            if left is f.left and right is f.right:
                return f
            return type(f)(left, right) if type(f) in _BINARY else _base_of(f)(left, right)
        if isinstance(f, (Forall, Exists)):
            cls = Forall if isinstance(f, Forall) else Exists
            var, body = f.variable, f.body
            if var in terms:
                terms = {k: v for k, v in terms.items() if k != var}
            if var in self.danger:
                new_var = self.fresh(var)
                body = substitute_formula(body, {var: new_var})
                return cls(new_var, self.apply(body, preds, terms))
            new_body = self.apply(body, preds, terms)
            return f if new_body is body else cls(var, new_body)
        if type(f).__name__ in _SECOND_ORDER:
            if f.variable in preds:
                preds = {k: v for k, v in preds.items() if k != f.variable}
            new_body = self.apply(f.body, preds, terms)
            return f if new_body is f.body else type(f)(variable=f.variable, body=new_body)
        raise InvalidFormulaError("Unsupported AST node type: " + str(type(f)))


def _base_of(f: Any) -> Any:
    for base in _BINARY:
        if isinstance(f, base):
            return base
    raise AssertionError


def substitute_predicate(formula: Any, mapping: Mapping[Any, Any]) -> Any:
    """Replace every application of a mapped predicate variable by its binding (beta-reduction).

    Each key of ``mapping`` that is not a ``Variable`` is a predicate symbol
    (normally a ``PredicateVariable``); its value is either a pair
    ``(parameters, body)`` -- a tuple of ``Variable`` and a formula, standing
    for ``lambda parameters. body`` -- or a bare formula, which is taken as a
    body that ignores its arguments (``P(t1..tk)`` becomes that formula as it
    is).  Any other value raises :class:`TypeError`; a pair whose parameter
    count differs from the number of arguments of an application raises
    :class:`InvalidFormulaError`.

    Keys that are ``Variable`` are first-order bindings (as returned by
    :func:`ho_pattern_unify`) and are substituted for the free occurrences of
    those variables at the same time.  Substitution is simultaneous (inserted
    bodies are not substituted again) and capture-avoiding: a quantifier whose
    variable occurs free in an inserted body or term is renamed to a fresh
    variable.  Predicate variables bound by a ``ForallPred``/``ExistsPred`` of
    the formula are left alone below it.  Unchanged subtrees are shared.
    """
    preds: dict = {}
    terms: dict = {}
    for key, value in mapping.items():
        if isinstance(key, Variable):
            terms[key] = value
        else:
            preds[key] = _normalize_binding(key, value)
    if not preds and not terms:
        return formula
    return _PredicateSubstitution(formula, preds, terms).apply(formula, preds, terms)
