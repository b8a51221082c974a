"""Search strategy pieces of the prover: unit simplification, signatures, ordered factoring, selection."""

from __future__ import annotations

import pytest

pytest.importorskip("kelvara.prover.rules")

from kelvara.core.ast import Constant, Equality, FunctionApp, PredicateApp, Variable  # noqa: E402
from kelvara.prover.clausifier import Clause, Literal  # noqa: E402
from kelvara.prover.rules import apply_rule, get_resolution_rules  # noqa: E402
from kelvara.prover.saturation import (  # noqa: E402
    SELECTIONS,
    InputClause,
    ProofClause,
    ProverConfig,
    Saturation,
    _ordered_factor,
    check_proof,
    eligible_literals,
    extract_proof,
    is_variant,
    prove,
    subsumes,
)
from kelvara.prover.tptp import parse_problem  # noqa: E402

X, Y = Variable(0), Variable(1)
a, b = Constant("a"), Constant("b")


def f(*args):
    return FunctionApp("f", len(args), tuple(args))


def p(*args):
    return PredicateApp("p", len(args), tuple(args))


def q(*args):
    return PredicateApp("q", len(args), tuple(args))


def s(*args):
    return PredicateApp("s", len(args), tuple(args))


def pos(atom):
    return Literal(atom=atom, positive=True)


def neg(atom):
    return Literal(atom=atom, positive=False)


def clause(*literals):
    return Clause(frozenset(literals))


def record(c, number=1):
    return ProofClause(number, c, c, "Axiom", (), "t")


# -- unit simplification ---------------------------------------------------


@pytest.mark.parametrize(
    "unit, target, expected",
    [
        (clause(pos(p(a))), clause(neg(p(a)), pos(q(X))), clause(pos(q(X)))),
        (clause(neg(p(X))), clause(pos(p(f(a))), pos(q(X)), neg(q(b))), clause(pos(q(X)), neg(q(b)))),
        (clause(pos(p(X, X))), clause(neg(p(a, a)), neg(p(a, b))), clause(neg(p(a, b)))),
        # Both literals go, one step each: the empty clause.
        (clause(pos(p(X))), clause(neg(p(a)), neg(p(b))), clause()),
        # Deleting ~p(X) would need instantiating the clause: no simplification.
        (clause(pos(p(a))), clause(neg(p(X)), pos(q(X))), None),
        (clause(pos(p(a, X))), clause(neg(p(a, b)), pos(q(X))), clause(pos(q(X)))),
        (clause(pos(p(a))), clause(pos(p(a)), pos(q(X))), None),  # same sign: subsumption's business
    ],
)
def test_unit_simplification_deletes_matched_literals_by_checked_steps(unit, target, expected):
    search = Saturation([], ProverConfig(time_limit=5))
    unit_record = search._make(unit, "Axiom", (), "unit")
    search._file(unit_record)
    start = search._make(target, "Axiom", (), "target")
    result = search._unit_simplify(start)
    if expected is None:
        assert result is start
        return
    assert is_variant(result.clause, expected)
    assert result.rule == "BinaryResolution" and unit_record in result.parents
    # Every step replays through the rule and shortens the clause it replaces.
    step = result
    while step is not start:
        previous = step.parents[0]
        assert len(step.literals) == len(previous.literals) - 1
        assert subsumes(step.clause, previous.clause)
        assert any(r[0] == step.raw for r in apply_rule(search.resolution, [previous.clause, unit_record.clause]))
        step = previous


def test_reflexivity_deletes_trivial_negative_equations_in_the_search():
    text = "fof(a, axiom, ! [X] : (f(X) != f(X) | p(X))).\nfof(c, conjecture, p(b))."
    result, inputs = prove(parse_problem(text), ProverConfig(engine="python", time_limit=10))
    assert result.status == "Theorem"
    assert result.stats["unit_deletions"] >= 1
    check_proof(result.proof, inputs)


