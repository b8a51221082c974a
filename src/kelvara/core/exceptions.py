"""Exceptions raised by the term and formula model."""

from __future__ import annotations

from typing import Any

__all__ = ["KelvaraError", "InvalidFormulaError", "UnificationError"]


class CallSignature:
    """A class's ``__signature__`` for ``inspect.signature``, built on first use.

    Exception classes take their arguments through ``BaseException``, which
    has no signature to report; a Python ``__init__`` would give one but slow
    down every raise (the unifiers raise one per failed attempt).  The
    parameters, all without defaults, are given as ``(name, kind)`` with kind
    ``"p"`` (positional or keyword), ``"o"`` (positional only) or ``"*"``
    (the rest).
    """

    __slots__ = ("params", "signature")

    def __init__(self, *params: tuple[str, str]) -> None:
        self.params = params
        self.signature: Any = None

    def __get__(self, obj: object, owner: type | None = None) -> Any:
        if self.signature is None:
            import inspect

            P = inspect.Parameter
            kinds = {"p": P.POSITIONAL_OR_KEYWORD, "o": P.POSITIONAL_ONLY, "*": P.VAR_POSITIONAL}
            self.signature = inspect.Signature(
                [P(name, kinds[kind]) for name, kind in self.params])
        return self.signature



class KelvaraError(Exception):
    """Base class of every error that kelvara raises on its own account."""

    __signature__ = CallSignature(("args", "*"))


class InvalidFormulaError(KelvaraError, ValueError):
    """A term or formula node is malformed, or a query met a node it does not support."""

    __signature__ = CallSignature(("message", "o"))


# Texts of the failures the unifiers report, by reason.  The unifiers raise
# ``UnificationError(reason, left, right)`` and the text is assembled only when
# somebody reads it: most failures are caught and dropped unread, and ``repr``
# of two terms costs more than the unification attempt itself.
_REASONS = {
    "occurs check": lambda v, t: f"occurs check: {v!r} occurs in {t!r}",
    "sort mismatch": lambda v, t: (
        f"sort mismatch: cannot bind {v!r} of sort {v.sort} to {t!r} of sort {getattr(t, 'sort', None)}"
    ),
    "symbol clash": lambda a, b: f"symbol clash: {a!r} and {b!r}",
    "cannot unify": lambda a, b: f"cannot unify {a!r} with {b!r}",
    "predicate clash": lambda a, b: f"predicate clash: {a!r} and {b!r}",
    "node clash": lambda a, b: f"cannot unify {type(a).__name__} with {type(b).__name__}",
}


class UnificationError(KelvaraError):
    """Two terms or atoms have no unifier (symbol clash, sort clash or occurs check).

    Raised by the unifiers as ``UnificationError(reason, left, right)``: the
    reason (one of ``"occurs check"``, ``"sort mismatch"``, ``"symbol clash"``,
    ``"cannot unify"``, ``"predicate clash"``, ``"node clash"``) and the two
    objects that failed to unify, kept in ``args``.  The message text is built
    from them when it is first asked for.  Constructed with one message, it
    behaves like any exception.
    """

    __signature__ = CallSignature(("reason", "o"), ("operands", "*"))

    @property
    def reason(self) -> str:
        """The kind of failure: the first argument."""
        return self.args[0] if self.args else ""

    def __str__(self) -> str:
        args = self.args
        if len(args) == 3:
            text = _REASONS.get(args[0]) if type(args[0]) is str else None
            if text is not None:
                return text(args[1], args[2])
        return super().__str__()
