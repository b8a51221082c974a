"""Definitional clause form: equisatisfiability, fresh names, checked definition steps."""

from __future__ import annotations

import dataclasses
import itertools
import random
from pathlib import Path

import pytest

pytest.importorskip("kelvara.prover.rules")

from kelvara.core.ast import And, Iff, Implies, Not, Or, PredicateApp  # noqa: E402
from kelvara.prover.clausifier import Clause, to_cnf  # noqa: E402
from kelvara.prover.definitional import (  # noqa: E402
    BOTH,
    POSITIVE,
    DefinitionError,
    DefinitionalForm,
    check_definitional_form,
    clause_count,
    definitional_cnf,
    formula_symbols,
)
from kelvara.prover.saturation import (  # noqa: E402
    ProofCheckError,
    ProverConfig,
    check_proof,
    clausify_problem,
    prove,
)
from kelvara.prover.tptp import parse_file, parse_problem  # noqa: E402

PROBLEMS = Path(__file__).resolve().parent.parent / "src" / "kelvara" / "prover" / "problems"
ATOMS = [PredicateApp(f"p{i}", 0, ()) for i in range(4)]


def random_formula(rng: random.Random, depth: int):
    if depth == 0 or rng.random() < 0.15:
        atom = rng.choice(ATOMS)
        return atom if rng.random() < 0.7 else Not(atom)
    kind = rng.choice([And, Or, Or, Implies, Iff, Not])
    if kind is Not:
        return Not(random_formula(rng, depth - 1))
    return kind(random_formula(rng, depth - 1), random_formula(rng, depth - 1))


def evaluate(f, values: dict) -> bool:
    kind = type(f)
    if kind is PredicateApp:
        return values[f.pred]
    if kind is Not:
        return not evaluate(f.operand, values)
    left, right = evaluate(f.left, values), evaluate(f.right, values)
    if kind is And:
        return left and right
    if kind is Or:
        return left or right
    if kind is Implies:
        return (not left) or right
    return left == right


def extendable(clauses, values: dict) -> bool:
    """Whether some assignment of the atoms `values` leaves open (the definition
    atoms) satisfies every clause: an exhaustive search that splits on one open
    atom at a time and prunes a branch as soon as a clause is false."""
    open_clauses = []
    for clause in clauses:
        rest = []
        for lit in clause.literals:
            value = values.get(lit.atom.pred)
            if value is None:
                rest.append((lit.atom.pred, lit.positive))
            elif value == lit.positive:
                break
        else:
            if not rest:
                return False
            open_clauses.append(rest)
    if not open_clauses:
        return True
    atom = open_clauses[0][0][0]
    return any(extendable(clauses, {**values, atom: choice}) for choice in (False, True))


@pytest.mark.parametrize("threshold", [1, 2, 4])
@pytest.mark.parametrize("seed", range(25))
def test_definitional_form_projects_onto_the_formula(seed, threshold):
    """For every assignment of the formula's atoms: the formula holds exactly when some
    assignment of the definition atoms satisfies all clauses."""
    rng = random.Random(seed * 7 + threshold)
    formula = random_formula(rng, 5)
    form = definitional_cnf(formula, set(), threshold=threshold)
    check_definitional_form(form)
    names = sorted(formula_symbols(formula))
    defined = [d.name for d in form.definitions]
    assert not set(defined) & set(names)
    clauses = form.clauses
    for bits in itertools.product([False, True], repeat=len(names)):
        values = dict(zip(names, bits))
        assert extendable(clauses, values) == evaluate(formula, values), (formula, values)


