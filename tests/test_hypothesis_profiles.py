"""The example counts the test-wide conftest gives property tests under each profile.

A copy of the conftest runs a few property tests in a child pytest, each
counting its calls; the counts show which profile scaled what.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

CONFTEST = Path(__file__).with_name("conftest.py")

PROPERTIES = '''
import os
from hypothesis import given, settings, strategies as st

def record(name):
    with open(os.environ["COUNTS"], "a") as out:
        out.write(name + "\\n")

@given(st.integers())
def test_default(i):
    record("default")

@settings(max_examples=300)
@given(st.integers())
def test_three_hundred(i):
    record("three_hundred")

@given(st.integers())
@settings(max_examples=30)
def test_thirty_settings_inside(i):
    record("thirty")

class TestInClass:
    @settings(max_examples=5)
    @given(st.integers())
    def test_five(self, i):
        record("five")
'''


def run_properties(tmp_path: Path, profile: str | None) -> tuple[subprocess.CompletedProcess, dict[str, int]]:
    shutil.copy(CONFTEST, tmp_path / "conftest.py")
    (tmp_path / "test_properties.py").write_text(PROPERTIES)
    counts = tmp_path / "counts.txt"
    env = {k: v for k, v in os.environ.items() if k not in ("KELVARA_HYPOTHESIS", "KELVARA_REQUIRE_NATIVE",
                                                            "PYTEST_ADDOPTS")}
    env["COUNTS"] = str(counts)
    if profile is not None:
        env["KELVARA_HYPOTHESIS"] = profile
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "no:randomly",
                          str(tmp_path)], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    seen: dict[str, int] = {}
    if counts.exists():
        for name in counts.read_text().split():
            seen[name] = seen.get(name, 0) + 1
    return run, seen


@pytest.mark.parametrize(
    "profile, expected",
    [
        (None, {"default": 100, "three_hundred": 300, "thirty": 30, "five": 5}),
        ("ci", {"default": 100, "three_hundred": 300, "thirty": 30, "five": 5}),
        ("light", {"default": 20, "three_hundred": 60, "thirty": 10, "five": 5}),
    ],
)
def test_example_counts_per_profile(tmp_path, profile, expected):
    # Integers are drawn without rejection, so each test runs exactly its count
    # (derandomized: the same examples every run).
    run, seen = run_properties(tmp_path, profile)
    assert run.returncode == 0, run.stdout + run.stderr
    assert seen == expected


def test_an_unknown_profile_is_refused(tmp_path):
    run, seen = run_properties(tmp_path, "lite")
    assert run.returncode != 0 and seen == {}
    assert "KELVARA_HYPOTHESIS='lite': expected 'ci', 'explore' or 'light'" in run.stdout + run.stderr
