"""The stubs seen by the two type checkers: mypy and pyright on the samples in tests/typing/.

``accepted.py`` must check clean; in ``reported.py`` every line marked with
``# type: ignore[code]`` must be reported, with that code by mypy: an unneeded
ignore comment is itself an error for both checkers.
"""

from __future__ import annotations

import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

import kelvara

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "typing")
SAMPLES = ["accepted.py", "reported.py"]
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(kelvara.__file__)))


def _env():
    env = dict(os.environ)
    env["PYTHONPATH"] = PACKAGE_ROOT
    return env


def _marked_lines(name):
    with open(os.path.join(HERE, name)) as f:
        return {i: m.group(1) for i, line in enumerate(f, 1) if (m := re.search(r"# type: ignore\[([\w-]+)\]", line))}


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="needs mypy")
@pytest.mark.parametrize("sample", SAMPLES)
def test_mypy(sample, tmp_path):
    r = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--warn-unused-ignores", "--no-incremental",
         "--cache-dir", str(tmp_path), "--show-error-codes", "--no-error-summary",
         "--python-version", f"{sys.version_info[0]}.{sys.version_info[1]}", os.path.join(HERE, sample)],
        capture_output=True, text=True, env=_env(), timeout=600, cwd=tmp_path,
    )
    assert r.returncode == 0, r.stdout + r.stderr


def test_reported_sample_marks_every_mistake():
    """The sample is not vacuous: each of its mistakes carries a mypy code."""
    marks = _marked_lines("reported.py")
    assert len(marks) >= 12
    assert {"arg-type", "list-item", "dict-item", "assignment", "misc"} <= set(marks.values())
    assert _marked_lines("accepted.py") == {}


def _pyright():
    exe = shutil.which("basedpyright")
    if exe is None:
        candidate = os.path.join(os.path.dirname(sys.executable), "basedpyright")
        exe = candidate if os.path.exists(candidate) else None
    return exe


@pytest.mark.skipif(_pyright() is None, reason="needs basedpyright (the test extra)")
def test_pyright(tmp_path):
    config = {
        "include": [os.path.join(HERE, s) for s in SAMPLES],
        "extraPaths": [PACKAGE_ROOT],
        "pythonVersion": f"{sys.version_info[0]}.{sys.version_info[1]}",
        "typeCheckingMode": "standard",
        "enableTypeIgnoreComments": True,
        "reportUnnecessaryTypeIgnoreComment": "error",
        "reportMissingModuleSource": "none",
    }
    path = tmp_path / "pyrightconfig.json"
    path.write_text(json.dumps(config))
    r = subprocess.run(
        [_pyright(), "--project", str(path), "--pythonpath", sys.executable, "--outputjson"],
        capture_output=True, text=True, env=_env(), timeout=600, cwd=tmp_path,
    )
    report = json.loads(r.stdout)
    problems = [
        f"{os.path.basename(d['file'])}:{d['range']['start']['line'] + 1}: {d['severity']}: {d['message']}"
        for d in report["generalDiagnostics"]
    ]
    assert report["summary"]["filesAnalyzed"] == len(SAMPLES)
    assert problems == [], "\n".join(problems)
    assert r.returncode == 0, r.stderr
