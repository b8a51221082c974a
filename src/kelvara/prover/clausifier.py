"""Clauses, literals and conversion of formulas to clause normal form.

A :class:`Literal` is an atom (``PredicateApp`` or ``Equality``) with a sign;
a :class:`Clause` is a set of literals read as their disjunction, with the
empty clause standing for falsity.  Clauses list their literals in a fixed
order that depends only on the structure of the literals (symbol names,
variable ids, sort names, signs), never on ``hash()`` or ``id()``, so every
run of the prover enumerates them in the same order.

:func:`to_cnf` turns a first-order formula into a list of clauses.
"""

from __future__ import annotations

from dataclasses import FrozenInstanceError
from typing import Any, Callable, Iterable, Iterator, Mapping

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
    VariableKind,
    free_variables,
)
from kelvara.core.exceptions import InvalidFormulaError
from kelvara.core.sorts import Ind
from kelvara.core.substitutions import max_variable_id, substitute_formula

__all__ = ["Literal", "Clause", "to_cnf", "literal_sort_key", "term_text", "atom_text"]

_set = object.__setattr__


def _frozen(self: Any, name: str, value: Any = None) -> None:
    raise FrozenInstanceError(f"cannot assign to field '{name}'")


# ---------------------------------------------------------------------------
# Structural keys and text


def _symbol_key(sym: Any) -> tuple:
    if isinstance(sym, str):
        return (0, sym)
    name = getattr(sym, "name", None)
    return (1, type(sym).__name__, str(name if name is not None else sym),
            getattr(sym, "index", -1), getattr(sym, "arity", -1))


def _sort_key(sort: Any) -> tuple:
    if sort is Ind:
        return _IND_KEY
    return (type(sort).__name__, getattr(sort, "name", str(sort)))


_IND_KEY = (type(Ind).__name__, Ind.name)
_INDIVIDUAL = VariableKind.INDIVIDUAL


def _term_key(t: Any) -> tuple:
    cls = type(t)
    if cls is Variable:
        kind = t.kind
        return (0, t.id, _sort_key(t.sort), "INDIVIDUAL" if kind is _INDIVIDUAL else kind.value)
    if cls is Constant:
        return (1, t.name, _sort_key(t.sort))
    if cls is FunctionApp:
        func = t.func
        return (2, (0, func) if type(func) is str else _symbol_key(func), t.arity, _sort_key(t.return_sort),
                tuple([_term_key(a) for a in t.args]))
    if isinstance(t, Variable):
        return (0, t.id, _sort_key(t.sort), t.kind.value)
    if isinstance(t, Constant):
        return (1, t.name, _sort_key(t.sort))
    if isinstance(t, FunctionApp):
        return (2, _symbol_key(t.func), t.arity, _sort_key(t.return_sort),
                tuple([_term_key(a) for a in t.args]))
    return (3, type(t).__name__, repr(t))


def _atom_key(a: Any) -> tuple:
    if isinstance(a, PredicateApp):
        pred = a.pred
        return (0, (0, pred) if type(pred) is str else _symbol_key(pred), a.arity,
                tuple([_term_key(t) for t in a.args]))
    if isinstance(a, Equality):
        return (1, _term_key(a.left), _term_key(a.right))
    return (2, type(a).__name__, repr(a))


def _symbol_text(sym: Any) -> str:
    if isinstance(sym, str):
        return sym
    name = getattr(sym, "name", None)
    return name if isinstance(name, str) else str(sym)


def term_text(t: object) -> str:
    """Readable text of a term: ``v3`` for variable 3, ``a``, ``f(v0, a)``.

    Variables are named as the infix export names them (``v`` and the id);
    those of a sort other than ``Ind`` show it (``v3:Nat``).
    """
    if isinstance(t, Variable):
        sort_name = getattr(t.sort, "name", str(t.sort))
        return f"v{t.id}" if sort_name == "Ind" else f"v{t.id}:{sort_name}"
    if isinstance(t, Constant):
        return t.name
    if isinstance(t, FunctionApp):
        name = _symbol_text(t.func)
        if not t.args:
            return name
        return name + "(" + ", ".join([term_text(a) for a in t.args]) + ")"
    return str(t)


def atom_text(a: object) -> str:
    """Readable text of an atom: ``P(v0, a)``, ``Q`` or ``f(v0) = a``."""
    if isinstance(a, PredicateApp):
        name = _symbol_text(a.pred)
        if not a.args:
            return name
        return name + "(" + ", ".join([term_text(t) for t in a.args]) + ")"
    if isinstance(a, Equality):
        return term_text(a.left) + " = " + term_text(a.right)
    return str(a)


