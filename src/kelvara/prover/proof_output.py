"""The lines of a checked proof: TSTP for tools, numbered text for people.

:func:`tstp_lines` turns the proof records of a run into TPTP statements
(see :mod:`kelvara.prover.tstp` for the syntax): the input statements used,
the negated conjecture, the clause-form steps and the inferences.
:func:`text_lines` lists the same clauses in the notation of the export
visitor (infix, prefix or LaTeX), one per line with its rule and parents.
"""

from __future__ import annotations

from typing import Callable, Iterable

from kelvara.core.ast import Forall, Not, Or

from .provenance import InternalSource, Rule, is_input_rule
from .tptp import FALSE, TRUE, AnnotatedFormula, Problem
from .tstp import annotated, clause_text, file_source, formula_text, inference, label_prefix, quote_name

__all__ = ["tstp_lines", "text_lines"]

Check = Callable[[], None]

_THEORY = {
    InternalSource.REFLEXIVITY: "theory(equality)",
    InternalSource.DISTINCT_OBJECTS: "theory(distinct_objects)",
}


def _disjuncts(formula) -> list:
    """The operands of a tree of Or nodes, left to right (iteratively)."""
    out, stack = [], [formula]
    while stack:
        node = stack.pop()
        if type(node) is Or:
            stack.append(node.right)
            stack.append(node.left)
        else:
            out.append(node)
    return out


def _statement_text(statement: AnnotatedFormula) -> str:
    formula = statement.formula
    if formula is TRUE:
        return "$true"
    if formula is FALSE:
        return "$false"
    if statement.language == "cnf":
        while type(formula) is Forall:
            formula = formula.body
        return " | ".join(formula_text(lit) for lit in _disjuncts(formula))
    return formula_text(formula)


def _unused_name(wanted: str, taken: set) -> str:
    name, index = wanted, 0
    while name in taken:
        index += 1
        name = f"{wanted}_{index}"
    return name


def _source_names(source) -> tuple:
    if isinstance(source, InternalSource):
        return ()
    if isinstance(source, tuple):
        return source
    return (source,)


def tstp_lines(proof: Iterable, problem: Problem, check: Check | None = None) -> list[str]:
    """The TSTP text of a proof, one statement per line."""
    statements: dict[str, AnnotatedFormula] = {}
    for statement in problem.formulas:
        statements.setdefault(statement.name, statement)
    taken = set(statements)
    prefix = label_prefix(taken)
    negation_names: dict[tuple, str] = {}
    printed: set = set()
    lines: list[str] = []

    def label(record) -> str:
        return f"{prefix}{record.number}"

    def print_statement(name: str) -> None:
        if name in printed:
            return
        printed.add(name)
        statement = statements[name]
        lines.append(annotated(statement.language, name, statement.role, _statement_text(statement),
                               file_source(statement.file, name)))

    for count, record in enumerate(proof):
        if check is not None and count % 128 == 127:
            check()
        clause = clause_text(record.clause)
        rule = record.rule
        if not is_input_rule(rule):
            parents = [label(p) for p in record.parents]
            lines.append(f"cnf({label(record)}, plain, {clause}, {inference(Rule(rule).tstp, 'thm', parents)}).")
            continue
        source = record.source
        role = "negated_conjecture" if Rule(rule) is Rule.NEGATED_GOAL else "plain"
        if isinstance(source, InternalSource):
            lines.append(f"cnf({label(record)}, axiom, {clause}, introduced({_THEORY[source]}, [])).")
            continue
        names = _source_names(source)
        for name in names:
            print_statement(name)
        conjectures = [n for n in names if statements[n].role == "conjecture"]
        parent = quote_name(names[0]) if names else ""
        status = "thm" if all(statements[n].language == "cnf" for n in names) else "esa"
        if conjectures:
            key = tuple(conjectures)
            negation = negation_names.get(key)
            if negation is None:
                negation = negation_names[key] = _unused_name("negated_conjecture", taken)
                taken.add(negation)
                goal = [statements[n].formula for n in conjectures]
                texts = ["$true" if g is TRUE else "$false" if g is FALSE else formula_text(g) for g in goal]
                body = texts[0] if len(texts) == 1 else "(" + " & ".join(texts) + ")"
                lines.append(f"fof({quote_name(negation)}, negated_conjecture, ~ {body}, "
                             f"{inference('negate_conjecture', 'cth', [quote_name(n) for n in conjectures])}).")
            parent = quote_name(negation)
            status = "esa"
        defines = getattr(record, "defines", None)
        if defines is not None:
            how = f"introduced(definition, [new_symbols(definition, [{quote_name(str(defines))}])])"
            lines.append(f"cnf({label(record)}, {role}, {clause}, {how}).")
        else:
            lines.append(f"cnf({label(record)}, {role}, {clause}, {inference('clausify', status, [parent])}).")
    return lines


def text_lines(proof: Iterable, notation: str = "infix", check: Check | None = None) -> list[str]:
    """The proof as numbered clauses in ``notation``, each with its justification."""
    from kelvara.core.visitors import ExportVisitor

    exporter = ExportVisitor(notation)
    lines = []
    for count, record in enumerate(proof):
        if check is not None and count % 128 == 127:
            check()
        formula = None
        for lit in record.clause.literals:
            part = lit.atom if lit.positive else Not(lit.atom)
            formula = part if formula is None else Or(formula, part)
        text = "$false" if formula is None else exporter.visit(formula)
        rule = Rule(record.rule)
        if is_input_rule(rule):
            source = record.source
            if isinstance(source, InternalSource):
                why = source.value
            else:
                why = ("negated " if rule is Rule.NEGATED_GOAL else "") + ", ".join(_source_names(source))
                if getattr(record, "defines", None) is not None:
                    why += f" (definition of {record.defines})"
        else:
            why = f"{rule.tstp} " + ", ".join(f"{p.number}" for p in record.parents)
        lines.append(f"% {record.number:>5}  {text}    [{why}]")
    return lines
