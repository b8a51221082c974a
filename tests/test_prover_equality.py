"""Equality in the prover: soundness of saturation, demodulation and its proof check, ordered paramodulation."""

from __future__ import annotations

import pytest

pytest.importorskip("kelvara.prover.rules")

from kelvara.core.ast import Constant, Equality, FunctionApp, PredicateApp, Variable, free_variables  # noqa: E402
from kelvara.core.substitutions import substitute_term  # noqa: E402
from kelvara.prover.clausifier import Clause, Literal  # noqa: E402
from kelvara.prover.rules import apply_rule, get_resolution_rules  # noqa: E402
from kelvara.prover.saturation import (  # noqa: E402
    DEMODULATION,
    InputClause,
    ProofCheckError,
    ProofClause,
    ProverConfig,
    Saturation,
    _explains,
    _paramodulation_views,
    check_proof,
    prove,
    replace_in_clause,
    rewrite_step_valid,
    subsumes,
)
from kelvara.prover.tptp import parse_problem  # noqa: E402

X, Y = Variable(0), Variable(1)
a, b, c = Constant("a"), Constant("b"), Constant("c")


def f(*args):
    return FunctionApp("f", len(args), tuple(args))


def g(*args):
    return FunctionApp("g", len(args), tuple(args))


def p(*args):
    return PredicateApp("p", len(args), tuple(args))


def q(*args):
    return PredicateApp("q", len(args), tuple(args))


def pos(atom):
    return Literal(atom=atom, positive=True)


def neg(atom):
    return Literal(atom=atom, positive=False)


def clause(*literals):
    return Clause(frozenset(literals))


def record(number, c, rule="Axiom", parents=()):
    return ProofClause(number, c, c, rule, tuple(parents), "s" if rule == "Axiom" else None)


# -- saturation is reported only where the calculus is complete -------------

@pytest.mark.parametrize(
    "text, status",
    [
        # Satisfiable with equality: the search saturates but may not claim it.
        ("cnf(a, axiom, a = b).\ncnf(b, axiom, p(a)).", "GaveUp"),
        ("fof(a, axiom, f(a) = b).\nfof(c, conjecture, f(b) = a).", "GaveUp"),
        # Equality-free: ordered resolution with selection is complete.
        ("cnf(a, axiom, p(X) | q(X)).\ncnf(b, axiom, ~ p(a)).", "Satisfiable"),
        ("fof(c, conjecture, ! [X] : (p(X) => q(X))).", "CounterSatisfiable"),
    ],
)
def test_saturation_status_depends_on_completeness(text, status):
    result, _ = prove(parse_problem(text), ProverConfig(engine="python", time_limit=20))
    assert result.status == status
    assert result.proof is None


def test_an_incomplete_search_that_runs_dry_is_not_reported_satisfiable(monkeypatch):
    # a = b, p(a), ~p(b) is unsatisfiable, but only by equality reasoning.
    # Without paramodulation and rewriting the search runs dry: answering
    # Satisfiable there would be wrong.
    original = Saturation._generate

    def without_paramodulation(self, given):
        for item in original(self, given):
            if item[1] != "Paramodulation":
                yield item

    monkeypatch.setattr(Saturation, "_generate", without_paramodulation)
    problem = parse_problem("cnf(a, axiom, a = b).\ncnf(b, axiom, p(a)).\ncnf(c, axiom, ~ p(b)).")
    result, _ = prove(problem, ProverConfig(engine="python", time_limit=20, demodulation=False))
    assert result.status == "GaveUp"
    assert "saturated" in result.reason
    monkeypatch.undo()
    result, inputs = prove(problem, ProverConfig(engine="python", time_limit=20))
    assert result.status == "Unsatisfiable"
    check_proof(result.proof, inputs)


# -- demodulation ------------------------------------------------------------