# ---------------------------------------------------------------------------
# Display in the export notations (shared by the Python and native classes)

_NOTATIONS = ("infix", "prefix", "latex")


def _literal_text(lit: Any, notation: str, exporter: Any) -> str:
    atom = exporter.visit(lit.atom)
    if lit.positive:
        return atom
    if notation == "prefix":
        return "(not " + atom + ")"
    return ("\\neg " if notation == "latex" else "~") + atom


def _notation_text(obj: Any, notation: str) -> str:
    from kelvara.core.visitors import ExportVisitor

    exporter = ExportVisitor(notation)
    if not hasattr(obj, "literals"):
        return _literal_text(obj, notation, exporter)
    texts = [_literal_text(lit, notation, exporter) for lit in obj.literals]
    if notation == "prefix":
        return texts[0] if len(texts) == 1 else "(or" + "".join([" " + t for t in texts]) + ")"
    if notation == "latex":
        return " \\lor ".join(texts) if texts else "\\bot"
    return " | ".join(texts) if texts else "[]"


def display_format(obj: Any, format_spec: str) -> str:
    """``format()`` of a literal or clause: ``str`` for an empty spec, else an export notation.

    ``f"{clause:infix}"``, ``:prefix`` and ``:latex`` write every atom as
    :class:`~kelvara.core.visitors.ExportVisitor` does; a clause joins its
    literals with ``|`` (``\\lor``, or ``(or ...)`` in prefix), and the empty
    clause is ``[]``, ``(or)`` or ``\\bot``.
    """
    if type(format_spec) is not str:
        raise TypeError(f"format spec must be str, not {type(format_spec).__name__}")
    if not format_spec:
        return str(obj)
    if format_spec not in _NOTATIONS:
        raise ValueError(f"Unknown format spec {format_spec!r} for {type(obj).__name__}: "
                         "expected 'infix', 'prefix' or 'latex'")
    return _notation_text(obj, format_spec)


def display_pretty(obj: Any, p: Any, cycle: bool) -> None:
    """IPython's display of a literal or clause: its infix text."""
    p.text(_notation_text(obj, "infix"))


def display_latex(obj: Any) -> str:
    """Notebook display of a literal or clause: typeset from its LaTeX text."""
    return "$" + _notation_text(obj, "latex") + "$"


def literal_sort_key(lit: "Literal") -> tuple:
    """The deterministic ordering key of a literal: its atom's structure, then its sign.

    Built from symbol names, arities, variable ids and kinds, and sort class
    and names only; positive literals sort before negative ones on equal atoms.
    """
    key = lit._key
    if key is None:
        key = (_atom_key(lit.atom), 0 if lit.positive else 1)
        _set(lit, "_key", key)
    return key


def _sort_literals(literals: frozenset[Literal]) -> tuple[Literal, ...]:
    """The literals in clause order: sorted by :func:`literal_sort_key`, stable."""
    return tuple(sorted(literals, key=literal_sort_key))


#: The pure-Python implementation of the literal order: the reference of the
#: native twin, which gives every literal a byte-string key ordered exactly as
#: :func:`literal_sort_key` orders, cached in the literal's ``_order`` slot.
#: The Python ``Literal`` and ``Clause`` classes join it below.
python_implementation: dict[str, Any] = {"sort_literals": _sort_literals}

_order_literals: Callable[[frozenset[Literal]], tuple[Literal, ...]]
try:
    from kelvara._native import sort_literals as _native_order
except ImportError:  # built without the native module: the reference serves
    _order_literals = _sort_literals
else:
    _order_literals = _native_order  # type: ignore[assignment]  # the native twin takes the same literals


# ---------------------------------------------------------------------------
# Literals and clauses


