"""Running one test suite against both implementations of the hot companions.

The unifiers, the substitution functions, the literal order and the clause
and literal classes exist twice: the pure-Python reference
(``python_implementation`` of ``kelvara.core.substitutions`` and
``kelvara.prover.clausifier``) and the native twin in ``kelvara._native``.
``use_implementation`` installs one of them everywhere it is looked up: the
companion modules, the clausifier's clauses and literals, the rules module and
the saturation prover (which bind the classes when they load).
"""

from __future__ import annotations

import sys

import pytest

from kelvara.core import substitutions
from kelvara.prover import clausifier, rules, saturation

SUBSTITUTION_NAMES = ("unify_terms", "unify_formulas", "substitute_term", "substitute_formula")
CLASS_NAMES = ("Literal", "Clause")
IMPLEMENTATIONS = ("python", "native")


def functions(which: str) -> dict:
    """The functions and classes of implementation ``which``, by name."""
    if which == "python":
        found = dict(substitutions.python_implementation)
        found.update(clausifier.python_implementation)
        return found
    native = substitutions._native
    if native is None:
        pytest.skip("built without kelvara._native")
    return {name: getattr(native, name) for name in (*SUBSTITUTION_NAMES, "sort_literals", *CLASS_NAMES)}


def use_implementation(which: str, monkeypatch, namespace: dict | None = None) -> dict:
    """Installs implementation ``which`` for the duration of a test; also
    rebinds the names of ``namespace`` (a test module's globals) that it has."""
    fns = functions(which)
    for name in SUBSTITUTION_NAMES:
        monkeypatch.setattr(substitutions, name, fns[name])
        monkeypatch.setattr(rules, name, fns[name])
    monkeypatch.setattr(clausifier, "substitute_formula", fns["substitute_formula"])
    monkeypatch.setattr(clausifier, "_order_literals", fns["sort_literals"])
    # The saturation package binds the classes in several of its modules.
    prover_modules = [module for key, module in sorted(sys.modules.items())
                      if key == saturation.__name__ or key.startswith(saturation.__name__ + ".")]
    for name in CLASS_NAMES:
        for module in (clausifier, rules, *prover_modules):
            if module in (clausifier, rules, saturation) or hasattr(module, name):
                monkeypatch.setattr(module, name, fns[name])
    if namespace is not None:
        for name, fn in fns.items():
            if name in namespace:
                monkeypatch.setitem(namespace, name, fn)
    return fns
