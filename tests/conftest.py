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
