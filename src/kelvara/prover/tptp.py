"""Reader for first-order problems in TPTP syntax (``fof`` and ``cnf``).

The parsing itself is native (:mod:`kelvara.prover._tptp`); this module
resolves includes and assembles the :class:`Problem`.  A problem is read
completely (includes too) before anything is handed back: a file with an
error anywhere yields a ``TPTPError`` naming the file, line and column, never
a partly loaded problem.

Formulas map onto the node model as follows.  Every variable binding gets a
fresh integer id (variables carry no names), so shadowing in the input never
confuses two variables; the input names are kept in ``AnnotatedFormula.names``
for messages.  ``$true`` and ``$false`` are removed by constant propagation;
an axiom that reduces to ``$true`` carries no information, one that reduces to
``$false`` becomes the empty clause.  Distinct objects (``"..."``, named with
their quotes) and numbers are constants listed in ``Problem.distinct``: the
clause form makes those of different values pairwise unequal.  ``cnf``
clauses are closed universally; a variable used free in a ``fof`` formula is
an input error, and so is a symbol used with two arities or both as a
predicate and as a function.  Typed and higher-order languages and arithmetic
are answered ``Inappropriate``.

Includes resolve next to the including file, then next to the problem, then
under ``$TPTP``.  Each file is read once per problem: including a file again
adds only the statements (of its selection) not included yet, so a diamond of
includes is not expanded twice; an include cycle is an input error.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

from kelvara.core.ast import Formula, PredicateApp

from ._tptp import Reader, ReadError
from .argcheck import expect

__all__ = [
    "TPTPError",
    "AnnotatedFormula",
    "Problem",
    "ROLES",
    "parse_problem",
    "parse_file",
    "parse_stdin",
    "TRUE",
    "FALSE",
]

#: Roles accepted in annotated formulas.
ROLES = frozenset(
    {
        "axiom",
        "hypothesis",
        "definition",
        "assumption",
        "lemma",
        "theorem",
        "corollary",
        "conjecture",
        "negated_conjecture",
        "plain",
        "unknown",
    }
)

#: Markers of a statement that reduces to a truth constant.
TRUE = PredicateApp("$true", 0, ())
FALSE = PredicateApp("$false", 0, ())


class TPTPError(Exception):
    """A problem could not be read.  ``status`` is the SZS status to report."""

    def __init__(self, message: str, *, file: str | None = None, line: int | None = None,
                 column: int | None = None, status: str = "InputError") -> None:
        self.message = message
        self.file = file
        self.line = line
        self.column = column
        self.status = status
        super().__init__(self.__str__())

    def __str__(self) -> str:
        where = ""
        if self.file is not None:
            where = self.file
            if self.line is not None:
                where += f":{self.line}"
                if self.column is not None:
                    where += f":{self.column}"
            where += ": "
        return where + self.message


@dataclass(frozen=True)
class AnnotatedFormula:
    """One ``fof``/``cnf`` statement of a problem.

    ``formula`` is a closed kelvara formula (``cnf`` statements are closed
    universally too), or one of the markers ``TRUE``/``FALSE`` when the input
    reduces to a truth constant.  ``names`` maps variable ids back to the
    names written in the input.
    """

    name: str
    role: str
    language: str
    formula: Formula
    file: str
    line: int
    names: dict = field(default_factory=dict, compare=False, hash=False)


@dataclass
class Problem:
    """A parsed problem: its statements in input order (includes expanded).

    ``symbols`` maps every symbol read (predicates, functions, distinct
    objects, numbers) to its arity; ``distinct`` lists the distinct objects
    and numbers in the order first seen.
    """

    name: str
    path: str | None
    formulas: list[AnnotatedFormula]
    expected_status: str | None = None
    symbols: dict = field(default_factory=dict)
    distinct: tuple = ()

    @property
    def conjectures(self) -> list[AnnotatedFormula]:
        return [f for f in self.formulas if f.role == "conjecture"]


_HEADER_STATUS = re.compile(r"^%\s*Status\s*:\s*(\w+)", re.MULTILINE)


def _resolve_include(target: str, including: str, base_dir: Path, line: int, column: int) -> Path:
    target_path = Path(target)
    candidates = []
    if target_path.is_absolute():
        candidates.append(target_path)
    else:
        candidates.append(Path(including).parent / target_path)
        candidates.append(base_dir / target_path)
        root = os.environ.get("TPTP")
        if root:
            candidates.append(Path(root) / target_path)
    for candidate in candidates:
        if candidate.is_file():
            return candidate.resolve()
    raise TPTPError(f"include file '{target}' not found (looked in the problem's folder"
                    + (" and $TPTP" if os.environ.get("TPTP") else "; $TPTP is not set") + ")",
                    file=including, line=line, column=column)


class _Frame:
    """One file being expanded: its items, the next one, its selection."""

    __slots__ = ("items", "index", "file", "key", "selection")

    def __init__(self, items: list, file: str, key, selection) -> None:
        self.items = items
        self.index = 0
        self.file = file
        self.key = key
        self.selection = selection


def _read(reader: Reader, text: str, file: str) -> list:
    try:
        return reader.read(text, file)
    except ReadError as exc:
        status, message, line, column = exc.args
        raise TPTPError(message, file=file, line=line, column=column, status=status) from None
    except (TypeError, ValueError) as exc:  # a node refused what was read
        raise TPTPError(f"invalid input: {exc}", file=file, status="InputError") from None


def _expand(reader: Reader, text: str, file: str, base_dir: Path) -> list[AnnotatedFormula]:
    """Statements of the problem with includes expanded (iteratively)."""
    parsed: dict[Path, list] = {}        # file -> its items, read once
    emitted: dict[object, set] = {}      # file -> indices of its statements already taken
    complete: set = set()                # files expanded without a selection
    active: set = set()                  # files on the include stack
    result: list[AnnotatedFormula] = []
    main_key = None
    if file not in ("<input>", "<stdin>") and Path(file).is_file():
        main_key = Path(file).resolve()
        active.add(main_key)
    stack = [_Frame(_read(reader, text, file), file, main_key, None)]
    while stack:
        frame = stack[-1]
        if frame.index >= len(frame.items):
            stack.pop()
            if frame.key is not None:
                active.discard(frame.key)
                if frame.selection is None:
                    complete.add(frame.key)
            continue
        index = frame.index
        item = frame.items[index]
        frame.index += 1
        if item[0] == "include":
            _, target, selection, line, column = item
            path = _resolve_include(target, frame.file, base_dir, line, column)
            if path in active:
                raise TPTPError(f"include cycle through '{target}'", file=frame.file, line=line, column=column)
            if path in complete:
                continue
            items = parsed.get(path)
            if items is None:
                try:
                    included = path.read_text(encoding="utf-8")
                except (OSError, UnicodeDecodeError) as exc:
                    raise TPTPError(f"cannot read include '{target}': {exc}", file=frame.file, line=line,
                                    column=column) from None
                items = parsed[path] = _read(reader, included, str(path))
            active.add(path)
            stack.append(_Frame(items, str(path), path, None if selection is None else frozenset(selection)))
            continue
        language, name, role, formula, line, _column, names = item
        if frame.selection is not None and name not in frame.selection:
            continue
        if frame.key is not None:
            taken = emitted.setdefault(frame.key, set())
            if index in taken:
                continue
            taken.add(index)
        if formula is True:
            formula = TRUE
        elif formula is False:
            formula = FALSE
        result.append(AnnotatedFormula(name, role, language, formula, frame.file, line, names))
    return result


def parse_problem(text: str, *, name: str = "problem", file: str = "<input>",
                  base_dir: str | os.PathLike | None = None,
                  check: Callable[[], None] | None = None) -> Problem:
    """Parse a whole problem given as text; includes resolve against base_dir.

    ``check`` (a :class:`~kelvara.prover.limits.Budget`, say) is called now
    and then while reading and may raise to stop it.
    """
    expect("parse_problem()", "text", text, str, "a str")
    expect("parse_problem()", "name", name, str, "a str")
    expect("parse_problem()", "file", file, str, "a str")
    expect("parse_problem()", "base_dir", base_dir, (str, os.PathLike), "a str or a path", none=True)
    base = Path(base_dir) if base_dir is not None else Path(file).parent
    reader = Reader(check)
    formulas = _expand(reader, text, file, base)
    status = _HEADER_STATUS.search(text)
    return Problem(name=name, path=None if file in ("<input>", "<stdin>") else file, formulas=formulas,
                   expected_status=status.group(1) if status else None, symbols=reader.symbols(),
                   distinct=reader.specials())


def _read_text(path: Path, shown: str) -> str:
    try:
        return path.read_text(encoding="utf-8")
    except FileNotFoundError:
        raise TPTPError("no such file", file=shown, status="InputError") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise TPTPError(f"cannot read file: {exc}", file=shown, status="InputError") from None


def problem_name(path: str | os.PathLike) -> str:
    """The name of a problem file: its file name without the TPTP suffix."""
    name = Path(path).name
    for suffix in (".p", ".tptp", ".ax"):
        if name.endswith(suffix):
            return name[: -len(suffix)]
    return name


def parse_file(path: str | os.PathLike, check: Callable[[], None] | None = None) -> Problem:
    """Read and parse a problem file."""
    expect("parse_file()", "path", path, (str, os.PathLike), "a str or a path")
    p = Path(path)
    text = _read_text(p, str(p))
    problem = parse_problem(text, name=problem_name(p), file=str(p), base_dir=p.parent, check=check)
    problem.path = str(p)
    return problem


def parse_stdin(stream, check: Callable[[], None] | None = None) -> Problem:
    """Read a problem from a text stream (standard input); includes resolve
    against the working directory and ``$TPTP``."""
    try:
        text = stream.read()
    except (OSError, UnicodeDecodeError) as exc:
        raise TPTPError(f"cannot read standard input: {exc}", file="<stdin>", status="InputError") from None
    return parse_problem(text, name="stdin", file="<stdin>", base_dir=Path.cwd(), check=check)