@pytest.mark.parametrize(
    "equation, old, new, expected",
    [
        (clause(pos(Equality(f(X), X))), f(a), a, True),
        (clause(pos(Equality(f(X), X))), a, f(a), True),  # the other orientation is an instance too
        (clause(pos(Equality(f(X), X))), f(a), b, False),
        (clause(pos(Equality(f(X, Y), f(Y, X)))), f(a, b), f(b, a), True),
        (clause(pos(Equality(f(X, Y), f(Y, X)))), f(a, b), f(a, b), False),
        (clause(neg(Equality(f(X), X))), f(a), a, False),  # not a positive equation
        (clause(pos(Equality(f(X), X)), pos(p(X))), f(a), a, False),  # not a unit
        (clause(pos(Equality(g(X), Y))), g(a), b, False),  # the right side has a variable of its own
    ],
)
def test_rewrite_steps_are_instances_of_unit_equations(equation, old, new, expected):
    assert rewrite_step_valid(equation, old, new) is expected


def test_replacing_rewrites_every_occurrence():
    before = clause(pos(p(f(a), g(f(a)))), neg(Equality(f(a), b)))
    after = replace_in_clause(before, f(a), c)
    assert after == clause(pos(p(c, g(c))), neg(Equality(c, b)))
    assert replace_in_clause(before, f(b), c) == before


GROUP = ("fof(assoc, axiom, ! [X, Y, Z] : f(f(X, Y), Z) = f(X, f(Y, Z))).\n"
         "fof(left_identity, axiom, ! [X] : f(e, X) = X).\n"
         "fof(left_inverse, axiom, ! [X] : f(i(X), X) = e).\n"
         "fof(c, conjecture, ! [X] : f(X, e) = X).")


def demodulated_proof():
    result, inputs = prove(parse_problem(GROUP), ProverConfig(engine="python", time_limit=30))
    assert result.status == "Theorem"
    return result.proof, inputs


def test_group_proof_uses_checked_demodulation_steps():
    proof, inputs = demodulated_proof()
    check_proof(proof, inputs)
    steps = [s for s in proof if s.rule == DEMODULATION]
    assert steps
    for step in steps:
        assert step.rewrites and step.parents[0] not in step.parents[1:]
        assert {id(d) for d, _, _ in step.rewrites} <= {id(e) for e in step.parents[1:]}


@pytest.mark.parametrize("tamper", ["not_an_instance", "absent_term", "wrong_result", "foreign_equation",
                                    "no_equation"])
def test_a_tampered_demodulation_step_is_refused(tamper):
    proof, inputs = demodulated_proof()
    index, step = next((i, s) for i, s in enumerate(proof) if s.rule == DEMODULATION)
    demodulator, old, new = step.rewrites[0]
    parents, rewrites, result = step.parents, list(step.rewrites), step.raw
    if tamper == "not_an_instance":
        rewrites[0] = (demodulator, old, Constant("zz"))
    elif tamper == "absent_term":
        # A true instance of the equation, but of a term that the clause does not hold.
        atom = demodulator.literals[0].atom
        fresh = {var: Constant("nowhere") for var in free_variables(atom)}
        assert fresh, "the first demodulator of this proof has variables"
        absent = (substitute_term(atom.left, fresh), substitute_term(atom.right, fresh))
        assert rewrite_step_valid(demodulator.clause, *absent)
        rewrites.insert(0, (demodulator, *absent))
    elif tamper == "wrong_result":
        result = Clause(frozenset(result.literals) | {pos(PredicateApp("extra", 0, ()))})
    elif tamper == "foreign_equation":
        outsider = record(0, clause(pos(Equality(old, new))))
        rewrites[0] = (outsider, old, new)
    else:
        parents = parents[:1]
    forged = ProofClause(step.number, result, result, DEMODULATION, parents)
    forged.rewrites = tuple(rewrites)
    proof[index] = forged
    with pytest.raises(ProofCheckError):
        check_proof(proof, inputs)


