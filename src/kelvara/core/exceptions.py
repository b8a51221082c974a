"""Exceptions raised by the term and formula model."""

from __future__ import annotations

__all__ = ["KelvaraError", "InvalidFormulaError"]


class KelvaraError(Exception):
    """Base class of every error that kelvara raises on its own account."""


class InvalidFormulaError(KelvaraError, ValueError):
    """A term or formula node is malformed, or a query met a node it does not support."""