def test_products_are_split_and_shrink_the_clause_set():
    blocks = [[PredicateApp(f"{letter}{i}", 0, ()) for i in range(3)] for letter in "abc"]
    conj = [And(And(x, y), z) for x, y, z in blocks]
    formula = Or(Or(conj[0], conj[1]), conj[2])
    assert len(to_cnf(formula)) == 27
    form = definitional_cnf(formula, set(), threshold=8)
    assert form.definitions and all(d.polarity == 1 for d in form.definitions)
    assert len(form.clauses) <= 9  # three clauses per conjunction instead of their product
    assert max(len(c.literals) for c in form.clauses) <= 3
    assert clause_count(form.abstracted) <= 8


@pytest.mark.parametrize("seed", range(8))
def test_a_definition_of_the_wrong_polarity_is_refused(seed):
    rng = random.Random(500 + seed)
    for _ in range(100):  # the first formula with a one-way definition
        formula = random_formula(rng, 6)
        form = definitional_cnf(formula, set(), threshold=1)
        one_way = [i for i, d in enumerate(form.definitions) if d.polarity != BOTH]
        if one_way:
            break
    assert one_way
    check_definitional_form(form)
    index = one_way[0]
    definitions = list(form.definitions)
    definitions[index] = dataclasses.replace(definitions[index], polarity=-definitions[index].polarity)
    with pytest.raises(DefinitionError, match="occurs"):
        check_definitional_form(_rebuilt(form, definitions=tuple(definitions)))


def test_small_formulas_get_no_definitions():
    formula = Or(And(ATOMS[0], ATOMS[1]), ATOMS[2])
    form = definitional_cnf(formula, set(), threshold=8)
    assert form.definitions == ()
    assert form.clauses == to_cnf(formula)


PEL38 = (PROBLEMS / "pel38.p").read_text()


@pytest.mark.parametrize(
    "renaming",
    [{}, {"p(": "def0(", "r(": "def1("}, {"p(": "def1(", "(a)": "(def0)"}, {"r(": "sk0(", "p(": "def2("}],
)
def test_definition_names_are_fresh(renaming):
    text = PEL38
    for old, new in renaming.items():
        text = text.replace(old, new)
    problem = parse_problem(text)
    inputs, _ = clausify_problem(problem)
    forms = {id(ic.form): ic.form for ic in inputs if ic.form is not None}
    assert len(forms) == 1
    form = next(iter(forms.values()))
    symbols = set()
    for statement in problem.formulas:
        formula_symbols(statement.formula, symbols)
    names = [d.name for d in form.definitions]
    assert names and len(set(names)) == len(names)
    assert not set(names) & symbols
    skolems = set()
    for ic in inputs:
        for lit in ic.clause.literals:
            skolems |= formula_symbols(lit.atom) - symbols - set(names)
    assert not skolems & set(names)
    result, inputs = prove(problem, ProverConfig(engine="python", time_limit=10))
    assert result.status == "Theorem"
    check_proof(result.proof, inputs)


@pytest.mark.parametrize("name", ["pel34", "pel38"])
def test_big_goals_are_proved_through_definitions(name):
    problem = parse_file(PROBLEMS / f"{name}.p")
    result, inputs = prove(problem, ProverConfig(engine="python", time_limit=10))
    assert result.status == "Theorem"
    check_proof(result.proof, inputs)
    goal = next(s for s in problem.formulas if s.role == "conjecture")
    assert len(inputs) < clause_count(Not(goal.formula))
    assert any(step.defines is not None for step in result.proof)


def test_pel38_drowns_without_definitions_but_is_proved_with_them():
    problem = parse_file(PROBLEMS / "pel38.p")
    plain, plain_inputs = prove(problem, ProverConfig(engine="python", time_limit=2, definitions_above=None))
    assert len(plain_inputs) == 84 and all(ic.form is None for ic in plain_inputs)
    named, _ = prove(problem, ProverConfig(engine="python", time_limit=2))
    assert named.status == "Theorem"
    assert plain.status != "Theorem" or plain.given > named.given


