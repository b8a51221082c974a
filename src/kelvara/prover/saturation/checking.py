"""Proof extraction and the proof check: every step replayed from its parents."""

from __future__ import annotations

from kelvara.core.ast import Constant, Equality, Variable
from kelvara.core.exceptions import CallSignature
from kelvara.core.substitutions import UnificationError, unify_terms
from kelvara.prover.argcheck import expect
from kelvara.prover.clausifier import Clause, Literal, to_cnf
from kelvara.prover.definitional import DefinitionError, check_definitional_form
from kelvara.prover.rules import apply_rule, get_resolution_rules

from ..provenance import InternalSource
from .clauseform import InputClause, distinct_value
from .demodulation import replace_in_clause, rewrite_step_valid
from .records import DEMODULATION, EQUALITY_FACTORING, SIMPLIFICATION, SUBSUMPTION_RESOLUTION, ProofClause
from .subsumption import collapses_onto, is_variant, same_clause


class ProofCheckError(Exception):
    """A derivation step could not be reproduced from its parents."""

    __signature__ = CallSignature(("message", "o"))


def extract_proof(empty: ProofClause) -> list[ProofClause]:
    """The clauses that the empty clause depends on, in order of creation."""
    seen: dict[int, ProofClause] = {}
    stack = [empty]
    while stack:
        record = stack.pop()
        if record.number in seen:
            continue
        seen[record.number] = record
        stack.extend(record.parents)
    return [seen[n] for n in sorted(seen)]


def check_proof(proof: list[ProofClause], inputs: list[InputClause] | None = None) -> None:
    """Re-derive every step of a proof; raise ProofCheckError on the first that fails.

    An inferred step must be among the results of its rule applied to its
    parents (in the recorded order), and the clause used in the search must
    be a variant of that result.  An input step must be a variant of a clause
    of the clause form of its statement; for a statement clausified with
    definitions, the recorded form is verified (fresh names, polarities, the
    statement given back by expanding the definitions, each piece's clauses
    recomputed) and the step must be a variant of a clause of the piece it
    names: the rewritten statement, or the definition of ``defines``.
    """
    expect("check_proof()", "proof", proof, list, "a list of ProofClause (ProverResult.proof)")
    expect("check_proof()", "inputs", inputs, list, "a list of InputClause (from prove) or None", none=True)
    rules = {rule.name: rule for rule in get_resolution_rules()}
    numbers = {record.number for record in proof}
    checked_forms: set = set()
    if not proof or proof[-1].literals:
        raise ProofCheckError("the proof does not end with the empty clause")
    for record in proof:
        if not is_variant(record.raw, record.clause):
            raise ProofCheckError(f"c{record.number} is not a renaming of the clause it was derived as")
        if record.rule in ("Axiom", "NegatedGoal"):
            if record.parents:
                raise ProofCheckError(f"input clause c{record.number} has parents")
            if record.source is InternalSource.REFLEXIVITY:
                lits = record.raw.literals
                if not (len(lits) == 1 and lits[0].positive and type(lits[0].atom) is Equality
                        and type(lits[0].atom.left) is Variable and lits[0].atom.left == lits[0].atom.right):
                    raise ProofCheckError(f"c{record.number} is not the reflexivity axiom")
                continue
            if record.source is InternalSource.DISTINCT_OBJECTS:
                _check_distinct_axiom(record)
                continue
            if isinstance(record.source, InternalSource):
                raise ProofCheckError(f"c{record.number} comes from an unknown internal source {record.source}")
            if inputs is not None:
                if not any(ic.source == record.source and ic.role == record.rule and ic.defines == record.defines
                           and ic.form is record.form and same_clause(ic.clause, record.raw)
                           for ic in inputs):
                    raise ProofCheckError(f"c{record.number} is not in the clause form of {record.source}")
            if record.form is not None or record.defines is not None:
                _check_definitional_input(record, checked_forms)
            continue
        for parent in record.parents:
            if parent.number not in numbers or parent.number >= record.number:
                raise ProofCheckError(f"c{record.number} depends on c{parent.number}, which does not precede it")
        special = _SPECIAL_CHECKS.get(record.rule)
        if special is not None:
            special(record, rules)
            continue
        rule = rules.get(record.rule)
        if rule is None:
            raise ProofCheckError(f"c{record.number} names an unknown rule {record.rule}")
        results = apply_rule(rule, [parent.clause for parent in record.parents]) or []
        if not any(result[0] == record.raw for result in results):
            if not any(same_clause(result[0], record.raw) for result in results):
                raise ProofCheckError(f"c{record.number} does not follow from "
                                      + ", ".join(f"c{p.number}" for p in record.parents) + f" by {record.rule}")


def _check_distinct_axiom(record: ProofClause) -> None:
    """The clause must say that two distinct objects or numbers of different values differ."""
    lits = record.raw.literals
    if len(lits) == 1 and not lits[0].positive and type(lits[0].atom) is Equality:
        left, right = lits[0].atom.left, lits[0].atom.right
        if type(left) is Constant and type(right) is Constant:
            a, b = distinct_value(left.name), distinct_value(right.name)
            if a is not None and b is not None and a != b:
                return
    raise ProofCheckError(f"c{record.number} does not state that two distinct objects differ")


