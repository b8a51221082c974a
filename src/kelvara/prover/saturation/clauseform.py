"""Clause form of a problem for the search, and clauses back as formulas."""

from __future__ import annotations

import itertools
from dataclasses import dataclass
from fractions import Fraction
from typing import Callable, Iterable

from kelvara.core.ast import And, Constant, Equality, Exists, Forall, Formula, FunctionApp, Implies, Not, Or, PredicateApp
from kelvara.prover.clausifier import Clause, Literal, to_cnf
from kelvara.prover.definitional import DefinitionalForm, clause_count, definitional_cnf, formula_symbols

from ..provenance import InternalSource
from ..tptp import FALSE, TRUE, Problem
from .terms import _symbols_of_term

@dataclass
class InputClause:
    """A clause obtained from one input statement.

    Statements clausified with definitions carry their ``form``; ``defines``
    names the predicate whose definition the clause comes from (None for a
    clause of the statement itself).
    """

    clause: Clause
    role: str  # "Axiom" or "NegatedGoal"
    source: str | tuple | InternalSource  # a statement name, the conjectures' names, or internal
    defines: str | None = None
    form: DefinitionalForm | None = None


def _symbols_of_formula(formula, out: set) -> None:
    stack = [formula]
    while stack:
        node = stack.pop()
        kind = type(node)
        if kind is PredicateApp:
            for arg in node.args:
                _symbols_of_term(arg, out)
        elif kind is Equality:
            _symbols_of_term(node.left, out)
            _symbols_of_term(node.right, out)
        elif kind is Not:
            stack.append(node.operand)
        elif hasattr(node, "body"):
            stack.append(node.body)
        elif hasattr(node, "left"):
            stack.append(node.left)
            stack.append(node.right)


def _rename_term(term, mapping: dict):
    kind = type(term)
    if kind is FunctionApp:
        args = tuple(_rename_term(arg, mapping) for arg in term.args)
        func = mapping.get(term.func, term.func)
        if func is term.func and all(a is b for a, b in zip(args, term.args)):
            return term
        return FunctionApp(func, term.arity, args, term.return_sort)
    if kind is Constant and term.name in mapping:
        return Constant(mapping[term.name], sort=term.sort)
    return term


def _rename_clause(clause: Clause, mapping: dict) -> Clause:
    literals = []
    for lit in clause.literals:
        atom = lit.atom
        new_atom: PredicateApp | Equality
        if isinstance(atom, Equality):
            new_atom = Equality(_rename_term(atom.left, mapping), _rename_term(atom.right, mapping))
        else:
            new_atom = PredicateApp(atom.pred, atom.arity, tuple(_rename_term(a, mapping) for a in atom.args))
        literals.append(Literal(atom=new_atom, positive=lit.positive))
    return Clause(frozenset(literals))


def _mentions_equality(clauses: Iterable[Clause]) -> bool:
    return any(type(lit.atom) is Equality for c in clauses for lit in c.literals)


def distinct_value(name: str):
    """The value a distinct object or number stands for (None for other names).

    Numbers are compared by value (``1/2`` and ``2/4`` are the same number),
    distinct objects by their text; a number never equals a distinct object.
    """
    if name.startswith('"'):
        return ("object", name)
    try:
        return ("number", Fraction(name))
    except (ValueError, ZeroDivisionError):
        return None


def distinct_axioms(names: Iterable[str], check: Callable[[], None] | None = None) -> list[InputClause]:
    """Unit clauses making the distinct objects and numbers of different values pairwise unequal."""
    constants = []
    for name in names:
        value = distinct_value(name)
        if value is not None:
            constants.append((Constant(name), value))
    result = []
    for i, (left, left_value) in enumerate(constants):
        if check is not None:
            check()
        for right, right_value in constants[i + 1:]:
            if left_value != right_value:
                clause = Clause(frozenset([Literal(atom=Equality(left, right), positive=False)]))
                result.append(InputClause(clause, "Axiom", InternalSource.DISTINCT_OBJECTS))
    return result


