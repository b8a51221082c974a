"""Clause form of a problem for the search, and clauses back as formulas."""

from __future__ import annotations

import itertools
from dataclasses import dataclass
from typing import Iterable

from kelvara.core.ast import And, Constant, Equality, FunctionApp, Not, Or, PredicateApp
from kelvara.prover.clausifier import Clause, Literal, to_cnf
from kelvara.prover.definitional import DefinitionalForm, clause_count, definitional_cnf, formula_symbols

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
    source: str
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
        if type(atom) is Equality:
            new_atom = Equality(_rename_term(atom.left, mapping), _rename_term(atom.right, mapping))
        else:
            new_atom = PredicateApp(atom.pred, atom.arity, tuple(_rename_term(a, mapping) for a in atom.args))
        literals.append(Literal(atom=new_atom, positive=lit.positive))
    return Clause(frozenset(literals))


def _mentions_equality(clauses: Iterable[Clause]) -> bool:
    return any(type(lit.atom) is Equality for c in clauses for lit in c.literals)


def clausify_problem(problem: Problem, definitions_above: int | None = 64,
                     definition_threshold: int = 8) -> tuple[list[InputClause], bool]:
    """Clause form of a problem; the second value tells whether it has a conjecture.

    Conjectures are conjoined and negated.  Symbols that the clausifier
    introduces (Skolem functions) are renamed so that the ones of different
    statements never share a name.  A statement whose plain clause form would
    have more than ``definitions_above`` clauses (None: never) is clausified
    with definitions (see :mod:`kelvara.prover.definitional`), naming the
    operands of products of more than ``definition_threshold`` clauses.
    """
    input_symbols: set = set()
    for statement in problem.formulas:
        _symbols_of_formula(statement.formula, input_symbols)
    all_symbols: set = set(input_symbols)
    for statement in problem.formulas:
        formula_symbols(statement.formula, all_symbols)
    used = set(input_symbols)
    counter = itertools.count()

    def fresh_name() -> str:
        while True:
            candidate = f"sk{next(counter)}"
            if candidate not in used:
                used.add(candidate)
                return candidate

    jobs: list[tuple[object, str, str]] = []
    conjectures = [s for s in problem.formulas if s.role == "conjecture"]
    for statement in problem.formulas:
        if statement.role == "conjecture":
            continue
        role = "NegatedGoal" if statement.role == "negated_conjecture" else "Axiom"
        jobs.append((statement.formula, role, statement.name))
    if conjectures:
        goal = None
        for statement in conjectures:
            formula = statement.formula
            if formula is TRUE:
                continue
            if formula is FALSE:
                goal = FALSE
                break
            goal = formula if goal is None else And(goal, formula)
        names = ",".join(s.name for s in conjectures)
        if goal is None:  # every conjecture is $true: its negation is $false
            jobs.append((FALSE, "NegatedGoal", names))
        elif goal is not FALSE:  # a $false conjecture negates to $true: nothing to add
            jobs.append((Not(goal), "NegatedGoal", names))

    result: list[InputClause] = []
    for formula, role, source in jobs:
        if formula is TRUE:
            continue
        if formula is FALSE:
            result.append(InputClause(Clause(frozenset()), role, source))
            continue
        if definitions_above is not None and clause_count(formula) > definitions_above:
            avoid = used | all_symbols
            form = definitional_cnf(formula, avoid, threshold=definition_threshold)
            if form.definitions:
                used |= avoid - all_symbols
                for index, (_, _, clauses) in enumerate(form.pieces):
                    definition = form.piece_of(index)
                    for clause in clauses:
                        result.append(InputClause(clause, role, source,
                                                  None if definition is None else definition.name, form))
                continue
        # The clausifier avoids the names it is given for its Skolem symbols;
        # should it reuse one all the same, the clauses are renamed here.
        clauses = list(to_cnf(formula, signature=frozenset(used)))
        introduced: set = set()
        for clause in clauses:
            for lit in clause.literals:
                atom = lit.atom
                terms = (atom.left, atom.right) if type(atom) is Equality else atom.args
                for term in terms:
                    _symbols_of_term(term, introduced)
        introduced -= input_symbols
        clashing = introduced & used
        if clashing:
            mapping = {name: fresh_name() for name in sorted(clashing, key=str)}
            clauses = [_rename_clause(c, mapping) for c in clauses]
        used |= introduced
        for clause in clauses:
            result.append(InputClause(clause, role, source))
    return result, bool(conjectures)


def clause_formula(clause):
    """The clause as a formula (a disjunction of literals), for printing; None if empty."""
    formula = None
    for lit in clause.literals:
        part = lit.atom if lit.positive else Not(lit.atom)
        formula = part if formula is None else Or(formula, part)
    return formula
