"""The examples of the README and of the documentation run as doctests.

Python examples are written as interactive sessions (``pycon`` code blocks
with ``>>>`` prompts) so that their printed results are checked too; a Python
code block without a prompt would go unchecked and is refused.
"""

from __future__ import annotations

import doctest
import glob
import json
import os
import re

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGES = sorted(glob.glob(os.path.join(ROOT, "docs", "**", "*.rst"), recursive=True))
NARRATIVE = [p for p in PAGES if os.sep + "api" + os.sep not in p]
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


def _run(text, name):
    parser = doctest.DocTestParser()
    test = parser.get_doctest(text, {"__name__": "__docs__"}, name, name, 0)
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    out = []
    runner.run(test, out=out.append)
    return test, runner.summarize(verbose=False), "".join(out)


def _readme_blocks():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        text = f.read()
    return re.findall(r"^```(\w*)\n(.*?)^```", text, re.M | re.S)


def test_docs_exist():
    names = {os.path.relpath(p, os.path.join(ROOT, "docs")) for p in PAGES}
    assert {"index.rst", "getting-started.rst", "howto-visitor.rst", "howto-resolution.rst", "prover.rst"} <= names


@pytest.mark.parametrize("page", NARRATIVE, ids=lambda p: os.path.relpath(p, ROOT))
def test_page_examples(page):
    with open(page, encoding="utf-8") as f:
        text = f.read()
    test, result, report = _run(text, os.path.relpath(page, ROOT))
    assert result.attempted > 0, "a guide page without a checked example"
    assert result.failed == 0, report


@pytest.mark.parametrize("page", PAGES, ids=lambda p: os.path.relpath(p, ROOT))
def test_page_code_blocks_are_checked(page):
    """Python code blocks are sessions; other blocks are shell commands."""
    with open(page, encoding="utf-8") as f:
        text = f.read()
    for lang, body in re.findall(r"^\.\. code-block:: *(\w+)\n\n((?:(?:   .*)?\n)+)", text, re.M):
        assert lang in ("pycon", "console"), lang
        if lang == "pycon":
            assert body.lstrip().startswith(">>>")
        else:
            assert all(line.strip().startswith("$ ") for line in body.splitlines() if line.strip())
    assert "::\n\n    >>>" not in text  # literal blocks would be checked but not highlighted


def test_readme_examples():
    blocks = _readme_blocks()
    sessions = [body for lang, body in blocks if lang == "pycon"]
    assert sessions
    for lang, body in blocks:
        assert lang in ("pycon", "sh", "json"), f"README code block of language {lang!r} is not checked"
        if lang == "json":
            json.loads(body)  # sample data must at least be valid JSON
    for i, body in enumerate(sessions):
        _, result, report = _run(body, f"README.md session {i}")
        assert result.attempted > 0 and result.failed == 0, report


def test_a_wrong_example_fails():
    """The runner really compares output (a guard against a vacuous setup)."""
    _, result, _ = _run(">>> 1 + 1\n3\n", "wrong")
    assert result.failed == 1