class Literal:
    """An atom with a sign: ``positive`` is True for the atom itself, False for its negation.

    Immutable value record; equality compares (``atom``, ``positive``) between
    literals only, and the hash is computed once at construction.
    """

    __slots__ = ("atom", "positive", "_hash_cache", "_key", "_order")
    __match_args__ = ("atom", "positive")

    atom: PredicateApp | Equality
    positive: bool
    _hash_cache: int
    _key: tuple | None
    _order: bytes | None

    def __init__(self, atom: PredicateApp | Equality, positive: bool = True) -> None:
        if not isinstance(atom, (PredicateApp, Equality)):
            raise TypeError(f"Literal atom must be a PredicateApp or an Equality, not {type(atom).__name__}")
        positive = bool(positive)
        _set(self, "atom", atom)
        _set(self, "positive", positive)
        _set(self, "_hash_cache", hash((atom, positive)))
        _set(self, "_key", None)
        _set(self, "_order", None)

    __setattr__ = _frozen
    __delattr__ = _frozen  # type: ignore[assignment]

    def __eq__(self, other: object) -> bool:
        if self is other:
            return True
        if type(other) is not _PythonLiteral:
            return NotImplemented
        return (
            self._hash_cache == other._hash_cache
            and self.positive is other.positive
            and self.atom == other.atom
        )

    def __ne__(self, other: object) -> bool:
        eq = self.__eq__(other)
        return eq if eq is NotImplemented else not eq

    def __hash__(self) -> int:
        return self._hash_cache

    def negate(self) -> "Literal":
        """The literal with the same atom and the opposite sign."""
        return _PythonLiteral(self.atom, not self.positive)

    def substitute(self, mapping: Mapping[Variable, Term]) -> "Literal":
        """Apply a substitution to the atom; returns ``self`` when nothing changes."""
        atom = substitute_formula(self.atom, mapping)
        return self if atom is self.atom else _PythonLiteral(atom, self.positive)

    def __str__(self) -> str:
        text = atom_text(self.atom)
        return text if self.positive else "~" + text

    def __repr__(self) -> str:
        return f"Literal(atom={self.atom!r}, positive={self.positive!r})"

    def __format__(self, format_spec: str, /) -> str:
        """The literal in an export notation: ``f"{lit:infix}"``, ``:prefix`` or ``:latex``."""
        return display_format(self, format_spec)

    def _repr_pretty_(self, p: Any, cycle: bool, /) -> None:
        display_pretty(self, p, cycle)

    def _repr_latex_(self) -> str:
        return display_latex(self)

    def __reduce__(self) -> tuple[Any, ...]:
        return (_PythonLiteral, (self.atom, self.positive))


class Clause:
    """A disjunction of literals, built from one (frozen)set of ``Literal``.

    ``literals`` is a tuple in the deterministic order of
    :func:`literal_sort_key`; equality and hashing are those of the literal
    set.  The empty clause (no literals) stands for falsity.
    """

    __slots__ = ("literals", "_set", "_hash_cache")

    literals: tuple[Literal, ...]
    _set: frozenset[Literal]
    _hash_cache: int

    def __init__(self, literals: Iterable[Literal] = ()) -> None:
        lits = literals if type(literals) is frozenset else frozenset(literals)
        for lit in lits:
            if not isinstance(lit, _LITERAL_CLASSES):
                raise TypeError(f"Clause literals must be Literal, not {type(lit).__name__}")
        _set(self, "_set", lits)
        if len(lits) < 2:
            _set(self, "literals", tuple(lits))
        else:
            _set(self, "literals", _order_literals(lits))
        _set(self, "_hash_cache", hash(lits))

    __setattr__ = _frozen
    __delattr__ = _frozen  # type: ignore[assignment]

    @property
    def literal_set(self) -> frozenset[Literal]:
        """The literals as a frozenset."""
        return self._set

    def __eq__(self, other: object) -> bool:
        if self is other:
            return True
        if type(other) is not _PythonClause:
            return NotImplemented
        return self._hash_cache == other._hash_cache and self._set == other._set

    def __ne__(self, other: object) -> bool:
        eq = self.__eq__(other)
        return eq if eq is NotImplemented else not eq

    def __hash__(self) -> int:
        return self._hash_cache

    def __len__(self) -> int:
        return len(self.literals)

    def __iter__(self) -> Iterator[Literal]:
        return iter(self.literals)

    def __contains__(self, item: object) -> bool:
        return item in self._set

    def is_empty(self) -> bool:
        """True for the empty clause (falsity)."""
        return not self.literals

    def free_variables(self) -> set[Variable]:
        """A new set of the variables occurring in the clause's literals."""
        result: set[Variable] = set()
        for lit in self.literals:
            atom = lit.atom
            fv = getattr(atom, "_free_vars", None)
            result.update(fv if fv is not None else free_variables(atom))
        return result

    def substitute(self, mapping: Mapping[Variable, Term]) -> "Clause":
        """A new clause with ``mapping`` applied to every literal; equal literals merge."""
        if not mapping:
            new = object.__new__(_PythonClause)
            _set(new, "_set", self._set)
            _set(new, "literals", self.literals)
            _set(new, "_hash_cache", self._hash_cache)
            return new
        return _PythonClause(frozenset([lit.substitute(mapping) for lit in self.literals]))

    def __str__(self) -> str:
        if not self.literals:
            return "[]"
        return " | ".join([str(lit) for lit in self.literals])

    def __repr__(self) -> str:
        if not self.literals:
            return "Clause(frozenset())"
        return "Clause(frozenset({" + ", ".join([repr(lit) for lit in self.literals]) + "}))"

    def __format__(self, format_spec: str, /) -> str:
        """The clause in an export notation: ``f"{clause:infix}"``, ``:prefix`` or ``:latex``."""
        return display_format(self, format_spec)

    def _repr_pretty_(self, p: Any, cycle: bool, /) -> None:
        display_pretty(self, p, cycle)

    def _repr_latex_(self) -> str:
        return display_latex(self)

    def __reduce__(self) -> tuple[Any, ...]:
        return (_PythonClause, (self._set,))