def clausify_problem(problem: Problem, definitions_above: int | None = 64,
                     definition_threshold: int = 8,
                     check: Callable[[], None] | None = None) -> tuple[list[InputClause], bool]:
    """Clause form of a problem; the second value tells whether it has a conjecture.

    Conjectures are conjoined and negated.  Symbols that the clausifier
    introduces (Skolem functions) are renamed so that the ones of different
    statements never share a name.  A statement whose plain clause form would
    have more than ``definitions_above`` clauses (None: never) is clausified
    with definitions (see :mod:`kelvara.prover.definitional`), naming the
    operands of products of more than ``definition_threshold`` clauses.
    Distinct objects and numbers of different values are made unequal.
    ``check`` is called between statements and may raise to stop.

    The symbols of the problem are collected once (the reader lists them);
    the set of names taken grows as symbols are introduced and is never
    copied, so the whole conversion is linear in the problem's size.
    """
    input_symbols: set = set(problem.symbols)
    if not input_symbols:  # a problem not made by the reader
        for statement in problem.formulas:
            _symbols_of_formula(statement.formula, input_symbols)
            formula_symbols(statement.formula, input_symbols)
    used = set(input_symbols)  # every name taken so far: inputs, Skolem functions, definitions
    counter = itertools.count()

    def fresh_name() -> str:
        while True:
            candidate = f"sk{next(counter)}"
            if candidate not in used:
                used.add(candidate)
                return candidate

    jobs: list[tuple[Formula, str, str | tuple[str, ...]]] = []
    conjectures = [s for s in problem.formulas if s.role == "conjecture"]
    for statement in problem.formulas:
        if statement.role == "conjecture":
            continue
        role = "NegatedGoal" if statement.role == "negated_conjecture" else "Axiom"
        jobs.append((statement.formula, role, statement.name))
    if conjectures:
        goal: Formula | None = None
        for statement in conjectures:
            formula = statement.formula
            if formula is TRUE:
                continue
            if formula is FALSE:
                goal = FALSE
                break
            goal = formula if goal is None else And(goal, formula)
        names = tuple(s.name for s in conjectures)
        if goal is None:  # every conjecture is $true: its negation is $false
            jobs.append((FALSE, "NegatedGoal", names))
        elif goal is not FALSE:  # a $false conjecture negates to $true: nothing to add
            jobs.append((Not(goal), "NegatedGoal", names))

    def _clausify_piece(formula, role, source) -> None:
        """Clause form of a part that is not a plain disjunction (Skolemized, maybe with definitions)."""
        if definitions_above is not None and clause_count(formula) > definitions_above:
            form = definitional_cnf(formula, used, threshold=definition_threshold)
            if form.definitions:
                for index, (_, _, clauses) in enumerate(form.pieces):
                    definition = form.piece_of(index)
                    for clause in clauses:
                        result.append(InputClause(clause, role, source,
                                                  None if definition is None else definition.name, form))
                return
        # The clausifier names its Skolem symbols sk0, sk1, ... avoiding the
        # formula's own symbols; those that clash with a name taken elsewhere
        # are renamed here (no copy of the taken names per statement).
        clauses = list(to_cnf(formula))
        introduced: set = set()
        for clause in clauses:
            for lit in clause.literals:
                atom = lit.atom
                terms = (atom.left, atom.right) if isinstance(atom, Equality) else atom.args
                for term in terms:
                    _symbols_of_term(term, introduced)
        introduced -= input_symbols
        clashing = introduced & used
        used.update(introduced)  # the fresh names must avoid this statement's own symbols too
        if clashing:
            mapping = {name: fresh_name() for name in sorted(clashing, key=str)}
            clauses = [_rename_clause(c, mapping) for c in clauses]
        for clause in clauses:
            result.append(InputClause(clause, role, source))

    result: list[InputClause] = distinct_axioms(problem.distinct, check)
    pieces: list = []
    for formula, role, source in jobs:
        if formula is TRUE:
            continue
        if formula is FALSE:
            result.append(InputClause(Clause(frozenset()), role, source))
            continue
        pieces.clear()
        _split(formula, pieces)
        for piece, positive in pieces:
            if check is not None:
                check()
            literals = _disjunction(piece, positive)
            if literals is not None:
                if not _tautology(literals):
                    result.append(InputClause(Clause(literals), role, source))
                continue
            _clausify_piece(piece if positive else Not(piece), role, source)
    return result, bool(conjectures)


def _split(formula, out: list) -> None:
    """Parts of a statement whose clause forms together make its clause form.

    Conjunctions are split under universal quantifiers, with negations pushed
    in on the way (a universal variable left free reads as universal).  Each
    part is a (formula, polarity) pair.  Iterative.
    """
    stack = [(formula, True)]
    while stack:
        f, positive = stack.pop()
        kind = type(f)
        if kind is Not:
            stack.append((f.operand, not positive))
        elif (kind is Forall) if positive else (kind is Exists):
            stack.append((f.body, positive))
        elif (kind is And) if positive else (kind is Or):
            stack.append((f.right, positive))
            stack.append((f.left, positive))
        elif kind is Implies and not positive:
            stack.append((f.right, False))
            stack.append((f.left, True))
        else:
            out.append((f, positive))


def _disjunction(formula, positive: bool) -> frozenset | None:
    """The literals of a part that is a disjunction of literals; None for any other part."""
    literals = []
    stack = [(formula, positive)]
    while stack:
        f, positive = stack.pop()
        kind = type(f)
        if kind is PredicateApp or kind is Equality:
            literals.append(Literal(atom=f, positive=positive))
        elif kind is Not:
            stack.append((f.operand, not positive))
        elif (kind is Or) if positive else (kind is And):
            stack.append((f.right, positive))
            stack.append((f.left, positive))
        elif kind is Implies and positive:
            stack.append((f.right, True))
            stack.append((f.left, False))
        else:
            return None
    return frozenset(literals)


def _tautology(literals: frozenset) -> bool:
    for lit in literals:
        if lit.positive:
            atom = lit.atom
            if Literal(atom=atom, positive=False) in literals:
                return True
            if isinstance(atom, Equality) and atom.left == atom.right:
                return True
    return False


def clause_formula(clause):
    """The clause as a formula (a disjunction of literals), for printing; None if empty."""
    formula = None
    for lit in clause.literals:
        part = lit.atom if lit.positive else Not(lit.atom)
        formula = part if formula is None else Or(formula, part)
    return formula
