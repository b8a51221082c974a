"""Problem inputs of a batch: files, folders, glob patterns, bundled names and manifests.

Every input resolves to tasks, one per problem file, in a stable order and
without duplicates.  A manifest is a text file with one input per line,
optionally followed by the status the problem is expected to have; ``#``
starts a comment and relative inputs are read from the manifest's folder.
"""

from __future__ import annotations

import glob
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Sequence

#: Statuses a manifest may expect (SZS names).
EXPECTABLE = frozenset({
    "Theorem", "Unsatisfiable", "CounterSatisfiable", "Satisfiable", "ContradictoryAxioms",
    "Unknown", "Open",
})

_GLOB_CHARS = frozenset("*?[")


class InputError(Exception):
    """An input that names no problem, or a malformed manifest line."""


@dataclass(frozen=True)
class Task:
    """One problem of a batch."""

    path: str  # absolute path of the problem file: the key of its result
    folder: str  # the folder it sits in, as shown in summaries
    expected: str | None = None  # the manifest's expectation, overriding the file's header

    @property
    def name(self) -> str:
        return Path(self.path).stem


def _display_folder(path: Path) -> str:
    """The folder of a problem, relative to the working folder when inside it."""
    folder = path.resolve().parent
    try:
        return str(folder.relative_to(Path.cwd())) or "."
    except ValueError:
        return str(folder)


def _problem_files(folder: Path) -> list[Path]:
    """The ``*.p`` files under a folder, recursively, in path order, skipping hidden entries."""
    found: list[Path] = []
    for root, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        found.extend(Path(root) / f for f in files if f.endswith(".p") and not f.startswith("."))
    return sorted(found)


def expand(name: str, base: Path | None = None, bundled: Path | None = None) -> list[Path]:
    """The problem files one input names (a file, a folder, a glob pattern or a bundled name)."""
    raw = Path(name).expanduser()
    path = raw if base is None or raw.is_absolute() else base / raw
    if any(c in _GLOB_CHARS for c in name):
        matches = sorted(Path(m) for m in glob.glob(str(path), recursive=True))
        files: list[Path] = []
        for match in matches:
            files.extend(_problem_files(match) if match.is_dir() else [match])
        if not files:
            raise InputError(f"no problem matches {name}")
        return files
    if path.is_dir():
        files = _problem_files(path)
        if not files:
            raise InputError(f"no .p files under {name}")
        return files
    if path.is_file():
        return [path]
    if bundled is not None and os.sep not in name and "/" not in name:
        candidate = bundled / (name if name.endswith(".p") else name + ".p")
        if candidate.is_file():
            return [candidate]
    raise InputError(f"no such problem: {name}")


def read_manifest(manifest: Path, bundled: Path | None = None) -> list[Task]:
    """Tasks of a manifest file: ``INPUT [EXPECTED-STATUS]`` per line."""
    try:
        text = manifest.read_text(encoding="utf-8")
    except OSError as exc:
        raise InputError(f"cannot read manifest {manifest}: {exc.strerror}") from None
    tasks: list[Task] = []
    for number, line in enumerate(text.splitlines(), 1):
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        if len(words) > 2:
            raise InputError(f"{manifest}:{number}: expected 'PROBLEM [STATUS]', got {line.strip()!r}")
        expected = words[1] if len(words) == 2 else None
        if expected is not None and expected not in EXPECTABLE:
            known = ", ".join(sorted(EXPECTABLE))
            raise InputError(f"{manifest}:{number}: unknown status {expected!r} (one of {known})")
        try:
            paths = expand(words[0], manifest.parent, bundled)
        except InputError as exc:
            raise InputError(f"{manifest}:{number}: {exc}") from None
        tasks.extend(_task(p, expected) for p in paths)
    return tasks


def _task(path: Path, expected: str | None) -> Task:
    absolute = path.resolve()
    return Task(str(absolute), _display_folder(path), expected)


def collect(names: list[str], manifests: Sequence[str] = (), bundled: Path | None = None) -> list[Task]:
    """All tasks of the inputs and manifests, first occurrence of each file kept."""
    tasks: list[Task] = []
    for name in names:
        tasks.extend(_task(p, None) for p in expand(name, None, bundled))
    for manifest in manifests:
        tasks.extend(read_manifest(Path(manifest), bundled))
    seen: set[str] = set()
    unique = []
    for task in tasks:
        if task.path not in seen:
            seen.add(task.path)
            unique.append(task)
    return unique