def test_units_shorten_the_given_clause_when_it_is_selected():
    # q(a) arrives after ~q(a) | r was filed: the clause is shortened when picked.
    inputs = [InputClause(clause(neg(q(a)), pos(s(b)), pos(s(a))), "Axiom", "long"),
              InputClause(clause(neg(p(X)), pos(q(X))), "Axiom", "rule"),
              InputClause(clause(pos(p(a))), "Axiom", "fact"),
              InputClause(clause(neg(s(b))), "NegatedGoal", "g1"),
              InputClause(clause(neg(s(a))), "NegatedGoal", "g2")]
    result = Saturation(inputs, ProverConfig(time_limit=10)).run()
    assert result.status == "Unsatisfiable"
    assert result.stats["unit_deletions"] >= 2
    check_proof(result.proof, inputs)


# -- feature signatures ----------------------------------------------------

PAIRS = [
    (clause(pos(p(X))), clause(pos(p(a)), pos(q(b)))),
    (clause(pos(p(X, Y))), clause(pos(p(a, a)))),
    (clause(pos(p(f(X))), neg(q(X))), clause(pos(p(f(a))), neg(q(a)), pos(q(b)))),
    (clause(pos(Equality(X, a))), clause(pos(Equality(b, f(b))), pos(Equality(a, b)))),
    (clause(pos(p(a)), pos(p(X))), clause(pos(p(a)), pos(p(b)), neg(q(a)))),
]


@pytest.mark.parametrize("general, specific", PAIRS)
def test_signature_of_a_subsuming_clause_is_a_subset(general, specific):
    g, sp = record(general), record(specific, 2)
    assert subsumes(g, sp)
    assert g.sig & sp.sig == g.sig


@pytest.mark.parametrize(
    "general, specific",
    [
        (clause(pos(p(a))), clause(pos(p(b)))),  # a ground literal only matches itself
        (clause(pos(p(f(X)))), clause(pos(p(a)), pos(q(f(a))))),  # f is at the wrong position
        (clause(pos(p(X)), pos(p(Y))), clause(pos(p(a)))),  # two p-literals need two
    ],
)
def test_signature_rejects_clauses_that_cannot_subsume(general, specific):
    g, sp = record(general), record(specific, 2)
    assert g.sig & sp.sig != g.sig
    assert not subsumes(general, specific)


def test_forward_subsumption_finds_duplicates_and_generalizations():
    search = Saturation([], ProverConfig(time_limit=5))
    kept = search._make(clause(pos(p(X)), neg(q(X, a))), "Axiom", (), "k")
    search._file(kept)
    assert search._forward_subsumed(search._make(clause(pos(p(Y)), neg(q(Y, a))), "Axiom"))
    assert search._forward_subsumed(search._make(clause(pos(p(b)), neg(q(b, a)), pos(s(X))), "Axiom"))
    assert not search._forward_subsumed(search._make(clause(pos(p(b)), neg(q(a, a))), "Axiom"))
    search._remove(kept)
    assert not search._forward_subsumed(search._make(clause(pos(p(Y)), neg(q(Y, a))), "Axiom"))


# -- ordered factoring -----------------------------------------------------

FACTORING = next(rule for rule in get_resolution_rules() if rule.name == "Factoring")


@pytest.mark.parametrize(
    "c, kept",
    [
        (clause(pos(p(X)), pos(p(a))), 1),  # both literals maximal: the factor stays
        (clause(pos(s(f(f(X)), Y)), pos(q(X)), pos(q(Y))), 0),  # merges two smaller literals only
        (clause(pos(s(X, Y)), pos(s(Y, X))), 1),
    ],
)
def test_factors_must_merge_an_eligible_literal(c, kept):
    rec = record(c)
    results = apply_rule(FACTORING, [c])
    assert results
    assert sum(_ordered_factor(rec, r[1]) for r in results) == kept


def test_clauses_with_a_selected_literal_are_not_factored():
    inputs = [InputClause(clause(neg(p(X)), neg(p(Y)), pos(q(X))), "Axiom", "sel")]
    search = Saturation(inputs, ProverConfig(time_limit=5))
    search.run()
    assert not any(r.rule == "Factoring" for _, r in search.passive_by_age)


