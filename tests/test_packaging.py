"""Package metadata: one version source, the SPDX licence with its file, classifiers, CI setup."""

from __future__ import annotations

import importlib.metadata
import os
import re
import sys

import pytest

import kelvara

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

tomllib = pytest.importorskip("tomllib")


@pytest.fixture(scope="module")
def project():
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)


def test_version_has_one_source(project):
    meta = project["project"]
    assert "version" not in meta and "version" in meta["dynamic"]
    build = project["tool"]["scikit-build"]["metadata"]["version"]
    assert build["provider"] == "scikit_build_core.metadata.regex"
    source = os.path.join(ROOT, build["input"])
    assert os.path.samefile(source, os.path.join(ROOT, "src", "kelvara", "__init__.py"))
    # the default pattern of the regex provider must find the version there
    with open(source) as f:
        match = re.search(r"""(?i)^(__version__|VERSION)(?: ?\: ?str)? *= *(['"])v?(?P<value>.+?)\2""", f.read(), re.M)
    assert match is not None and match.group("value") == kelvara.__version__


def test_licence_is_an_spdx_expression_with_its_file(project):
    meta = project["project"]
    assert meta["license"] == "MIT"
    assert meta["license-files"] == ["LICENSE"]
    with open(os.path.join(ROOT, "LICENSE")) as f:
        text = f.read()
    assert text.startswith("MIT License") and "WITHOUT WARRANTY OF ANY KIND" in text


def test_classifiers_name_the_running_interpreter(project):
    classifiers = project["project"]["classifiers"]
    assert f"Programming Language :: Python :: {sys.version_info[0]}.{sys.version_info[1]}" in classifiers
    floor = project["project"]["requires-python"].removeprefix(">=")
    assert f"Programming Language :: Python :: {floor}" in classifiers
    assert "Typing :: Typed" in classifiers
    assert any(c.startswith("Operating System ::") for c in classifiers)
    assert any(c.startswith("Topic ::") for c in classifiers)


def test_stub_imports_are_declared(project):
    """Every third-party module a stub imports is a dependency of the package."""
    deps = {re.split(r"[<>=!; \[]", d, maxsplit=1)[0].replace("-", "_").lower() for d in project["project"]["dependencies"]}
    stdlib = set(sys.stdlib_module_names)
    seen = set()
    for folder, _, files in os.walk(os.path.join(ROOT, "src", "kelvara")):
        for name in files:
            if name.endswith(".pyi"):
                with open(os.path.join(folder, name)) as f:
                    for m in re.finditer(r"^(?:from|import) +([A-Za-z_]\w*)", f.read(), re.M):
                        seen.add(m.group(1))
    third_party = {m for m in seen if m not in stdlib and m != "kelvara"}
    assert "typing_extensions" in third_party
    assert third_party <= deps, third_party - deps


def test_ci_installs_into_its_own_environment():
    with open(os.path.join(ROOT, ".ci", "run")) as f:
        lines = [line.strip() for line in f if line.strip() and not line.lstrip().startswith("#")]
    assert any(re.match(r"python3 -m venv ", line) for line in lines)
    installs = [line for line in lines if "pip install" in line]
    assert installs and all(line.startswith('"$py" -m pip') for line in installs)
    # The README's test command runs with the venv's interpreter, under a time limit.
    assert any(re.match(r'limit \d+ "\$py" -m pytest( |$)', line) for line in lines)


def _installed():
    try:
        dist = importlib.metadata.distribution("kelvara")
    except importlib.metadata.PackageNotFoundError:
        return None
    # only a distribution that provides the imported package counts (not a stale copy elsewhere)
    location = os.path.realpath(str(dist.locate_file("kelvara/__init__.py")))
    return dist if location == os.path.realpath(kelvara.__file__) else None


@pytest.mark.skipif(_installed() is None, reason="kelvara runs from the source tree, not an installed wheel")
def test_installed_metadata():
    dist = _installed()
    assert dist is not None
    meta = dist.metadata
    assert dist.version == kelvara.__version__
    assert meta["License-Expression"] == "MIT"
    assert "LICENSE" in meta.get_all("License-File", [])
    files = [str(p) for p in dist.files or ()]
    assert any(p.endswith("licenses/LICENSE") for p in files), files
    assert "typing_extensions>=4.15" in (meta.get_all("Requires-Dist") or [])
