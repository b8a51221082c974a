"""The .pyi stubs describe the built extension modules (checked with mypy's stubtest)."""

from __future__ import annotations

import importlib
import importlib.util
import os
import subprocess
import sys

import pytest

ALLOWLIST = os.path.join(os.path.dirname(__file__), "typing", "stubtest-allowlist.txt")


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="needs mypy")
@pytest.mark.parametrize("module", ["kelvara.core.ast", "kelvara.core.visitors", "kelvara.prover.rules", "kelvara._native",
                                    "kelvara.prover._tptp"])
def test_stubs_match_runtime(module):
    try:
        importlib.import_module(module)
    except ImportError:
        pytest.skip(f"{module} is not built")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    r = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module, "--allowlist", ALLOWLIST, "--ignore-unused-allowlist"],
        capture_output=True, text=True, env=env, timeout=300,
    )
    assert r.returncode == 0, r.stdout[-4000:] + r.stderr[-2000:]
