"""Sorts of the many-sorted logic.

Sorts are interned: constructing a sort with the same arguments twice yields the
very same object.  Equality and hashing are therefore those of ``object``
(identity), which keeps sort comparisons inside node equality and hashing at C
speed.  Sorts are immutable; copying one returns it unchanged, and unpickling
one yields the interned instance of the running process.
"""

from __future__ import annotations

import threading
from typing import Any, ClassVar

__all__ = ["Sort", "PrimitiveSort", "ParameterizedSort", "FunctionSort", "Ind", "Bool", "Nat"]

_interned: dict[tuple[Any, ...], "Sort"] = {}
_lock = threading.Lock()


class Sort:
    """Abstract base of all sorts; every sort has a display ``name``."""

    __slots__ = ("name", "__weakref__")
    name: str

    def __new__(cls, *args: Any, **kwargs: Any) -> "Sort":
        if cls is Sort:
            raise TypeError("Sort is abstract; use PrimitiveSort, ParameterizedSort or FunctionSort")
        return super().__new__(cls)

    @classmethod
    def _intern(cls, key: tuple[Any, ...], name: str, **fields: Any) -> "Sort":
        full_key = (cls, *key)
        found = _interned.get(full_key)
        if found is not None:
            return found
        with _lock:
            found = _interned.get(full_key)
            if found is not None:
                return found
            obj = object.__new__(cls)
            object.__setattr__(obj, "name", name)
            for attr, value in fields.items():
                object.__setattr__(obj, attr, value)
            _interned[full_key] = obj
            return obj

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"cannot assign to attribute {name!r} of an immutable sort")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"cannot delete attribute {name!r} of an immutable sort")

    def __copy__(self) -> "Sort":
        return self

    def __deepcopy__(self, memo: Any) -> "Sort":
        return self

    def __str__(self) -> str:
        return self.name


class PrimitiveSort(Sort):
    """A base sort given by its name, such as ``Ind`` or ``Nat``."""

    __slots__ = ()

    def __new__(cls, name: str) -> "PrimitiveSort":
        if not isinstance(name, str):
            raise TypeError(f"sort name must be str, got {type(name).__name__}")
        if not name:
            raise ValueError("sort name cannot be empty")
        return cls._intern((str(name),), str(name))  # type: ignore[return-value]

    def __repr__(self) -> str:
        return self.name

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.name,))


class ParameterizedSort(Sort):
    """A sort constructor applied to sort parameters, such as ``List(Nat)``."""

    __slots__ = ("constructor", "params")
    constructor: str
    params: tuple[Sort, ...]

    def __new__(cls, constructor: str, params: Any) -> "ParameterizedSort":
        if not isinstance(constructor, str) or not constructor:
            raise TypeError("sort constructor must be a non-empty str")
        params = tuple(params)
        for p in params:
            if not isinstance(p, Sort):
                raise TypeError(f"sort parameter must be a Sort, got {type(p).__name__}")
        name = f"{constructor}({', '.join(p.name for p in params)})"
        return cls._intern(  # type: ignore[return-value]
            (str(constructor), params), name, constructor=str(constructor), params=params
        )

    def __repr__(self) -> str:
        return f"ParameterizedSort({self.constructor!r}, {self.params!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.constructor, self.params))


class FunctionSort(Sort):
    """The sort of functions from ``domain`` sorts to a ``codomain`` sort."""

    __slots__ = ("domain", "codomain")
    domain: tuple[Sort, ...]
    codomain: Sort

    def __new__(cls, domain: Any, codomain: Sort) -> "FunctionSort":
        domain = tuple(domain)
        for p in (*domain, codomain):
            if not isinstance(p, Sort):
                raise TypeError(f"function sort component must be a Sort, got {type(p).__name__}")
        name = f"({' * '.join(p.name for p in domain)} -> {codomain.name})"
        return cls._intern(  # type: ignore[return-value]
            (domain, codomain), name, domain=domain, codomain=codomain
        )

    def __repr__(self) -> str:
        return f"FunctionSort({self.domain!r}, {self.codomain!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.domain, self.codomain))


Ind = PrimitiveSort("Ind")
"""The sort of individuals: the default sort of every term."""
Bool = PrimitiveSort("Bool")
"""The sort of truth values."""
Nat = PrimitiveSort("Nat")
"""The sort of natural numbers."""
