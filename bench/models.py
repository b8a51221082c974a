"""Plain frozen-dataclass model of the node classes, the baseline of the benchmarks.

It mirrors the C++ classes field for field (validation, cached hash and free
variables included) the way a straightforward pure-Python implementation would.
"""

from __future__ import annotations

import enum
from dataclasses import dataclass, field
from typing import Any

from kelvara.core.sorts import Ind


class VariableKind(enum.Enum):
    INDIVIDUAL = "INDIVIDUAL"
    PREDICATE = "PREDICATE"
    FUNCTION = "FUNCTION"


class Term:
    pass


class Formula:
    pass


@dataclass(frozen=True)
class Variable(Term):
    id: int
    kind: VariableKind = VariableKind.INDIVIDUAL
    sort: Any = field(default=Ind, kw_only=True)

    def __post_init__(self) -> None:
        if self.id < 0:
            raise ValueError(f"Variable ID must be non-negative, got {self.id}.")


@dataclass(frozen=True)
class Constant(Term):
    name: str
    sort: Any = field(default=Ind, kw_only=True)

    def __post_init__(self) -> None:
        if not self.name:
            raise ValueError("Constant name cannot be empty.")


def _fv(node: Any) -> frozenset:
    if type(node) is Variable:
        return frozenset((node,))
    if type(node) is Constant:
        return frozenset()
    return node._free_vars


@dataclass(frozen=True)
class FunctionApp(Term):
    func: Any
    arity: int
    args: tuple
    return_sort: Any = Ind
    sort: Any = field(default=Ind, kw_only=True)
    _hash_cache: int = field(init=False, compare=False, repr=False)
    _free_vars: frozenset = field(init=False, compare=False, repr=False)

    def __post_init__(self) -> None:
        if isinstance(self.func, str):
            if not self.func:
                raise ValueError("Function name cannot be empty.")
        if self.arity < 0:
            raise ValueError("bad arity")
        if len(self.args) != self.arity:
            raise ValueError("arity mismatch")
        object.__setattr__(self, "sort", self.return_sort)
        object.__setattr__(self, "_hash_cache", hash((type(self), self.func, self.arity, self.args, self.return_sort)))
        fv: set = set()
        for a in self.args:
            fv |= _fv(a)
        object.__setattr__(self, "_free_vars", frozenset(fv))

    def __hash__(self) -> int:
        return self._hash_cache


@dataclass(frozen=True)
class PredicateApp(Formula):
    pred: Any
    arity: int
    args: tuple
    _hash_cache: int = field(init=False, compare=False, repr=False)
    _free_vars: frozenset = field(init=False, compare=False, repr=False)

    def __post_init__(self) -> None:
        if isinstance(self.pred, str):
            if not self.pred:
                raise ValueError("Predicate name cannot be empty.")
        if self.arity < 0:
            raise ValueError("bad arity")
        if len(self.args) != self.arity:
            raise ValueError("arity mismatch")
        object.__setattr__(self, "_hash_cache", hash((type(self), self.pred, self.arity, self.args)))
        fv: set = set()
        for a in self.args:
            fv |= _fv(a)
        object.__setattr__(self, "_free_vars", frozenset(fv))

    def __hash__(self) -> int:
        return self._hash_cache


@dataclass(frozen=True)
class Equality(Formula):
    left: Any
    right: Any
    _hash_cache: int = field(init=False, compare=False, repr=False)
    _free_vars: frozenset = field(init=False, compare=False, repr=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "_hash_cache", hash((type(self), self.left, self.right)))
        object.__setattr__(self, "_free_vars", _fv(self.left) | _fv(self.right))

    def __hash__(self) -> int:
        return self._hash_cache


@dataclass(frozen=True)
class Not(Formula):
    operand: Any
    _hash_cache: int = field(init=False, compare=False, repr=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "_hash_cache", hash((type(self), self.operand)))

    def __hash__(self) -> int:
        return self._hash_cache


def _binary(name: str) -> type:
    def post_init(self: Any) -> None:
        object.__setattr__(self, "_hash_cache", hash((type(self), self.left, self.right)))

    def hash_(self: Any) -> int:
        return self._hash_cache

    ns = {"__annotations__": {"left": Any, "right": Any, "_hash_cache": int},
          "_hash_cache": field(init=False, compare=False, repr=False),
          "__post_init__": post_init, "__hash__": hash_}
    return dataclass(frozen=True)(type(name, (Formula,), ns))


And = _binary("And")
Or = _binary("Or")
Implies = _binary("Implies")
Iff = _binary("Iff")


def _quant(name: str) -> type:
    def post_init(self: Any) -> None:
        object.__setattr__(self, "_hash_cache", hash((type(self), self.variable, self.body)))

    def hash_(self: Any) -> int:
        return self._hash_cache

    ns = {"__annotations__": {"variable": Any, "body": Any, "_hash_cache": int},
          "_hash_cache": field(init=False, compare=False, repr=False),
          "__post_init__": post_init, "__hash__": hash_}
    return dataclass(frozen=True)(type(name, (Formula,), ns))


Forall = _quant("Forall")
Exists = _quant("Exists")