# The classes above are the reference twins of the native ``Literal`` and
# ``Clause`` of ``kelvara._native``, which this module exports when it is built;
# their methods name their own classes through these aliases.
_PythonLiteral = Literal
_PythonClause = Clause
python_implementation.update(Literal=Literal, Clause=Clause)

# What a clause of either implementation takes as its literals.
_LITERAL_CLASSES: tuple[type, ...] = (_PythonLiteral,)

try:
    from kelvara._native import Clause, Literal  # type: ignore[assignment]  # noqa: F811
except ImportError:  # built without the native module: the reference serves
    pass
else:
    _LITERAL_CLASSES = (_PythonLiteral, Literal)


# ---------------------------------------------------------------------------
# Clause normal form

_SECOND_ORDER = frozenset({"ForallPred", "ExistsPred", "ForallFunc", "ExistsFunc"})


def _collect_symbols(formula: Any, names: set) -> None:
    stack = [formula]
    while stack:
        n = stack.pop()
        if isinstance(n, PredicateApp):
            names.add(_symbol_text(n.pred))
            stack.extend(n.args)
        elif isinstance(n, FunctionApp):
            names.add(_symbol_text(n.func))
            stack.extend(n.args)
        elif isinstance(n, Constant):
            names.add(n.name)
        elif isinstance(n, Equality):
            stack.append(n.left)
            stack.append(n.right)
        elif isinstance(n, Not):
            stack.append(n.operand)
        elif isinstance(n, (And, Or, Implies, Iff)):
            stack.append(n.left)
            stack.append(n.right)
        elif hasattr(n, "body"):
            stack.append(n.body)


def _signature_names(signature: Any) -> set:
    names: set = set()
    if signature is None:
        return names
    if isinstance(signature, str):
        return {signature}
    items: Iterable[Any] = signature.keys() if isinstance(signature, Mapping) else signature
    for item in items:
        if isinstance(item, str):
            names.add(item)
        else:
            name = getattr(item, "name", None)
            names.add(name if isinstance(name, str) else str(item))
    return names