def _rebuilt(form: DefinitionalForm, **changes) -> DefinitionalForm:
    """The form with fields changed and its pieces recomputed to agree with them."""
    new = dataclasses.replace(form, pieces=[], **changes)
    pieces = [new.abstracted] + [d.defining_formula() for d in new.definitions]
    for piece, (_, signature, _) in zip(pieces, form.pieces):
        new.pieces.append((piece, signature, list(to_cnf(piece, signature=signature))))
    return new


def pel38_proof():
    problem = parse_file(PROBLEMS / "pel38.p")
    result, inputs = prove(problem, ProverConfig(engine="python", time_limit=10))
    assert result.status == "Theorem"
    check_proof(result.proof, inputs)
    return result.proof, inputs


@pytest.mark.parametrize("tamper", ["drop_literal", "flip_literal", "wrong_definition", "not_a_definition",
                                    "polarity", "name_clash", "arguments", "statement", "clauses"])
@pytest.mark.parametrize("with_inputs", [False, True])
def test_a_tampered_definition_step_is_refused(tamper, with_inputs):
    proof, inputs = pel38_proof()
    step = next(s for s in proof if s.defines is not None and len(s.literals) > 1)
    form = step.form
    if tamper in ("drop_literal", "flip_literal"):
        lits = list(step.raw.literals)
        if tamper == "drop_literal":
            lits = lits[1:]
        else:
            lits[0] = lits[0].negate()
        bogus = Clause(frozenset(lits))
        step.raw = step.clause = bogus
    elif tamper == "wrong_definition":
        step.defines = next(d.name for d in form.definitions if d.name != step.defines)
    elif tamper == "not_a_definition":
        step.defines = None
    else:
        definitions = list(form.definitions)
        index = 0
        target = definitions[index]
        if tamper == "polarity":
            flipped = POSITIVE if target.polarity == BOTH else -target.polarity
            definitions[index] = dataclasses.replace(target, polarity=flipped)
            tampered = _rebuilt(form, definitions=tuple(definitions))
        elif tamper == "name_clash":
            definitions[index] = dataclasses.replace(target, name="p")
            tampered = _rebuilt(form, definitions=tuple(definitions))
        elif tamper == "arguments":
            definitions[index] = dataclasses.replace(target, args=target.args[1:] + target.args[:1] * 2)
            tampered = _rebuilt(form, definitions=tuple(definitions))
        elif tamper == "statement":
            tampered = _rebuilt(form, statement=Not(form.statement))
        else:
            piece, signature, clauses = form.pieces[1]
            tampered = dataclasses.replace(form, pieces=[form.pieces[0], (piece, signature, clauses[1:])]
                                           + form.pieces[2:])
        with pytest.raises(DefinitionError):
            check_definitional_form(tampered)
        for record in proof:
            if record.form is form:
                record.form = tampered
        for ic in inputs:
            if ic.form is form:
                ic.form = tampered
    with pytest.raises(ProofCheckError):
        check_proof(proof, inputs if with_inputs else None)


def tptp(f) -> str:
    kind = type(f)
    if kind is PredicateApp:
        return f.pred
    if kind is Not:
        return f"~ ({tptp(f.operand)})"
    op = {And: "&", Or: "|", Implies: "=>", Iff: "<=>"}[kind]
    return f"({tptp(f.left)} {op} {tptp(f.right)})"


@pytest.mark.parametrize("seed", range(20))
def test_statuses_with_definitions_agree_with_truth_tables(seed):
    rng = random.Random(1000 + seed)
    formula = random_formula(rng, 5)
    names = sorted(formula_symbols(formula))
    valid = all(evaluate(formula, dict(zip(names, bits)))
                for bits in itertools.product([False, True], repeat=len(names)))
    problem = parse_problem(f"fof(goal, conjecture, {tptp(formula)}).")
    config = ProverConfig(engine="python", time_limit=20, definitions_above=0, definition_threshold=1)
    result, inputs = prove(problem, config)
    assert result.status == ("Theorem" if valid else "CounterSatisfiable")
    if valid:
        check_proof(result.proof, inputs)
