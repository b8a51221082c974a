"""Test-wide settings.

Property tests run without per-example deadlines (a loaded CI machine must not
turn slow examples into failures) and derandomized, so that every run explores
the same examples and a failure reproduces.  Set KELVARA_HYPOTHESIS=explore to
draw fresh random examples instead.
"""

from __future__ import annotations

import os

from hypothesis import HealthCheck, settings

settings.register_profile(
    "ci", deadline=None, derandomize=True, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("explore", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("explore" if os.environ.get("KELVARA_HYPOTHESIS") == "explore" else "ci")

# Native modules whose absence would otherwise only skip tests or fall back to
# the Python twins.  CI sets KELVARA_REQUIRE_NATIVE: there a module that failed
# to build or to load stops the run.
NATIVE_MODULES = (
    "kelvara.core.ast",
    "kelvara.core.visitors",
    "kelvara.prover.rules",
    "kelvara.prover._tptp",
    "kelvara.prover._engine",
    "kelvara._native",
)


def pytest_sessionstart(session):
    if not os.environ.get("KELVARA_REQUIRE_NATIVE"):
        return
    import importlib

    import pytest

    missing = []
    for name in NATIVE_MODULES:
        try:
            importlib.import_module(name)
        except ImportError as exc:
            missing.append(f"{name}: {exc}")
    if missing:
        pytest.exit("native modules missing (KELVARA_REQUIRE_NATIVE is set):\n" + "\n".join(missing), returncode=3)
