"""Proofs in TSTP: the derivation printed as TPTP statements any TPTP tool reads.

The printer takes the checked proof records of a run and writes

* each input statement the proof uses, as written (``fof``/``cnf``), with a
  ``file('name.p', name)`` source;
* the negated conjecture, as an ``inference(negate_conjecture, ...)``;
* each input clause as ``inference(clausify, [status(esa)], [statement])``
  (``status(thm)`` for ``cnf`` statements), or ``introduced(definition, ...)``
  for the clauses defining a predicate named by the clause form, or
  ``introduced(theory(...), ...)`` for axioms the prover adds itself;
* each derived clause as ``inference(rule, [status(thm)], [parents])``.

Variables print as ``X<id>``; names that are not TPTP lower words print
quoted; distinct objects and numbers print as written.  Every walk over terms
and formulas is iterative.  The names of derived clauses get a prefix that no
input statement uses, so labels never collide with input names.
"""

from __future__ import annotations

import re
from typing import Callable, Iterable

from kelvara.core.ast import (
    And,
    Constant,
    Equality,
    Exists,
    Forall,
    FunctionApp,
    Iff,
    Implies,
    Not,
    Or,
    PredicateApp,
    Variable,
)

__all__ = ["quote_name", "term_text", "formula_text", "clause_text", "label_prefix"]

_LOWER_WORD = re.compile(r"[a-z][A-Za-z0-9_]*\Z")
_NUMBER = re.compile(r"[+-]?[0-9]+(?:/[0-9]+|(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?)\Z")
_DISTINCT = re.compile(r'"(?:[^"\\]|\\.)*"\Z')


def quote_name(name: str) -> str:
    """A name as TPTP writes it: a lower word as is, anything else single-quoted."""
    if _LOWER_WORD.match(name):
        return name
    return "'" + name.replace("\\", "\\\\").replace("'", "\\'") + "'"


def _symbol(name) -> str:
    name = str(name)
    if _DISTINCT.match(name) or _NUMBER.match(name):
        return name
    return quote_name(name)


def _write(root, out: list) -> None:
    """Appends the TPTP text of a term or formula to ``out`` (iteratively)."""
    stack: list = [root]
    pop, push = stack.pop, stack.append
    while stack:
        item = pop()
        if type(item) is str:
            out.append(item)
            continue
        kind = type(item)
        if kind is Variable:
            out.append(f"X{item.id}")
        elif kind is Constant:
            out.append(_symbol(item.name))
        elif kind is FunctionApp or kind is PredicateApp:
            name = _symbol(item.func if kind is FunctionApp else item.pred)
            args = item.args
            if not args:
                out.append(name)
                continue
            out.append(name + "(")
            push(")")
            for index in range(len(args) - 1, -1, -1):
                push(args[index])
                if index:
                    push(",")
        elif kind is Equality:
            push(item.right)
            push(" = ")
            push(item.left)
        elif kind is Not:
            operand = item.operand
            if type(operand) is Equality:
                push(operand.right)
                push(" != ")
                push(operand.left)
            else:
                out.append("~ ")
                push(operand)
        elif kind is And or kind is Or or kind is Implies or kind is Iff:
            op = {And: " & ", Or: " | ", Implies: " => ", Iff: " <=> "}[kind]
            out.append("(")
            push(")")
            push(item.right)
            push(op)
            push(item.left)
        elif kind is Forall or kind is Exists:
            variables = [item.variable]
            body = item.body
            while type(body) is kind:
                variables.append(body.variable)
                body = body.body
            out.append(("! [" if kind is Forall else "? [") + ", ".join(f"X{v.id}" for v in variables) + "] : ")
            push(body)
        else:
            raise TypeError(f"cannot print {kind.__name__} in TPTP")


def term_text(term) -> str:
    out: list = []
    _write(term, out)
    return "".join(out)


formula_text = term_text


def clause_text(clause) -> str:
    """A clause as a TPTP disjunction of literals; ``$false`` when empty."""
    parts = []
    for lit in clause.literals:
        parts.append(term_text(lit.atom if lit.positive else Not(lit.atom)))
    return " | ".join(parts) if parts else "$false"


def label_prefix(names: Iterable[str], preferred: str = "c") -> str:
    """A prefix p such that no name in ``names`` is p followed by digits."""
    taken = set(names)
    candidates = [preferred] + [f"{preferred}{suffix}_" for suffix in ("", "l", "k", "x")]
    for candidate in candidates:
        pattern = re.compile(re.escape(candidate) + r"[0-9]+\Z")
        if not any(pattern.match(n) for n in taken):
            return candidate
    index = 0
    while True:  # pragma: no cover - the candidates above practically always suffice
        candidate = f"{preferred}{index}_"
        pattern = re.compile(re.escape(candidate) + r"[0-9]+\Z")
        if not any(pattern.match(n) for n in taken):
            return candidate
        index += 1


def annotated(language: str, name: str, role: str, formula: str, source: str) -> str:
    return f"{language}({quote_name(name)}, {role}, {formula}, {source})."


def file_source(file: str, name: str) -> str:
    return f"file({quote_name(file)}, {quote_name(name)})"


def inference(rule: str, status: str, parents: Iterable[str]) -> str:
    return f"inference({rule}, [status({status})], [{', '.join(parents)}])"


def checked_lines(lines: Iterable[str], check: Callable[[], None] | None) -> list[str]:
    """Collects lines, consulting the budget every 256 of them."""
    out = []
    for index, line in enumerate(lines):
        if check is not None and index % 256 == 255:
            check()
        out.append(line)
    return out
