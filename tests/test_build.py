"""The extension modules export exactly one symbol each: their init function."""

from __future__ import annotations

import importlib
import shutil
import subprocess

import pytest


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
@pytest.mark.parametrize("name", ["kelvara.core.ast", "kelvara.core.visitors", "kelvara.prover.rules"])
def test_only_the_init_function_is_exported(name):
    try:
        mod = importlib.import_module(name)
    except ImportError:
        pytest.skip(f"{name} is not built")
    out = subprocess.run(["nm", "-D", "--defined-only", mod.__file__], capture_output=True, text=True, check=True)
    symbols = {line.split()[-1] for line in out.stdout.splitlines() if line.strip()}
    assert symbols == {"PyInit_" + name.rsplit(".", 1)[1]}