class _Clausifier:
    """One run of :func:`to_cnf`: fresh ids, Skolem names, the result."""

    def __init__(self, formula: Any, signature: Any) -> None:
        used = _signature_names(signature)
        _collect_symbols(formula, used)
        self.used = used
        self.next_skolem = 0
        self.next_id = max_variable_id(formula) + 1
        free = sorted(free_variables(formula), key=_term_key)
        self.free = tuple(free)

    def skolem_name(self) -> str:
        while True:
            name = f"sk{self.next_skolem}"
            self.next_skolem += 1
            if name not in self.used:
                self.used.add(name)
                return name

    def fresh(self, var: Any) -> Any:
        new = Variable(self.next_id, var.kind, sort=var.sort)
        self.next_id += 1
        return new

    # Negation normal form with standardization apart and Skolemization, in one
    # pass.  ``env`` maps original bound variables to their replacements,
    # ``univ`` lists the universal variables in scope (outermost first).
    # The result is a matrix of And/Or over Literals, as nested tuples:
    # ("and", l, r), ("or", l, r) or a Literal.
    def nnf(self, f: Any, positive: bool, env: dict, univ: tuple) -> Any:
        while True:
            if isinstance(f, Not):
                f = f.operand
                positive = not positive
                continue
            if isinstance(f, (PredicateApp, Equality)):
                atom = substitute_formula(f, env) if env else f
                return Literal(atom, positive)
            if isinstance(f, And):
                op = "and" if positive else "or"
                return (op, self.nnf(f.left, positive, env, univ), self.nnf(f.right, positive, env, univ))
            if isinstance(f, Or):
                op = "or" if positive else "and"
                return (op, self.nnf(f.left, positive, env, univ), self.nnf(f.right, positive, env, univ))
            if isinstance(f, Implies):
                # a => b  ==  ~a | b
                if positive:
                    return ("or", self.nnf(f.left, False, env, univ), self.nnf(f.right, True, env, univ))
                return ("and", self.nnf(f.left, True, env, univ), self.nnf(f.right, False, env, univ))
            if isinstance(f, Iff):
                # a <=> b  ==  (~a | b) & (a | ~b);  ~(a <=> b)  ==  (a | b) & (~a | ~b)
                a, b = f.left, f.right
                if positive:
                    return (
                        "and",
                        ("or", self.nnf(a, False, env, univ), self.nnf(b, True, env, univ)),
                        ("or", self.nnf(a, True, env, univ), self.nnf(b, False, env, univ)),
                    )
                return (
                    "and",
                    ("or", self.nnf(a, True, env, univ), self.nnf(b, True, env, univ)),
                    ("or", self.nnf(a, False, env, univ), self.nnf(b, False, env, univ)),
                )
            if isinstance(f, (Forall, Exists)):
                var = f.variable
                if not isinstance(var, Variable):
                    raise InvalidFormulaError(
                        "Quantifier variable must be a Variable, got " + str(type(var)) + "."
                    )
                universal = isinstance(f, Forall) == positive
                env = dict(env)
                if universal:
                    new = self.fresh(var)
                    env[var] = new
                    univ = univ + (new,)
                else:
                    args = self.free + univ
                    env[var] = FunctionApp(self.skolem_name(), len(args), args, var.sort)
                f = f.body
                continue
            if type(f).__name__ in _SECOND_ORDER:
                raise InvalidFormulaError(
                    "Cannot clausify second-order quantifier " + type(f).__name__ + "."
                )
            raise InvalidFormulaError("Expected Formula, got " + str(type(f)) + ".")


def _distribute(matrix: Any) -> list:
    """Clause lists (lists of literals) of a matrix of And/Or over literals."""
    if isinstance(matrix, Literal):
        return [[matrix]]
    op, left, right = matrix
    lc = _distribute(left)
    rc = _distribute(right)
    if op == "and":
        return lc + rc
    return [a + b for a in lc for b in rc]


def _is_tautology(lits: frozenset) -> bool:
    for lit in lits:
        if lit.positive:
            if Literal(lit.atom, False) in lits:
                return True
            atom = lit.atom
            if isinstance(atom, Equality) and atom.left == atom.right:
                return True
    return False


def to_cnf(formula: Formula, signature: object = None) -> list[Clause]:
    """Convert a first-order formula to a list of clauses (its clause normal form).

    Steps: ``Iff`` and ``Implies`` are eliminated and negations pushed onto
    atoms (negation normal form); every quantified variable is renamed to a
    fresh variable (ids above all ids of the formula, in order of appearance);
    existential variables are replaced by Skolem terms ``FunctionApp("skN",
    k, args, sort)`` whose arguments are the formula's free variables (in
    structural order) followed by the enclosing universal variables; the
    universal quantifiers are dropped; ``Or`` is distributed over ``And``.
    Free variables of the formula are read as universally quantified.

    Skolem names are ``sk0``, ``sk1``, ... in order of appearance, skipping
    every name used by a symbol of the formula or listed in ``signature`` (any
    collection of names or of objects with a ``name``; for a mapping, its
    keys).  Tautological clauses (a literal together with its negation, or a
    positive ``t = t``) are dropped, and duplicate clauses are kept once, at
    the first position.  Second-order quantifiers raise
    :class:`InvalidFormulaError`.
    """
    run = _Clausifier(formula, signature)
    matrix = run.nnf(formula, True, {}, ())
    result: list[Clause] = []
    seen: set[Clause] = set()
    for lits in _distribute(matrix):
        lit_set = frozenset(lits)
        if _is_tautology(lit_set):
            continue
        clause = Clause(lit_set)
        if clause not in seen:
            seen.add(clause)
            result.append(clause)
    return result