def test_new_clauses_are_rewritten_to_normal_form():
    inputs = [InputClause(clause(pos(Equality(f(X), X))), "Axiom", "ax"),
              InputClause(clause(pos(p(f(f(a))))), "Axiom", "fact")]
    search = Saturation(inputs, ProverConfig(time_limit=5))
    result = search.run()
    assert result.status == "GaveUp"  # saturated, with equality
    alive = [r for *_, r in search.passive_by_age if r.alive] + list(search.active.values())
    facts = {r.clause for r in alive if r.literals and type(r.literals[0].atom) is PredicateApp}
    assert facts == {clause(pos(p(a)))}
    assert result.stats["rewrites"] >= 2


# -- ordered paramodulation ----------------------------------------------------

PARA = {r.name: r for r in get_resolution_rules()}["Paramodulation"]


@pytest.mark.parametrize(
    "equation, target, kept",
    [
        # g(X) = X rewrites g(a) to a, never a to g(a).
        (clause(pos(Equality(g(X), X))), clause(pos(p(g(a)))), {clause(pos(p(a)))}),
        # Inside an equation only the larger side is rewritten: f(g(b)) = b.
        (clause(pos(Equality(g(X), X))), clause(pos(Equality(f(g(b)), b))), {clause(pos(Equality(f(b), b)))}),
        # An equation of a clause with a selected negative literal does not paramodulate.
        (clause(pos(Equality(g(X), X)), neg(q(X))), clause(pos(p(g(a)))), set()),
        # The rewritten literal must be eligible: the selected ~q(g(a)), not p(g(b)).
        (clause(pos(Equality(g(X), X))), clause(pos(p(g(b))), neg(q(f(g(a))))),
         {clause(pos(p(g(b))), neg(q(f(a))))}),
    ],
)
def test_paramodulation_keeps_only_ordered_inferences(equation, target, kept):
    eq_rec, target_rec = record(1, equation), record(2, target)
    results = apply_rule(PARA, [eq_rec.clause, target_rec.clause])
    views = _paramodulation_views(eq_rec, target_rec)
    survivors = {r[0] for r in results if any(_explains(view, r[0], r[1]) for view in views)}
    assert survivors == kept
    assert len(results) > len(survivors)  # the filter did remove something


# -- subsumption through the index ---------------------------------------------

@pytest.mark.parametrize(
    "general, specific, expected",
    [
        (clause(pos(p(X, a))), clause(pos(p(f(b), a)), pos(q(c))), True),
        (clause(pos(p(f(X), a))), clause(pos(p(X, a))), False),
        (clause(pos(Equality(X, a))), clause(pos(Equality(a, g(b)))), True),  # either orientation
        (clause(pos(Equality(f(X), a))), clause(pos(Equality(a, f(c))), neg(q(b))), True),
        (clause(pos(Equality(f(X), a))), clause(pos(Equality(b, f(c)))), False),
        (clause(pos(p(X)), pos(p(Y))), clause(pos(p(a)), pos(q(b))), False),  # literals map one-to-one
        (clause(pos(p(X)), pos(p(a))), clause(pos(p(a)), pos(p(b))), True),
        (clause(neg(q(f(X)))), clause(pos(q(f(a)))), False),
    ],
)
def test_forward_subsumption_finds_subsumers_through_the_index(general, specific, expected):
    search = Saturation([], ProverConfig())
    kept = search._make(general, "Axiom", (), "g")
    assert search._consider(kept) is False
    candidate = search._make(specific, "Axiom", (), "s")
    assert search._forward_subsumed(candidate) is expected
    assert subsumes(kept, candidate) is expected
    assert subsumes(general, specific) is expected


@pytest.mark.parametrize("name", ["pel51", "pel52", "pel63", "pel64"])
def test_bundled_equality_problems_are_proved(name):
    from kelvara.prover.cli import bundled_dir
    from kelvara.prover.tptp import parse_file

    problem = parse_file(bundled_dir() / f"{name}.p")
    result, inputs = prove(problem, ProverConfig(engine="python", time_limit=20))
    assert result.status == problem.expected_status == "Theorem"
    check_proof(result.proof, inputs)
