"""Reference twin of the native TPTP reader, written with lark (tests only).

It keeps the reader's earlier semantics: free variables of a ``fof`` formula
are closed universally and arities are not checked.  The differential tests
compare the two readers' formulas on problems where both semantics agree.

A problem file is parsed completely (includes too) into kelvara nodes before
anything is handed back: a file with an error anywhere yields a ``TPTPError``
naming the file, line and column, never a partly loaded problem.

Formulas map onto the node model as follows.  Every variable binding gets a
fresh integer id (variables carry no names), so shadowing in the input never
confuses two variables; the input names are kept in ``AnnotatedFormula.names``
for messages.  ``$true`` and ``$false`` are removed by constant propagation;
an axiom that reduces to ``$true`` carries no information, one that reduces to
``$false`` becomes the empty clause.  Numbers and distinct objects ("...")
are plain constants.  Free variables of a ``fof`` formula are closed
universally, as ``cnf`` clauses are.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable

from lark import Lark
from lark.exceptions import UnexpectedCharacters, UnexpectedEOF, UnexpectedInput, UnexpectedToken

from kelvara.core.ast import (  # noqa: I001
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

__all__ = [
    "TPTPError",
    "AnnotatedFormula",
    "Problem",
    "ROLES",
    "parse_problem",
    "parse_file",
    "TRUE",
    "FALSE",
]

#: Roles accepted in annotated formulas.  ``type`` only occurs in typed
#: languages, which are refused before roles are looked at.
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

#: Marker atoms for the two truth constants while a formula is being built;
#: they never survive :func:`_simplify`.
TRUE = PredicateApp("$true", 0, ())
FALSE = PredicateApp("$false", 0, ())

_TYPED_LANGUAGES = ("thf", "tff", "tcf", "tpi")


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
    formula: object
    file: str
    line: int
    names: dict = field(default_factory=dict, compare=False, hash=False)


@dataclass
class Problem:
    """A parsed problem: its statements in input order (includes expanded)."""

    name: str
    path: str | None
    formulas: list[AnnotatedFormula]
    expected_status: str | None = None

    @property
    def conjectures(self) -> list[AnnotatedFormula]:
        return [f for f in self.formulas if f.role == "conjecture"]


_GRAMMAR = r"""
start: _item*
_item: annotated | include

annotated: LANG "(" name "," LOWER_WORD "," formula annotations? ")" "."
include: INCLUDE "(" SINGLE_QUOTED include_names? ")" "."
include_names: "," "[" [name ("," name)*] "]"
annotations: "," general_term ("," general_term)*

?formula: binary | unitary
?binary: unitary BINOP unitary  -> binop
       | or_chain
       | and_chain
or_chain: unitary ("|" unitary)+
and_chain: unitary ("&" unitary)+
?unitary: quantified
        | negation
        | atomic
        | "(" formula ")"
quantified: QUANT "[" variable ("," variable)* "]" ":" unitary
negation: "~" unitary
atomic: term
      | term EQOP term  -> equation

?term: function_term | variable
function_term: functor ("(" term ("," term)* ")")?
functor: LOWER_WORD | SINGLE_QUOTED | DOLLAR_WORD | DISTINCT_OBJECT | NUMBER
variable: UPPER_WORD

name: LOWER_WORD | SINGLE_QUOTED | INTEGER

general_term: general_data
            | general_data ":" general_term
            | general_list
general_list: "[" [general_term ("," general_term)*] "]"
general_data: LOWER_WORD
            | SINGLE_QUOTED
            | LOWER_WORD "(" general_term ("," general_term)* ")"
            | DOLLAR_WORD "(" general_term ("," general_term)* ")"
            | DOLLAR_WORD
            | UPPER_WORD
            | NUMBER
            | DISTINCT_OBJECT