# -- literal selection -----------------------------------------------------


@pytest.mark.parametrize("name", sorted(SELECTIONS))
def test_every_selection_keeps_the_search_complete(name):
    # Needs both factoring and the resolvent that merges the selected literal.
    text = "cnf(a, negated_conjecture, f(X, X) | f(X, c)).\ncnf(b, negated_conjecture, ~ f(X, X) | ~ f(X, c))."
    result, inputs = prove(parse_problem(text), ProverConfig(engine="python", time_limit=10, selection=name))
    assert result.status == "Unsatisfiable"
    check_proof(result.proof, inputs)
    group = ("fof(a, axiom, ! [X] : (p(X) => q(X))).\nfof(b, axiom, ! [X] : (q(X) => r(X))).\n"
             "fof(c, axiom, p(a) | p(b)).\nfof(goal, conjecture, r(a) | r(b)).")
    result, inputs = prove(parse_problem(group), ProverConfig(engine="python", time_limit=10, selection=name))
    assert result.status == "Theorem"
    assert extract_proof(result.proof[-1])[-1].is_empty


@pytest.mark.parametrize(
    "name, expected",
    [
        ("heaviest", (neg(q(f(X))),)),
        ("ground-first", (neg(p(a)),)),
        ("fewest-variables", (neg(p(a)),)),
    ],
)
def test_selection_strategies_pick_their_literal(name, expected):
    literals = clause(pos(s(X)), neg(p(a)), neg(q(f(X)))).literals
    assert eligible_literals(literals, name) == expected


def test_no_selection_leaves_the_maximal_literals():
    literals = clause(pos(s(f(f(a)))), neg(p(a)), neg(q(X))).literals
    assert set(eligible_literals(literals, "none")) == {pos(s(f(f(a)))), neg(q(X))}


# -- pair prefilter for paramodulation --------------------------------------

from kelvara.prover.saturation import _may_superpose, _unifiable  # noqa: E402


@pytest.mark.parametrize(
    "s, t, expected",
    [
        (f(X), f(a), True),
        (f(X), f(X), True),  # the same variable on two sides is two variables
        (X, f(X), True),
        (f(X, X), f(a, b), False),
        (f(X, a), f(f(Y), Y), True),
        (FunctionApp("g", 1, (X,)), f(X), False),
    ],
)
def test_unification_with_variables_kept_apart(s, t, expected):
    assert _unifiable(s, 0, t, 1, {}) is expected


def test_unification_occurs_check_within_one_side():
    assert not _unifiable(f(X, X), 0, f(Y, f(Y)), 1, {})


@pytest.mark.parametrize(
    "eq, target, expected",
    [
        (clause(pos(Equality(f(X), a))), clause(pos(p(f(b)))), True),
        (clause(pos(Equality(f(X), a))), clause(pos(p(FunctionApp("g", 1, (b,))))), False),
        # The larger side f(a) occurs nowhere in p(b); the smaller side a never rewrites.
        (clause(pos(Equality(f(a), a))), clause(pos(p(b))), False),
        # The target's selected literal is the only rewritable one.
        (clause(pos(Equality(f(X), a))), clause(neg(q(f(f(b)))), pos(p(f(b)))), True),
        (clause(pos(Equality(f(b), a))), clause(neg(q(f(f(f(a))))), pos(p(f(b)))), False),
    ],
)
def test_paramodulation_prefilter_is_a_necessary_condition(eq, target, expected):
    e, t = record(eq), record(target, 2)
    assert _may_superpose(e, t) is expected
    if not expected:
        # The rule's results then hold no ordered paramodulant at all.
        from kelvara.prover.saturation import _explains, _paramodulation_views
        rule = next(r for r in get_resolution_rules() if r.name == "Paramodulation")
        views = [v for v in _paramodulation_views(e, t) if v[0] == e.literals]
        assert not any(_explains(v, r[0], r[1]) for r in apply_rule(rule, [eq, target]) or [] for v in views)
