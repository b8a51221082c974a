"""Batch inputs: files, recursive folders, glob patterns, bundled names and manifests."""

from __future__ import annotations

from pathlib import Path

import pytest

from kelvara.prover.batch.inputs import InputError, Task, collect, expand, read_manifest
from kelvara.prover.cli import bundled_dir


@pytest.fixture
def tree(tmp_path: Path) -> Path:
    for rel in ["a/x1.p", "a/x2.p", "a/sub/y1.p", "a/.hidden/z.p", "a/.dot.p", "a/notes.txt", "b/w.p"]:
        path = tmp_path / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("fof(a, axiom, p).\n")
    return tmp_path


def names(paths) -> list[str]:
    return [Path(p).name for p in paths]


def test_folder_is_searched_recursively_in_path_order_without_hidden_entries(tree: Path):
    assert names(expand(str(tree / "a"))) == ["y1.p", "x1.p", "x2.p"]  # a/sub/y1.p < a/x1.p


@pytest.mark.parametrize("pattern, expected", [
    ("a/x*.p", ["x1.p", "x2.p"]),
    ("*/w.p", ["w.p"]),
    ("a/**/*1.p", ["y1.p", "x1.p"]),
    ("[ab]", ["y1.p", "x1.p", "x2.p", "w.p"]),  # a glob matching folders takes their problems
])
def test_glob_patterns(tree: Path, pattern: str, expected: list[str]):
    assert names(expand(str(tree / pattern))) == expected


def test_bundled_names_with_and_without_extension():
    assert expand("pel55", bundled=bundled_dir()) == [bundled_dir() / "pel55.p"]
    assert expand("pel01.p", bundled=bundled_dir()) == [bundled_dir() / "pel01.p"]


@pytest.mark.parametrize("name, message", [
    ("missing.p", "no such problem: missing.p"),
    ("nothing*.p", "no problem matches nothing*.p"),
])
def test_inputs_naming_nothing_are_refused(tree: Path, name: str, message: str, monkeypatch):
    monkeypatch.chdir(tree)
    with pytest.raises(InputError) as info:
        expand(name, bundled=bundled_dir())
    assert str(info.value) == message


def test_an_empty_folder_is_refused(tmp_path: Path):
    (tmp_path / "empty").mkdir()
    with pytest.raises(InputError, match="no .p files under"):
        expand(str(tmp_path / "empty"))


def test_manifest_relative_entries_statuses_and_comments(tree: Path):
    manifest = tree / "list.txt"
    manifest.write_text("# my selection\n\na/x1.p Theorem\n  b   # no expectation\na/sub/*.p CounterSatisfiable\n")
    tasks = read_manifest(manifest)
    assert [(Path(t.path).name, t.expected) for t in tasks] == [
        ("x1.p", "Theorem"), ("w.p", None), ("y1.p", "CounterSatisfiable")]
    assert all(Path(t.path).is_absolute() for t in tasks)


@pytest.mark.parametrize("line, message", [
    ("a/x1.p Proven", "list.txt:2: unknown status 'Proven'"),
    ("a/x1.p Theorem extra", "list.txt:2: expected 'PROBLEM [STATUS]'"),
    ("a/none.p", "list.txt:2: no such problem: a/none.p"),
])
def test_bad_manifest_lines_name_file_and_line(tree: Path, line: str, message: str):
    manifest = tree / "list.txt"
    manifest.write_text(f"a/x2.p\n{line}\n")
    with pytest.raises(InputError) as info:
        read_manifest(manifest)
    assert str(info.value).startswith(str(tree / message))


def test_collect_keeps_the_first_occurrence_of_each_file(tree: Path, monkeypatch):
    monkeypatch.chdir(tree)
    manifest = tree / "list.txt"
    manifest.write_text("a/x1.p CounterSatisfiable\nb/w.p Satisfiable\n")
    tasks = collect(["a/x1.p", "./a"], [str(manifest)])
    assert [(t.name, t.expected, t.folder) for t in tasks] == [
        ("x1", None, "a"), ("y1", None, str(Path("a") / "sub")), ("x2", None, "a"), ("w", "Satisfiable", "b")]


def test_folder_outside_the_working_folder_is_absolute(tree: Path, tmp_path_factory):
    elsewhere = tmp_path_factory.mktemp("cwd")
    import os

    old = os.getcwd()
    os.chdir(elsewhere)
    try:
        task, = collect([str(tree / "b" / "w.p")])
    finally:
        os.chdir(old)
    assert task == Task(str((tree / "b" / "w.p").resolve()), str((tree / "b").resolve()), None)