LANG.2: "fof" | "cnf"
INCLUDE.2: "include"
QUANT: "!" | "?"
BINOP: "<=>" | "=>" | "<=" | "<~>" | "~|" | "~&"
EQOP: "=" | "!="
LOWER_WORD: /[a-z][A-Za-z0-9_]*/
UPPER_WORD: /[A-Z][A-Za-z0-9_]*/
DOLLAR_WORD: /\$\$?[a-z][A-Za-z0-9_]*/
SINGLE_QUOTED: /'(?:[^'\\]|\\.)+'/
DISTINCT_OBJECT: /"(?:[^"\\]|\\.)*"/
INTEGER.2: /[0-9]+/
NUMBER: /[+-]?[0-9]+(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?(?:\/[0-9]+)?/

COMMENT: /%[^\n]*/
BLOCK_COMMENT: /\/\*(.|\n)*?\*\//
%import common.WS
%ignore WS
%ignore COMMENT
%ignore BLOCK_COMMENT
"""

_parser = Lark(_GRAMMAR, parser="lalr", lexer="contextual", propagate_positions=True,
               maybe_placeholders=False)

# Readable names for the terminals, used in "expected ..." messages.
_TERMINAL_NAMES = {
    "LANG": "'fof' or 'cnf'",
    "INCLUDE": "'include'",
    "LPAR": "'('",
    "RPAR": "')'",
    "LSQB": "'['",
    "RSQB": "']'",
    "COMMA": "','",
    "DOT": "'.'",
    "COLON": "':'",
    "TILDE": "'~'",
    "VBAR": "'|'",
    "AMPERSAND": "'&'",
    "QUANT": "a quantifier",
    "BINOP": "a binary connective",
    "EQOP": "an equality sign",
    "LOWER_WORD": "a lower-case word",
    "UPPER_WORD": "a variable",
    "DOLLAR_WORD": "a defined word",
    "SINGLE_QUOTED": "a quoted name",
    "DISTINCT_OBJECT": "a distinct object",
    "INTEGER": "an integer",
    "NUMBER": "a number",
    "$END": "end of input",
}


def _unquote(text: str) -> str:
    if len(text) >= 2 and text[0] == text[-1] and text[0] in "'\"":
        return re.sub(r"\\(.)", r"\1", text[1:-1])
    return text


class _Scope:
    """Variable names in scope while one statement is built."""

    def __init__(self) -> None:
        self.next_id = 0
        self.bound: list[tuple[str, Variable]] = []
        self.free: dict[str, Variable] = {}
        self.names: dict[int, str] = {}

    def fresh(self, name: str) -> Variable:
        var = Variable(self.next_id)
        self.names[self.next_id] = name
        self.next_id += 1
        return var

    def lookup(self, name: str) -> Variable:
        for bound_name, var in reversed(self.bound):
            if bound_name == name:
                return var
        var = self.free.get(name)
        if var is None:
            var = self.free[name] = self.fresh(name)
        return var


class _StatementBuilder:
    """Turns the parse tree of one formula into kelvara nodes."""

    def __init__(self, file: str) -> None:
        self.file = file
        self.scope = _Scope()

    def error(self, node, message: str) -> TPTPError:
        meta = getattr(node, "meta", None)
        line = getattr(node, "line", None) or (getattr(meta, "line", None) if meta else None)
        column = getattr(node, "column", None) or (getattr(meta, "column", None) if meta else None)
        return TPTPError(message, file=self.file, line=line, column=column, status="SyntaxError")

    # -- formulas ---------------------------------------------------------
    def formula(self, tree):
        kind = tree.data
        if kind == "binop":
            left, op, right = tree.children
            lhs, rhs = self.formula(left), self.formula(right)
            op = str(op)
            if op == "<=>":
                return Iff(lhs, rhs)
            if op == "=>":
                return Implies(lhs, rhs)
            if op == "<=":
                return Implies(rhs, lhs)
            if op == "<~>":
                return Not(Iff(lhs, rhs))
            if op == "~|":
                return Not(Or(lhs, rhs))
            return Not(And(lhs, rhs))  # "~&"
        if kind in ("or_chain", "and_chain"):
            parts = [self.formula(child) for child in tree.children]
            node_class = Or if kind == "or_chain" else And
            result = parts[0]
            for part in parts[1:]:
                result = node_class(result, part)
            return result
        if kind == "negation":
            return Not(self.formula(tree.children[0]))
        if kind == "quantified":
            quant, *variables, body = tree.children
            bound = []
            for var_tree in variables:
                var_name = str(var_tree.children[0])
                var = self.scope.fresh(var_name)
                bound.append(var)
                self.scope.bound.append((var_name, var))
            result = self.formula(body)
            del self.scope.bound[len(self.scope.bound) - len(bound):]
            node_class = Forall if str(quant) == "!" else Exists
            for var in reversed(bound):
                result = node_class(var, result)
            return result
        if kind == "equation":
            left, op, right = tree.children
            eq = Equality(self.term(left), self.term(right))
            return eq if str(op) == "=" else Not(eq)
        if kind == "atomic":
            return self.atom(tree.children[0])
        raise self.error(tree, f"unexpected construct {kind}")

    def atom(self, tree):
        if tree.data == "variable":
            raise self.error(tree, "a variable cannot stand as a formula")
        functor, args = self._functor_and_args(tree)
        if functor.type == "DOLLAR_WORD":
            word = str(functor)
            if word == "$true" and not args:
                return TRUE
            if word == "$false" and not args:
                return FALSE
            raise self.error(functor, f"unsupported defined predicate {word}")
        if functor.type in ("DISTINCT_OBJECT", "NUMBER"):
            raise self.error(functor, f"{functor} cannot stand as a formula")
        return PredicateApp(_unquote(str(functor)), len(args), tuple(self.term(a) for a in args))

    def term(self, tree):
        if tree.data == "variable":
            return self.scope.lookup(str(tree.children[0]))
        functor, args = self._functor_and_args(tree)
        if functor.type == "DOLLAR_WORD":
            raise self.error(functor, f"unsupported defined term {functor}")
        name = str(functor) if functor.type in ("DISTINCT_OBJECT", "NUMBER") else _unquote(str(functor))
        if not args:
            return Constant(name)
        return FunctionApp(name, len(args), tuple(self.term(a) for a in args))

    @staticmethod
    def _functor_and_args(tree):
        functor_tree, *args = tree.children
        return functor_tree.children[0], args

    def close(self, formula):
        """Close the formula universally over the names used free in it."""
        for var in sorted(self.scope.free.values(), key=lambda v: v.id, reverse=True):
            formula = Forall(var, formula)
        return formula


def _simplify(formula):
    """Remove the truth constants by propagation; may return TRUE or FALSE."""
    if formula is TRUE or formula is FALSE:
        return formula
    if isinstance(formula, (PredicateApp, Equality)):
        if formula == TRUE:
            return TRUE
        if formula == FALSE:
            return FALSE
        return formula
    if isinstance(formula, Not):
        inner = _simplify(formula.operand)
        if inner is TRUE:
            return FALSE
        if inner is FALSE:
            return TRUE
        return formula if inner is formula.operand else Not(inner)
    if isinstance(formula, (Forall, Exists)):
        body = _simplify(formula.body)
        if body is TRUE or body is FALSE:
            return body
        return formula if body is formula.body else type(formula)(formula.variable, body)
    left = _simplify(formula.left)
    right = _simplify(formula.right)
    if isinstance(formula, And):
        if left is FALSE or right is FALSE:
            return FALSE
        if left is TRUE:
            return right
        if right is TRUE:
            return left
    elif isinstance(formula, Or):
        if left is TRUE or right is TRUE:
            return TRUE
        if left is FALSE:
            return right
        if right is FALSE:
            return left
    elif isinstance(formula, Implies):
        if left is FALSE or right is TRUE:
            return TRUE
        if left is TRUE:
            return right
        if right is FALSE:
            return _simplify(Not(left))
    elif isinstance(formula, Iff):
        if left is TRUE:
            return right
        if right is TRUE:
            return left
        if left is FALSE:
            return _simplify(Not(right))
        if right is FALSE:
            return _simplify(Not(left))
    if left is formula.left and right is formula.right:
        return formula
    return type(formula)(left, right)


_HEADER_STATUS = re.compile(r"^%\s*Status\s*:\s*(\w+)", re.MULTILINE)
_TYPED_START = re.compile(r"(?m)^[ \t]*(" + "|".join(_TYPED_LANGUAGES) + r")\s*\(")


def _position(text: str, offset: int) -> tuple[int, int]:
    line = text.count("\n", 0, offset) + 1
    column = offset - (text.rfind("\n", 0, offset) + 1) + 1
    return line, column


def _expected_text(expected: Iterable[str]) -> str:
    names = sorted({_TERMINAL_NAMES.get(e, e) for e in expected})
    if not names:
        return ""
    if len(names) == 1:
        return names[0]
    return ", ".join(names[:-1]) + " or " + names[-1]


def _syntax_error(exc: UnexpectedInput, text: str, file: str) -> TPTPError:
    line, column = getattr(exc, "line", None), getattr(exc, "column", None)
    if isinstance(exc, UnexpectedEOF) or (isinstance(exc, UnexpectedToken) and exc.token.type == "$END"):
        line, column = _position(text, len(text))
        found = "end of input"
    elif isinstance(exc, UnexpectedToken):
        found = repr(str(exc.token))
    elif isinstance(exc, UnexpectedCharacters):
        found = repr(text[exc.pos_in_stream]) if exc.pos_in_stream < len(text) else "end of input"
    else:  # pragma: no cover - lark raises only the three kinds above
        found = "unexpected input"
    offset = getattr(exc, "pos_in_stream", None)
    if offset is None and isinstance(exc, UnexpectedToken):
        offset = exc.token.start_pos
    if offset is not None:
        typed = _TYPED_START.match(text, text.rfind("\n", 0, offset) + 1)
        if typed and typed.start(1) == offset:
            return TPTPError(f"language '{typed.group(1)}' is not supported (only fof and cnf)",
                             file=file, line=line, column=column, status="InputError")
    expected = _expected_text(getattr(exc, "expected", None) or getattr(exc, "allowed", None) or ())
    message = f"syntax error: unexpected {found}"
    if expected:
        message += f", expected {expected}"
    return TPTPError(message, file=file, line=line, column=column, status="SyntaxError")


def _statements(text: str, file: str, base_dir: Path, seen: tuple[Path, ...],
                selection: set[str] | None) -> list[AnnotatedFormula]:
    try:
        tree = _parser.parse(text)
    except UnexpectedInput as exc:
        raise _syntax_error(exc, text, file) from None
    result: list[AnnotatedFormula] = []
    for item in tree.children:
        if item.data == "include":
            _, quoted, *rest = item.children
            names = None
            if rest:
                names = {_name(n) for n in rest[0].children}
            target = _unquote(str(quoted))
            path = _resolve_include(target, base_dir, file, item)
            if path in seen:
                raise TPTPError(f"include cycle through '{target}'", file=file, line=item.meta.line,
                                column=item.meta.column)
            try:
                included = path.read_text(encoding="utf-8")
            except (OSError, UnicodeDecodeError) as exc:
                raise TPTPError(f"cannot read include '{target}': {exc}", file=file, line=item.meta.line,
                                column=item.meta.column) from None
            result.extend(_statements(included, str(path), base_dir, seen + (path,), names))
            continue
        lang_token, name_tree, role_token, formula_tree, *_ = item.children
        name = _name(name_tree)
        if selection is not None and name not in selection:
            continue
        role = str(role_token)
        if role not in ROLES:
            raise TPTPError(f"unknown role '{role}' of formula '{name}'", file=file, line=role_token.line,
                            column=role_token.column)
        builder = _StatementBuilder(file)
        try:
            formula = builder.formula(formula_tree)
        except TPTPError:
            raise
        except Exception as exc:  # node validation refused something
            raise TPTPError(f"invalid formula '{name}': {exc}", file=file, line=item.meta.line,
                            column=item.meta.column) from None
        if str(lang_token) == "cnf":
            if _has_quantifier(formula) or not _is_clause(formula):
                raise TPTPError(f"cnf formula '{name}' is not a disjunction of literals", file=file,
                                line=item.meta.line, column=item.meta.column, status="SyntaxError")
        formula = builder.close(formula)
        result.append(AnnotatedFormula(name=name, role=role, language=str(lang_token), formula=formula,
                                       file=file, line=item.meta.line, names=dict(builder.scope.names)))
    return result


def _has_quantifier(formula) -> bool:
    if isinstance(formula, (Forall, Exists)):
        return True
    if isinstance(formula, Not):
        return _has_quantifier(formula.operand)
    if isinstance(formula, (And, Or, Implies, Iff)):
        return _has_quantifier(formula.left) or _has_quantifier(formula.right)
    return False


def _is_clause(formula) -> bool:
    if isinstance(formula, Or):
        return _is_clause(formula.left) and _is_clause(formula.right)
    if isinstance(formula, Not):
        return isinstance(formula.operand, (PredicateApp, Equality))
    return isinstance(formula, (PredicateApp, Equality))


def _name(tree) -> str:
    token = tree.children[0] if hasattr(tree, "children") else tree
    return _unquote(str(token))


def _resolve_include(target: str, base_dir: Path, file: str, item) -> Path:
    candidates = []
    target_path = Path(target)
    if target_path.is_absolute():
        candidates.append(target_path)
    else:
        candidates.append(Path(file).parent / target_path)
        candidates.append(base_dir / target_path)
        root = os.environ.get("TPTP")
        if root:
            candidates.append(Path(root) / target_path)
    for candidate in candidates:
        if candidate.is_file():
            return candidate.resolve()
    raise TPTPError(f"include file '{target}' not found (looked in the problem's folder"
                    + (" and $TPTP" if os.environ.get("TPTP") else "; $TPTP is not set") + ")",
                    file=file, line=item.meta.line, column=item.meta.column)


def parse_problem(text: str, *, name: str = "problem", file: str = "<input>",
                  base_dir: str | os.PathLike | None = None) -> Problem:
    """Parse a whole problem given as text; includes resolve against base_dir."""
    base = Path(base_dir) if base_dir is not None else Path(file).parent
    formulas = _statements(text, file, base, (), None)
    simplified = []
    for statement in formulas:
        reduced = _simplify(statement.formula)
        if reduced is not statement.formula:
            statement = AnnotatedFormula(statement.name, statement.role, statement.language, reduced,
                                         statement.file, statement.line, statement.names)
        simplified.append(statement)
    status = _HEADER_STATUS.search(text)
    return Problem(name=name, path=None if file == "<input>" else file, formulas=simplified,
                   expected_status=status.group(1) if status else None)


def parse_file(path: str | os.PathLike) -> Problem:
    """Read and parse a problem file."""
    p = Path(path)
    try:
        text = p.read_text(encoding="utf-8")
    except FileNotFoundError:
        raise TPTPError("no such file", file=str(p), status="InputError") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise TPTPError(f"cannot read file: {exc}", file=str(p), status="InputError") from None
    name = p.name
    for suffix in (".p", ".tptp", ".ax"):
        if name.endswith(suffix):
            name = name[: -len(suffix)]
            break
    problem = parse_problem(text, name=name, file=str(p), base_dir=p.parent)
    problem.path = str(p)
    return problem
