"""Structure-preserving clause form: subformulas named by fresh predicates.

Distributing ``Or`` over ``And`` multiplies clause counts; a formula such as
``(A1 & A2 & A3) | (B1 & B2 & B3)`` gives nine clauses, and nested cases grow
exponentially.  :func:`definitional_cnf` replaces an operand of such a
product by an atom ``d(x1, ..., xn)`` over a fresh predicate ``d`` and the
free variables of the operand, and adds a definition of ``d`` of the
polarity in which the operand occurs:

* positive occurrence: ``d(xs) => operand``;
* negative occurrence: ``operand => d(xs)``;
* both (under an equivalence): ``d(xs) <=> operand``.

A model of the original formula extends to one of the definitions by
reading ``d`` as its operand, and by monotonicity a model of the rewritten
formula and the definitions is one of the original: the two clause sets are
equisatisfiable, and the definitions are conservative over the original
symbols since every ``d`` is fresh.  The pieces (the rewritten formula and
each definition) are then clausified by :func:`to_cnf`.

:func:`check_definitional_form` verifies a recorded form independently of
how it was found: names fresh and distinct, arguments the free variables,
each definition used only where its polarity allows, expansion giving back
the statement, and the clauses those of the pieces.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable

from kelvara.core.ast import (
    And,
    Constant,
    Equality,
    Exists,
    Forall,
    FunctionApp,
    Iff,
    Implies,
    Not,
    Or,
    PredicateApp,
    free_variables,
)
from kelvara.core.exceptions import CallSignature
from kelvara.prover.clausifier import _term_key, to_cnf

__all__ = [
    "Definition",
    "DefinitionalForm",
    "DefinitionError",
    "clause_count",
    "definitional_cnf",
    "check_definitional_form",
    "formula_symbols",
]

POSITIVE, NEGATIVE, BOTH = 1, -1, 0


class DefinitionError(ValueError):
    """A recorded definitional form does not hold up."""

    __signature__ = CallSignature(("message", "o"))


@dataclass(frozen=True)
class Definition:
    """``name(args)`` stands for ``formula`` in occurrences of ``polarity``."""

    name: str
    args: tuple
    formula: Any
    polarity: int  # POSITIVE, NEGATIVE or BOTH

    @property
    def atom(self) -> PredicateApp:
        return PredicateApp(self.name, len(self.args), self.args)

    def defining_formula(self) -> Any:
        """The definition as a formula; its free variables read as universal."""
        if self.polarity == POSITIVE:
            return Implies(self.atom, self.formula)
        if self.polarity == NEGATIVE:
            return Implies(self.formula, self.atom)
        return Iff(self.atom, self.formula)


@dataclass
class DefinitionalForm:
    """The clause form of one statement with named subformulas.

    ``pieces`` lists ``(formula, signature, clauses)``: the rewritten
    statement first, then the definitions in order, each with the names
    ``to_cnf`` was told to avoid and the clauses it returned.
    """

    statement: Any
    abstracted: Any
    definitions: tuple
    reserved: frozenset  # the names the definitions had to avoid
    pieces: list = field(default_factory=list)

    @property
    def clauses(self) -> list:
        return [c for _, _, clauses in self.pieces for c in clauses]

    def piece_of(self, index: int) -> Definition | None:
        """The definition that piece ``index`` states (None for the statement)."""
        return None if index == 0 else self.definitions[index - 1]


# ---------------------------------------------------------------------------
# Symbols and clause counts


def _term_symbols(term: Any, out: set) -> None:
    kind = type(term)
    if kind is FunctionApp:
        out.add(term.func if isinstance(term.func, str) else getattr(term.func, "name", str(term.func)))
        for arg in term.args:
            _term_symbols(arg, out)
    elif kind is Constant:
        out.add(term.name)


def formula_symbols(formula: Any, out: set | None = None) -> set:
    """Names of the predicates, functions and constants of a formula."""
    out = set() if out is None else out
    stack = [formula]
    while stack:
        node = stack.pop()
        kind = type(node)
        if kind is PredicateApp:
            pred = node.pred
            out.add(pred if isinstance(pred, str) else getattr(pred, "name", str(pred)))
            for arg in node.args:
                _term_symbols(arg, out)
        elif kind is Equality:
            _term_symbols(node.left, out)
            _term_symbols(node.right, out)
        elif kind is Not:
            stack.append(node.operand)
        elif kind in (Forall, Exists):
            stack.append(node.body)
        elif kind in (And, Or, Implies, Iff):
            stack.append(node.left)
            stack.append(node.right)
    return out


def clause_count(f: Any, positive: bool = True) -> int:
    """Number of clauses that distribution yields for ``f`` (before deletions)."""
    kind = type(f)
    if kind is Not:
        return clause_count(f.operand, not positive)
    if kind is And:
        if positive:
            return clause_count(f.left, True) + clause_count(f.right, True)
        return clause_count(f.left, False) * clause_count(f.right, False)
    if kind is Or:
        if positive:
            return clause_count(f.left, True) * clause_count(f.right, True)
        return clause_count(f.left, False) + clause_count(f.right, False)
    if kind is Implies:
        if positive:
            return clause_count(f.left, False) * clause_count(f.right, True)
        return clause_count(f.left, True) + clause_count(f.right, False)
    if kind is Iff:
        a, b = f.left, f.right
        if positive:
            return clause_count(a, False) * clause_count(b, True) + clause_count(a, True) * clause_count(b, False)
        return clause_count(a, True) * clause_count(b, True) + clause_count(a, False) * clause_count(b, False)
    if kind in (Forall, Exists):
        return clause_count(f.body, positive)
    return 1


def _signs(polarity: int) -> tuple:
    return (True,) if polarity == POSITIVE else (False,) if polarity == NEGATIVE else (True, False)


def _is_product(f: Any, positive: bool) -> bool:
    kind = type(f)
    return (kind is Iff or (kind is Or and positive) or (kind is And and not positive)
            or (kind is Implies and positive))


def _operands(f: Any, polarity: int) -> list:
    """(attribute, operand, polarity of the operand) of a binary connective."""
    kind = type(f)
    if kind is Iff:
        return [("left", f.left, BOTH), ("right", f.right, BOTH)]
    if kind is Implies:
        return [("left", f.left, -polarity), ("right", f.right, polarity)]
    return [("left", f.left, polarity), ("right", f.right, polarity)]


def _rebuild(f: Any, left: Any, right: Any) -> Any:
    if left is f.left and right is f.right:
        return f
    return type(f)(left, right)


# ---------------------------------------------------------------------------
# Naming


class _Namer:
    def __init__(self, threshold: int, fresh_name: Callable[[], str]) -> None:
        self.threshold = threshold
        self.fresh_name = fresh_name
        self.definitions: list[Definition] = []

    def name(self, f: Any, polarity: int) -> Any:
        args = tuple(sorted(free_variables(f), key=_term_key))
        definition = Definition(self.fresh_name(), args, f, polarity)
        self.definitions.append(definition)
        return definition.atom

    def walk(self, f: Any, polarity: int) -> Any:
        kind = type(f)
        if kind is Not:
            operand = self.walk(f.operand, -polarity)
            return f if operand is f.operand else Not(operand)
        if kind in (Forall, Exists):
            body = self.walk(f.body, polarity)
            return f if body is f.body else kind(f.variable, body)
        if kind not in (And, Or, Implies, Iff):
            return f
        parts = {attr: self.walk(op, pol) for attr, op, pol in _operands(f, polarity)}
        g = _rebuild(f, parts["left"], parts["right"])
        while True:
            too_big = [s for s in _signs(polarity) if _is_product(g, s) and clause_count(g, s) > self.threshold]
            if not too_big:
                return g
            # Name the operand that contributes the most clauses.
            best = None
            for attr, op, pol in _operands(g, polarity):
                if type(op) in (PredicateApp, Equality) or op is None:
                    continue
                size = max(clause_count(op, s) for s in _signs(pol))
                if size > 1 and (best is None or size > best[0]):
                    best = (size, attr, op, pol)
            if best is None:
                return g
            _, attr, op, pol = best
            atom = self.name(op, pol)
            g = _rebuild(g, atom, g.right) if attr == "left" else _rebuild(g, g.left, atom)


def definitional_cnf(formula: Any, used: set, threshold: int = 8,
                     prefix: str = "def") -> DefinitionalForm:
    """Clause form of ``formula`` with products above ``threshold`` clauses split by definitions.

    ``used`` holds the names to avoid (the problem's symbols and the Skolem
    symbols of earlier statements); the names introduced here, definitions
    and Skolem symbols alike, are added to it.  Definition predicates are
    named ``{prefix}0``, ``{prefix}1``, ... skipping every used name.
    """
    reserved = frozenset(used) | formula_symbols(formula)
    used.update(reserved)
    counter = [0]

    def fresh_name() -> str:
        while True:
            candidate = f"{prefix}{counter[0]}"
            counter[0] += 1
            if candidate not in used:
                used.add(candidate)
                return candidate

    namer = _Namer(max(1, threshold), fresh_name)
    abstracted = namer.walk(formula, POSITIVE)
    form = DefinitionalForm(formula, abstracted, tuple(namer.definitions), reserved)
    for piece in [abstracted] + [d.defining_formula() for d in form.definitions]:
        signature = frozenset(used)
        clauses = list(to_cnf(piece, signature=signature))
        for clause in clauses:
            for lit in clause.literals:
                atom = lit.atom
                terms = (atom.left, atom.right) if isinstance(atom, Equality) else atom.args
                for term in terms:
                    _term_symbols(term, used)
        form.pieces.append((piece, signature, clauses))
    return form


# ---------------------------------------------------------------------------
# Checking


def _expand(f: Any, polarity: int, defs: dict, seen: list) -> Any:
    """``f`` with every definition atom replaced by its formula, checking polarities."""
    kind = type(f)
    if kind is PredicateApp and f.pred in defs:
        definition = defs[f.pred]
        if definition.polarity != BOTH and definition.polarity != polarity:
            raise DefinitionError(f"{f.pred} is defined for {_POLARITY_NAMES[definition.polarity]} "
                                  f"occurrences but occurs {_POLARITY_NAMES[polarity]}")
        if tuple(f.args) != definition.args:
            raise DefinitionError(f"{f.pred} occurs with arguments other than its own")
        seen.append(f.pred)
        return _expand(definition.formula, polarity, defs, seen)
    if kind is Not:
        return Not(_expand(f.operand, -polarity, defs, seen))
    if kind in (Forall, Exists):
        return kind(f.variable, _expand(f.body, polarity, defs, seen))
    if kind in (And, Or, Implies, Iff):
        parts = {attr: _expand(op, pol, defs, seen) for attr, op, pol in _operands(f, polarity)}
        return type(f)(parts["left"], parts["right"])
    return f


_POLARITY_NAMES = {POSITIVE: "positive", NEGATIVE: "negative", BOTH: "both-way"}


def check_definitional_form(form: DefinitionalForm) -> None:
    """Raise :class:`DefinitionError` unless ``form`` is a sound definitional form of its statement.

    Every definition name is fresh (outside ``reserved`` and the statement's
    symbols) and used once as a definition; its arguments are exactly the
    free variables of its formula, which mentions only earlier definitions;
    expanding the rewritten statement gives back the statement, with each
    definition atom at an occurrence of the definition's polarity; each
    piece's clauses are what ``to_cnf`` returns for that piece.
    """
    reserved = set(form.reserved) | formula_symbols(form.statement)
    defs: dict = {}
    for definition in form.definitions:
        if definition.name in reserved or definition.name in defs:
            raise DefinitionError(f"definition name {definition.name} is not fresh")
        if definition.polarity not in (POSITIVE, NEGATIVE, BOTH):
            raise DefinitionError(f"{definition.name} has no valid polarity")
        if definition.args != tuple(sorted(free_variables(definition.formula), key=_term_key)):
            raise DefinitionError(f"the arguments of {definition.name} are not the free variables of its formula")
        later = formula_symbols(definition.formula) - reserved
        if not later <= set(defs):
            raise DefinitionError(f"{definition.name} is defined through a symbol not defined before it")
        defs[definition.name] = definition
    seen: list = []
    if _expand(form.abstracted, POSITIVE, defs, seen) != form.statement:
        raise DefinitionError("expanding the definitions does not give back the statement")
    expected = [form.abstracted] + [d.defining_formula() for d in form.definitions]
    if len(form.pieces) != len(expected):
        raise DefinitionError("the pieces are not the statement and its definitions")
    for (piece, signature, clauses), want in zip(form.pieces, expected):
        if piece != want:
            raise DefinitionError("a piece is not the statement or definition it stands for")
        if list(to_cnf(piece, signature=signature)) != list(clauses):
            raise DefinitionError("the clauses of a piece are not its clause form")