def _check_definitional_input(record: ProofClause, checked_forms: set) -> None:
    form = record.form
    if form is None:
        raise ProofCheckError(f"c{record.number} claims to define {record.defines} without a definitional form")
    if id(form) not in checked_forms:
        try:
            check_definitional_form(form)
        except DefinitionError as exc:
            raise ProofCheckError(f"c{record.number}: the definitions of {record.source} do not hold up: {exc}")
        checked_forms.add(id(form))
    names = [None] + [d.name for d in form.definitions]
    if record.defines not in names:
        raise ProofCheckError(f"c{record.number} names {record.defines}, which {record.source} does not define")
    _, signature, _ = form.pieces[names.index(record.defines)]
    piece = form.abstracted if record.defines is None else form.definitions[names.index(record.defines) - 1].defining_formula()
    if not any(same_clause(c, record.raw) for c in to_cnf(piece, signature=signature)):
        what = "the rewritten statement" if record.defines is None else f"the definition of {record.defines}"
        raise ProofCheckError(f"c{record.number} is not in the clause form of {what} ({record.source})")


def _check_demodulation(record: ProofClause, rules: dict | None = None) -> None:
    """Replay the rewrites of a Demodulation step from its first parent.

    Each rewrite must replace an occurring instance of one side of a unit
    equation among the other parents by the same instance of its other side;
    the clause reached must be the recorded one.
    """
    if len(record.parents) < 2 or not record.rewrites:
        raise ProofCheckError(f"c{record.number} is a Demodulation step without a clause and an equation")
    clause = record.parents[0].clause
    equations = record.parents[1:]
    for demodulator, old, new in record.rewrites:
        if not any(demodulator is eq for eq in equations):
            raise ProofCheckError(f"c{record.number} rewrites with c{demodulator.number}, which is not a parent")
        if not rewrite_step_valid(demodulator.clause, old, new):
            raise ProofCheckError(f"c{record.number}: {old} = {new} is not an instance of c{demodulator.number}")
        rewritten = replace_in_clause(clause, old, new)
        if rewritten == clause:
            raise ProofCheckError(f"c{record.number}: {old} does not occur in the clause it rewrites")
        clause = rewritten
    if not same_clause(clause, record.raw):
        raise ProofCheckError(f"c{record.number} is not what its rewrites lead to")


def _parents(record: ProofClause, count: int) -> tuple:
    if len(record.parents) != count:
        raise ProofCheckError(f"c{record.number}: {record.rule} takes {count} parent(s), "
                              f"not {len(record.parents)}")
    return record.parents


def _check_equality_factoring(record: ProofClause, rules: dict) -> None:
    """From C | s = t | u = v with s and u unified by sigma: (C | t != v | u = v) sigma.

    Every pair of positive equations of the parent in every orientation is
    tried; the recorded clause must be one of the conclusions.
    """
    (parent,) = _parents(record, 1)
    literals = parent.clause.literals
    equations = [i for i, lit in enumerate(literals) if lit.positive and type(lit.atom) is Equality]
    for i in equations:
        dropped = literals[i].atom
        for j in equations:
            if i == j:
                continue
            kept = literals[j].atom
            for s, t in ((dropped.left, dropped.right), (dropped.right, dropped.left)):
                for u, v in ((kept.left, kept.right), (kept.right, kept.left)):
                    try:
                        sigma = unify_terms(s, u)
                    except UnificationError:
                        continue
                    rest = [lit for k, lit in enumerate(literals) if k != i]
                    conclusion = Clause(frozenset([Literal(atom=Equality(t, v), positive=False), *rest]))
                    if same_clause(conclusion.substitute(sigma) if sigma else conclusion, record.raw):
                        return
    raise ProofCheckError(f"c{record.number} is no equality factor of c{parent.number}")


def _check_simplification(record: ProofClause, rules: dict) -> None:
    """The parent without its literals s != s (duplicates merge in a clause)."""
    (parent,) = _parents(record, 1)
    kept = [lit for lit in parent.clause.literals
            if lit.positive or type(lit.atom) is not Equality or lit.atom.left != lit.atom.right]
    if not same_clause(Clause(frozenset(kept)), record.raw):
        raise ProofCheckError(f"c{record.number} is not c{parent.number} with trivially false literals removed")


def _flipped_variants(clause: Clause) -> list:
    """The clause, and the clause with one of its equations written the other way round."""
    found = [clause]
    literals = clause.literals
    for index, lit in enumerate(literals):
        atom = lit.atom
        if type(atom) is Equality and atom.left != atom.right:
            flipped = Literal(atom=Equality(atom.right, atom.left), positive=lit.positive)
            found.append(Clause(frozenset([flipped, *literals[:index], *literals[index + 1:]])))
    return found


def _check_subsumption_resolution(record: ProofClause, rules: dict) -> None:
    """A binary resolvent of the two parents must collapse onto the recorded clause.

    The resolvent entails each clause that an instance of it is contained
    in; equations of the parents may be read either way round.
    """
    first, second = _parents(record, 2)
    resolution = rules["BinaryResolution"]
    for a in _flipped_variants(first.clause):
        for b in _flipped_variants(second.clause):
            for result in apply_rule(resolution, [a, b]) or []:
                if collapses_onto(result[0], record.raw):
                    return
    raise ProofCheckError(f"c{record.number} does not follow from c{first.number}, c{second.number} "
                          "by subsumption resolution")


_SPECIAL_CHECKS = {
    DEMODULATION: _check_demodulation,
    EQUALITY_FACTORING: _check_equality_factoring,
    SIMPLIFICATION: _check_simplification,
    SUBSUMPTION_RESOLUTION: _check_subsumption_resolution,
}
