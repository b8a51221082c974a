"""Second-order extension of the node model.

``PredicateVariable`` and ``FunctionVariable`` are symbol values: they stand
where a predicate name (``PredicateApp.pred``) or a function name
(``FunctionApp.func``) would stand, and can be bound by the second-order
quantifiers ``ForallPred``/``ExistsPred`` (over predicates) and
``ForallFunc``/``ExistsFunc`` (over functions).

All six classes are immutable value records: equality is class-exact and
compares the fields in order, the hash is computed once at construction, and
assigning a field raises :class:`dataclasses.FrozenInstanceError`.  The four
quantifier classes derive from :class:`kelvara.core.ast.Formula`, so they are
formulas for every ``isinstance`` test; the structural queries of the core
recognise them by their class names and look only at ``body``.
"""

from __future__ import annotations

from dataclasses import FrozenInstanceError
from typing import Any

from kelvara.core.ast import Formula

__all__ = [
    "PredicateVariable",
    "FunctionVariable",
    "ForallPred",
    "ExistsPred",
    "ForallFunc",
    "ExistsFunc",
]

_set = object.__setattr__


def _check_index(what: str, field: str, value: Any) -> int:
    if type(value) is not int:
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{what} {field} must be int, got {type(value).__name__}")
        value = int(value)
    if value < 0:
        raise ValueError(f"{what} {field} must be non-negative, got {value}")
    return value


class _SymbolVariable:
    """Common body of predicate and function variables (not public)."""

    __slots__ = ("index", "arity", "name", "_hash_cache")
    __match_args__ = ("index", "arity", "name")
    _prefix = "?"

    index: int
    arity: int
    name: str
    _hash_cache: int

    def __init__(self, index: int, arity: int, name: str | None = None) -> None:
        what = type(self).__name__
        index = _check_index(what, "index", index)
        arity = _check_index(what, "arity", arity)
        if name is None:
            name = f"{self._prefix}{index}"
        elif not isinstance(name, str):
            raise TypeError(f"{what} name must be str, got {type(name).__name__}")
        elif not name:
            raise ValueError(f"{what} name cannot be empty")
        _set(self, "index", index)
        _set(self, "arity", arity)
        _set(self, "name", str(name))
        _set(self, "_hash_cache", hash((type(self), index, arity, name)))

    def __setattr__(self, name: str, value: Any) -> None:
        raise FrozenInstanceError(f"cannot assign to field '{name}'")

    def __delattr__(self, name: str) -> None:
        raise FrozenInstanceError(f"cannot delete field '{name}'")

    def __eq__(self, other: object) -> bool:
        if self is other:
            return True
        if type(other) is not type(self):
            return NotImplemented
        return (
            self._hash_cache == other._hash_cache  # type: ignore[attr-defined]
            and self.index == other.index  # type: ignore[attr-defined]
            and self.arity == other.arity  # type: ignore[attr-defined]
            and self.name == other.name  # type: ignore[attr-defined]
        )

    def __ne__(self, other: object) -> bool:
        eq = self.__eq__(other)
        return eq if eq is NotImplemented else not eq

    def __hash__(self) -> int:
        return self._hash_cache

    def __str__(self) -> str:
        return self.name

    def __repr__(self) -> str:
        return f"{type(self).__name__}(index={self.index!r}, arity={self.arity!r}, name={self.name!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.index, self.arity, self.name))

    def __copy__(self) -> "_SymbolVariable":
        return self

    def __deepcopy__(self, memo: Any) -> "_SymbolVariable":
        return self


class PredicateVariable(_SymbolVariable):
    """A variable ranging over predicates of a fixed arity.

    ``index`` identifies the variable, ``arity`` is the number of arguments it
    takes, and ``name`` (default ``"P<index>"``) is how it prints.  Usable as
    the ``pred`` of a ``PredicateApp`` and as the bound variable of
    ``ForallPred``/``ExistsPred``.
    """

    __slots__ = ()
    _prefix = "P"


class FunctionVariable(_SymbolVariable):
    """A variable ranging over functions of a fixed arity.

    ``index`` identifies the variable, ``arity`` is the number of arguments it
    takes, and ``name`` (default ``"F<index>"``) is how it prints.  Usable as
    the ``func`` of a ``FunctionApp`` and as the bound variable of
    ``ForallFunc``/``ExistsFunc``.
    """

    __slots__ = ()
    _prefix = "F"


class _SecondOrderQuantifier(Formula):
    """Common body of the four second-order quantifier nodes (not public)."""

    __slots__ = ("variable", "body", "_hash_cache")
    __match_args__ = ("variable", "body")

    variable: Any
    body: Any
    _hash_cache: int

    def __new__(cls, variable: Any, body: Any) -> "_SecondOrderQuantifier":
        self = Formula.__new__(cls)
        _set(self, "variable", variable)
        _set(self, "body", body)
        _set(self, "_hash_cache", hash((cls, variable, body)))
        return self

    def __setattr__(self, name: str, value: Any) -> None:
        raise FrozenInstanceError(f"cannot assign to field '{name}'")

    def __delattr__(self, name: str) -> None:
        raise FrozenInstanceError(f"cannot delete field '{name}'")

    def __eq__(self, other: object) -> bool:
        if self is other:
            return True
        if type(other) is not type(self):
            return NotImplemented
        return (
            self._hash_cache == other._hash_cache  # type: ignore[attr-defined]
            and self.variable == other.variable  # type: ignore[attr-defined]
            and self.body == other.body  # type: ignore[attr-defined]
        )

    def __ne__(self, other: object) -> bool:
        eq = self.__eq__(other)
        return eq if eq is NotImplemented else not eq

    def __hash__(self) -> int:
        return self._hash_cache

    def __repr__(self) -> str:
        return f"{type(self).__name__}(variable={self.variable!r}, body={self.body!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.variable, self.body))

    def __copy__(self) -> "_SecondOrderQuantifier":
        return self

    def __deepcopy__(self, memo: Any) -> "_SecondOrderQuantifier":
        return self


class ForallPred(_SecondOrderQuantifier):
    """Universal quantification over a predicate: forall_pred variable. body."""

    __slots__ = ()


class ExistsPred(_SecondOrderQuantifier):
    """Existential quantification over a predicate: exists_pred variable. body."""

    __slots__ = ()


class ForallFunc(_SecondOrderQuantifier):
    """Universal quantification over a function: forall_func variable. body."""

    __slots__ = ()


class ExistsFunc(_SecondOrderQuantifier):
    """Existential quantification over a function: exists_func variable. body."""

    __slots__ = ()
