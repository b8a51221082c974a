"""Argument checks of the prover's Python API: a wrong argument is refused at
the call with a TypeError naming the parameter, the expected and the received
type, instead of failing somewhere inside the search."""

from __future__ import annotations

from typing import Any

__all__ = ["expect", "type_name"]


def type_name(value: object) -> str:
    """The name of a value's type as messages print it (``None`` for None)."""
    return "None" if value is None else type(value).__name__


def expect(where: str, name: str, value: Any, types: type | tuple[type, ...], expected: str,
           *, none: bool = False, numbers: bool = False) -> None:
    """Raise TypeError unless ``value`` is an instance of ``types``.

    ``expected`` is the text naming the accepted types; ``none`` also accepts
    None; ``numbers`` refuses ``bool`` although it is an ``int``.
    """
    if value is None and none:
        return
    if isinstance(value, types) and not (numbers and isinstance(value, bool)):
        return
    raise TypeError(f"{where}: {name} must be {expected}, not {type_name(value)}")
