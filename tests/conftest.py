"""Test-wide settings.

Property tests run without per-example deadlines (a loaded CI machine must not
turn slow examples into failures) and derandomized, so that every run explores
the same examples and a failure reproduces.  Set KELVARA_HYPOTHESIS=explore to
draw fresh random examples instead.  KELVARA_HYPOTHESIS=light (CI's lanes on the
other interpreters and against the sanitizer build) runs every property test
with a fifth of its examples, at least LIGHT_MIN_EXAMPLES: those lanes look for
faults of the interpreter or of memory, which show on the first examples as
well, while the full-strength run on the main interpreter explores the rest.
"""

from __future__ import annotations

import os

from hypothesis import HealthCheck, settings

settings.register_profile(
    "ci", deadline=None, derandomize=True, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("explore", deadline=None, suppress_health_check=[HealthCheck.too_slow])
LIGHT_DIVISOR = 5
LIGHT_MIN_EXAMPLES = 10
PROFILE = os.environ.get("KELVARA_HYPOTHESIS", "ci")
if PROFILE not in ("ci", "explore", "light"):
    raise RuntimeError(f"KELVARA_HYPOTHESIS={PROFILE!r}: expected 'ci', 'explore' or 'light'")
# The light profile is the ci profile with each test's count scaled at collection.
settings.load_profile("explore" if PROFILE == "explore" else "ci")


def light_examples(count: int) -> int:
    """The example count of a property test that asks for `count`, under the light profile."""
    return min(count, max(LIGHT_MIN_EXAMPLES, count // LIGHT_DIVISOR))


def pytest_collection_modifyitems(config, items):
    # A test's own @settings(max_examples=...) overrides the profile, so each
    # count (the profile's own for tests without one) is scaled here.  Hypothesis keeps a
    # test's settings in this attribute (its pytest plugin reads it the same way).
    if PROFILE != "light":
        return
    for item in items:
        test = getattr(getattr(item, "obj", None), "__func__", getattr(item, "obj", None))
        own = getattr(test, "_hypothesis_internal_use_settings", None)
        if own is None or getattr(test, "_kelvara_light", False):
            continue
        test._hypothesis_internal_use_settings = settings(own, max_examples=light_examples(own.max_examples))
        test._kelvara_light = True

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
