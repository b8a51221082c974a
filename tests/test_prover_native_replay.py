"""The replay of native-engine proofs: hand-built derivations in the engine's step format.

Every rule the engine reports is replayed by the rules module (or by a
small check of its own); correct steps pass and each kind of wrong step is
refused with a ProofCheckError.  A stand-in engine checks how answers map to
statuses: never Satisfiable from an incomplete run, never a proof that does
not replay.
"""

from __future__ import annotations

import types

import pytest

pytest.importorskip("kelvara.prover.rules")

from kelvara.core.ast import Constant, Equality, FunctionApp, PredicateApp, Variable  # noqa: E402
from kelvara.prover.clausifier import Clause, Literal  # noqa: E402
from kelvara.prover.saturation import InputClause, ProofCheckError, ProverConfig, check_proof, prove  # noqa: E402
from kelvara.prover.provenance import InternalSource  # noqa: E402
from kelvara.prover.saturation import native  # noqa: E402
from kelvara.prover.saturation.subsumption import collapses_onto, is_variant, same_clause  # noqa: E402
from kelvara.prover.tptp import parse_problem  # noqa: E402

X, Y, Z = Variable(0), Variable(1), Variable(2)
a, b, c = Constant("a"), Constant("b"), Constant("c")


def f(*args):
    return FunctionApp("f", len(args), tuple(args))


def g(*args):
    return FunctionApp("g", len(args), tuple(args))


def p(*args):
    return PredicateApp("p", len(args), tuple(args))


def q(*args):
    return PredicateApp("q", len(args), tuple(args))


def r(*args):
    return PredicateApp("r", len(args), tuple(args))


def pos(atom):
    return Literal(atom=atom, positive=True)


def neg(atom):
    return Literal(atom=atom, positive=False)


def cl(*literals):
    return Clause(frozenset(literals))


EMPTY = cl()


def inputs_of(*clauses, goal=()):
    return [InputClause(c, "NegatedGoal" if i in goal else "Axiom", f"s{i}") for i, c in enumerate(clauses)]


def inp(i, clause):
    return (i, clause, "input", (), {})


def replay(steps, inputs):
    proof = native.proof_records(steps, inputs)
    check_proof(proof, inputs)
    return proof


# -- derivations that replay ----------------------------------------------------

RESOLUTION = (
    inputs_of(cl(pos(p(a))), cl(neg(p(X)), pos(q(X))), cl(neg(q(a)))),
    [inp(0, cl(pos(p(a)))), inp(1, cl(neg(p(Y)), pos(q(Y)))), inp(2, cl(neg(q(a)))),
     (10, cl(pos(q(a))), "resolution", (0, 1), {}),
     (11, EMPTY, "resolution", (10, 2), {})],
)
SUPERPOSITION = (
    inputs_of(cl(pos(Equality(f(a), b))), cl(pos(p(f(a)))), cl(neg(p(b)))),
    [inp(0, cl(pos(Equality(f(a), b)))), inp(1, cl(pos(p(f(a))))), inp(2, cl(neg(p(b)))),
     (5, cl(pos(p(b))), "superposition", (0, 1), {"from": 0, "into": 1}),
     (6, EMPTY, "resolution", (5, 2), {})],
)
EQUALITY_RESOLUTION = (
    inputs_of(cl(neg(Equality(f(X), f(a))), pos(q(X))), cl(neg(q(a)))),
    [inp(0, cl(neg(Equality(f(X), f(a))), pos(q(X)))), inp(1, cl(neg(q(a)))),
     (2, cl(pos(q(a))), "equality_resolution", (0,), {"literal": 0}),
     (3, EMPTY, "resolution", (2, 1), {})],
)
EQUALITY_FACTORING = (
    inputs_of(cl(pos(Equality(a, b)), pos(Equality(a, c))), cl(pos(Equality(b, c))), cl(neg(Equality(a, c)))),
    [inp(0, cl(pos(Equality(a, b)), pos(Equality(a, c)))), inp(1, cl(pos(Equality(b, c)))),
     inp(2, cl(neg(Equality(a, c)))),
     (3, cl(neg(Equality(b, c)), pos(Equality(a, c))), "equality_factoring", (0,), {"literals": (0, 1)}),
     (4, cl(pos(Equality(a, c))), "resolution", (3, 1), {}),
     (5, EMPTY, "resolution", (4, 2), {})],
)
DEMODULATION = (
    inputs_of(cl(pos(Equality(f(a), a))), cl(pos(p(f(f(a))))), cl(neg(p(a)))),
    [inp(0, cl(pos(Equality(f(a), a)))), inp(1, cl(pos(p(f(f(a)))))), inp(2, cl(neg(p(a)))),
     (3, cl(pos(p(a))), "demodulation", (1, 0), {"rewrites": [(0, f(a), a), (0, f(a), a)]}),
     (4, EMPTY, "resolution", (3, 2), {})],
)
SUBSUMPTION_RESOLUTION = (
    # p(a) | r(b) cut by ~p(X) | r(Y): the resolvent r(b) | r(Y) collapses onto r(b).
    inputs_of(cl(pos(p(a)), pos(r(b))), cl(neg(p(X)), pos(r(Y))), cl(neg(r(b)))),
    [inp(0, cl(pos(p(a)), pos(r(b)))), inp(1, cl(neg(p(X)), pos(r(Y)))), inp(2, cl(neg(r(b)))),
     (3, cl(pos(r(b))), "subsumption_resolution", (0, 1), {"literal": 0}),
     (4, EMPTY, "resolution", (3, 2), {})],
)
FLIPPED_CUT = (
    # A negative equation cut by a unit equation written the other way round.
    inputs_of(cl(neg(Equality(a, b)), pos(p(a))), cl(pos(Equality(b, a))), cl(neg(p(a)))),
    [inp(0, cl(neg(Equality(a, b)), pos(p(a)))), inp(1, cl(pos(Equality(b, a)))), inp(2, cl(neg(p(a)))),
     (3, cl(pos(p(a))), "subsumption_resolution", (0, 1), {"literal": 0}),
     (4, EMPTY, "resolution", (3, 2), {})],
)
SIMPLIFY = (
    inputs_of(cl(pos(p(X)), neg(Equality(f(X), f(X)))), cl(neg(p(a)))),
    [inp(0, cl(pos(p(X)), neg(Equality(f(X), f(X))))), inp(1, cl(neg(p(a)))),
     (2, cl(pos(p(Y))), "simplify", (0,), {}),
     (3, EMPTY, "resolution", (2, 1), {})],
)
FACTORING = (
    inputs_of(cl(pos(p(X)), pos(p(a))), cl(neg(p(a)))),
    [inp(0, cl(pos(p(X)), pos(p(a)))), inp(1, cl(neg(p(a)))),
     (2, cl(pos(p(a))), "factoring", (0,), {}),
     (3, EMPTY, "resolution", (2, 1), {})],
)
FLIPPED_INPUT = (
    # The engine may give an input equation back with its sides swapped.
    inputs_of(cl(pos(Equality(f(a), b))), cl(pos(p(f(a)))), cl(neg(p(b)))),
    [inp(0, cl(pos(Equality(b, f(a))))), inp(1, cl(pos(p(f(a))))), inp(2, cl(neg(p(b)))),
     (5, cl(pos(p(b))), "superposition", (0, 1), {"from": 0, "into": 1}),
     (6, EMPTY, "resolution", (5, 2), {})],
)
GOOD = {"resolution": RESOLUTION, "superposition": SUPERPOSITION, "equality_resolution": EQUALITY_RESOLUTION,
        "equality_factoring": EQUALITY_FACTORING, "demodulation": DEMODULATION,
        "subsumption_resolution": SUBSUMPTION_RESOLUTION, "flipped_cut": FLIPPED_CUT, "simplify": SIMPLIFY,
        "factoring": FACTORING, "flipped_input": FLIPPED_INPUT}


@pytest.mark.parametrize("name", sorted(GOOD))
def test_correct_derivations_replay(name):
    inputs, steps = GOOD[name]
    proof = replay(steps, inputs)
    assert not proof[-1].literals
    # Numbered in order, parents first; equality resolution brings the reflexivity axiom.
    assert [rec.number for rec in proof] == list(range(1, len(proof) + 1))
    assert all(parent.number < rec.number for rec in proof for parent in rec.parents)
    assert len(proof) == len(steps) + (name == "equality_resolution")


def test_steps_map_to_the_rules_that_check_them():
    proof = native.proof_records(EQUALITY_RESOLUTION[1], EQUALITY_RESOLUTION[0])
    rules = [(rec.rule, rec.source) for rec in proof]
    assert rules == [("Axiom", "s0"), ("Axiom", "s1"), ("Axiom", InternalSource.REFLEXIVITY),
                     ("BinaryResolution", None), ("BinaryResolution", None)]
    assert proof[3].parents == (proof[0], proof[2])
    demod = native.proof_records(DEMODULATION[1], DEMODULATION[0])
    assert demod[3].rule == "Demodulation" and demod[3].parents == (demod[1], demod[0])
    assert [(eq.number, old, new) for eq, old, new in demod[3].rewrites] == [(1, f(a), a), (1, f(a), a)]


def test_input_roles_and_sources_come_from_the_inputs():
    inputs = inputs_of(cl(pos(p(a))), cl(neg(p(a))), goal=(1,))
    proof = replay([inp(0, cl(pos(p(a)))), inp(1, cl(neg(p(a)))), (2, EMPTY, "resolution", (0, 1), {})], inputs)
    assert [(rec.rule, rec.source) for rec in proof[:2]] == [("Axiom", "s0"), ("NegatedGoal", "s1")]
    assert proof[2].from_goal


# -- derivations that must be refused -------------------------------------------------


def _replace(steps, index, step):
    steps = list(steps)
    steps[index] = step
    return steps


WRONG = {
    "resolvent": (RESOLUTION, 3, (10, cl(pos(q(b))), "resolution", (0, 1), {})),
    "resolution of unrelated clauses": (RESOLUTION, 3, (10, cl(pos(q(a))), "resolution", (0, 2), {})),
    "superposition result": (SUPERPOSITION, 3, (5, cl(pos(p(a))), "superposition", (0, 1), {})),
    "superposition from a negated equation": (
        SUPERPOSITION, 3, (5, cl(pos(p(b))), "superposition", (2, 1), {})),
    "equality resolution without a unifier": (
        EQUALITY_RESOLUTION, 2, (2, cl(pos(q(b))), "equality_resolution", (0,), {"literal": 0})),
    "equality factor": (
        EQUALITY_FACTORING, 3,
        (3, cl(neg(Equality(a, b)), pos(Equality(a, c))), "equality_factoring", (0,), {"literals": (0, 1)})),
    "equality factor that keeps the dropped equation": (
        EQUALITY_FACTORING, 3,
        (3, cl(pos(Equality(a, c))), "equality_factoring", (0,), {"literals": (0, 1)})),
    "rewrite that is no instance": (
        DEMODULATION, 3, (3, cl(pos(p(a))), "demodulation", (1, 0), {"rewrites": [(0, f(f(a)), a)]})),
    "rewrite of a term that does not occur": (
        DEMODULATION, 3,
        (3, cl(pos(p(a))), "demodulation", (1, 0), {"rewrites": [(0, f(a), a), (0, f(a), a), (0, f(a), a)]})),
    "rewrites that lead elsewhere": (
        DEMODULATION, 3, (3, cl(pos(p(a))), "demodulation", (1, 0), {"rewrites": [(0, f(a), a)]})),
    "rewrite with a clause that is not a parent": (
        DEMODULATION, 3, (3, cl(pos(p(a))), "demodulation", (1, 2), {"rewrites": [(0, f(a), a)]})),
    "cut by a clause that does not subsume": (
        SUBSUMPTION_RESOLUTION, 3, (3, cl(pos(r(a))), "subsumption_resolution", (0, 1), {"literal": 0})),
    "cut without a complementary literal": (
        SUBSUMPTION_RESOLUTION, 3, (3, cl(pos(r(b))), "subsumption_resolution", (0, 2), {"literal": 0})),
    "simplification that drops a literal": (
        SIMPLIFY, 2, (2, EMPTY, "simplify", (0,), {})),
    "factor that is no factor": (FACTORING, 2, (2, cl(pos(p(b))), "factoring", (0,), {})),
    "input that is not the input": (RESOLUTION, 0, inp(0, cl(pos(p(b))))),
    "input id of another input": (RESOLUTION, 0, inp(0, cl(neg(q(a))))),
}


@pytest.mark.parametrize("name", sorted(WRONG))
def test_wrong_steps_are_refused(name):
    (inputs, steps), index, step = WRONG[name]
    with pytest.raises(ProofCheckError):
        replay(_replace(steps, index, step), inputs)


@pytest.mark.parametrize(
    "steps, message",
    [
        ([inp(0, cl(pos(p(a)))), (1, EMPTY, "resolution", (0, 7), {})], "does not precede"),
        ([inp(0, cl(pos(p(a)))), (1, EMPTY, "paramodulation", (0,), {})], "unknown rule"),
        ([inp(0, cl(pos(p(a)))), inp(0, cl(pos(p(a))))], "occurs twice"),
        ([inp(5, cl(pos(p(a))))], "no input clause"),
        ([(0, cl(pos(p(a))), "input", (1,), {})], "no input clause"),
        ([inp(0, "p(a)")], "not a clause"),
        ([(0, cl(pos(p(a))), "input")], "malformed"),
        ([inp(0, cl(pos(p(a)))), (1, EMPTY, "equality_resolution", (0, 0), {})], "one parent"),
        ([inp(0, cl(pos(p(a)))), (1, EMPTY, "demodulation", (0, 0), {})], "rewrites"),
        ([inp(0, cl(pos(p(a)))), (1, EMPTY, "resolution", 0, {})], "parents"),
    ],
)
def test_unreadable_steps_are_refused_with_a_reason(steps, message):
    inputs = inputs_of(cl(pos(p(a))), cl(neg(p(a))))
    with pytest.raises(ProofCheckError, match=message):
        native.proof_records(steps, inputs)


def test_a_proof_must_end_with_the_empty_clause():
    inputs, steps = RESOLUTION
    with pytest.raises(ProofCheckError, match="empty clause"):
        replay(steps[:-1], inputs)


def test_a_step_that_uses_a_later_one_is_refused():
    inputs, steps = RESOLUTION
    with pytest.raises(ProofCheckError, match="does not precede"):
        native.proof_records([steps[0], steps[1], steps[2], steps[4], steps[3]], inputs)


# -- the comparisons the replay relies on ---------------------------------------------------


@pytest.mark.parametrize(
    "first, second, expected",
    [
        (cl(pos(Equality(X, Y)), pos(p(Y))), cl(pos(Equality(Z, X)), pos(p(Z))), True),  # needs the flip
        (cl(pos(Equality(a, b))), cl(pos(Equality(b, a))), True),
        (cl(pos(Equality(a, b))), cl(neg(Equality(b, a))), False),
        (cl(pos(p(X, Y))), cl(pos(p(Y, Y))), False),  # not a renaming
        (cl(pos(p(X)), pos(q(Y))), cl(pos(p(X)), pos(q(X))), False),
    ],
)
def test_symmetric_variants(first, second, expected):
    assert is_variant(first, second, symmetric=True) is expected
    assert is_variant(second, first, symmetric=True) is expected


@pytest.mark.parametrize(
    "general, specific, expected",
    [
        (cl(pos(r(b)), pos(r(Y))), cl(pos(r(b))), True),
        (cl(pos(r(X)), pos(q(X))), cl(pos(r(a)), pos(q(b))), False),
        (cl(pos(Equality(X, a))), cl(pos(Equality(a, b))), True),  # sides swapped
        (cl(pos(p(X))), cl(neg(p(a))), False),
        (EMPTY, cl(pos(p(a))), True),
    ],
)
def test_collapse(general, specific, expected):
    assert collapses_onto(general, specific) is expected


def test_equations_written_both_ways_count_once():
    assert same_clause(cl(pos(Equality(a, b)), pos(Equality(b, a)), pos(p(a))), cl(pos(p(a)), pos(Equality(b, a))))
    assert not same_clause(cl(pos(Equality(a, b)), neg(Equality(b, a))), cl(pos(Equality(a, b))))


# -- answers of a stand-in engine -------------------------------------------------------------


class FakeEngine:
    def __init__(self, status, complete=True, steps=()):
        self.answer = types.SimpleNamespace(status=status, complete=complete, steps=list(steps),
                                            stats={"given": 3, "kept": 4, "generated": 5})
        self.calls = []

    def saturate(self, clauses, options, progress=None):
        self.calls.append((clauses, options))
        if progress is not None:
            progress({"given": 1, "kept": 1, "active": 1, "passive": 0, "generated": 1, "seconds": 0.5,
                      "per_second": 2.0})
        return self.answer


def _prove_with(monkeypatch, engine, text, **config):
    monkeypatch.setattr(native, "load_engine", lambda: engine)
    return prove(parse_problem(text), ProverConfig(engine="native", **config))


@pytest.mark.parametrize(
    "status, complete, text, expected",
    [
        ("Saturated", True, "cnf(a, axiom, p(a)).", "Satisfiable"),
        ("Saturated", True, "fof(a, axiom, p(a)).\nfof(c, conjecture, q(a)).", "CounterSatisfiable"),
        ("Saturated", False, "cnf(a, axiom, p(a)).", "GaveUp"),
        ("Saturated", False, "fof(a, axiom, p(a)).\nfof(c, conjecture, q(a)).", "GaveUp"),
        ("Timeout", True, "cnf(a, axiom, p(a)).", "Timeout"),
        ("ResourceOut", True, "cnf(a, axiom, p(a)).", "ResourceOut"),
        ("GaveUp", True, "cnf(a, axiom, p(a)).", "GaveUp"),
        ("Puzzled", True, "cnf(a, axiom, p(a)).", "Error"),
    ],
)
def test_engine_answers_map_to_statuses(monkeypatch, status, complete, text, expected):
    result, _ = _prove_with(monkeypatch, FakeEngine(status, complete), text)
    assert result.status == expected and result.proof is None
    assert (result.given, result.kept, result.generated) == (3, 4, 5)


def test_a_refutation_that_replays_is_a_theorem(monkeypatch):
    text = "fof(a, axiom, p(a)).\nfof(c, conjecture, p(a))."
    steps = [inp(0, cl(pos(p(a)))), inp(1, cl(neg(p(a)))), (2, EMPTY, "resolution", (0, 1), {})]
    engine = FakeEngine("Unsatisfiable", steps=steps)
    result, inputs = _prove_with(monkeypatch, engine, text)
    assert result.status == "Theorem"
    check_proof(result.proof, inputs)
    clauses, options = engine.calls[0]
    assert clauses == [ic.clause for ic in inputs]
    assert options["goal_ids"] == [1]


def test_a_refutation_that_does_not_replay_is_an_error(monkeypatch):
    text = "fof(a, axiom, p(a)).\nfof(c, conjecture, p(b))."
    steps = [inp(0, cl(pos(p(a)))), inp(1, cl(neg(p(b)))), (2, EMPTY, "resolution", (0, 1), {})]
    result, _ = _prove_with(monkeypatch, FakeEngine("Unsatisfiable", steps=steps), text)
    assert result.status == "Error" and result.proof is None
    assert "does not replay" in result.reason


def test_options_and_progress_reach_the_engine(monkeypatch):
    reports = []
    engine = FakeEngine("Timeout")
    _prove_with(monkeypatch, engine, "cnf(a, axiom, p(a)).", time_limit=3.0, max_clauses=77,
                memory_limit=1 << 40, progress=reports.append, engine_options={"selection": "none"})
    options = engine.calls[0][1]
    assert options["max_clauses"] == 77 and options["memory_limit"] == 1 << 40
    assert options["selection"] == "none" and options["goal_ids"] == []
    assert 0 < options["deadline"] - __import__("time").monotonic() <= 3.0
    assert reports and reports[0]["rate"] == 2.0 and reports[0]["given"] == 1


def test_an_unknown_engine_is_refused():
    with pytest.raises(ValueError, match="unknown engine"):
        prove(parse_problem("cnf(a, axiom, p(a))."), ProverConfig(engine="turbo"))


def test_the_cli_reports_a_missing_engine(monkeypatch, capsys):
    from kelvara.prover import cli

    def missing():
        raise native.EngineUnavailable("the native engine is not built (test)")

    monkeypatch.setattr(native, "load_engine", missing)
    assert cli.main(["prove", "--engine", "native", "-q", "pel01"]) == cli.EXIT_ERROR
    captured = capsys.readouterr()
    assert "% SZS status Error for" in captured.out and "not built" in captured.err


# -- the Python loop's own proofs, handed over in the engine's format -------------------------


def engine_steps(proof, inputs):
    """A proof of the Python loop as the steps the native engine reports."""
    ids = {}
    steps = []
    for rec in proof:
        if rec.rule in ("Axiom", "NegatedGoal"):
            if rec.source is InternalSource.REFLEXIVITY:
                continue
            ids[rec.number] = next(i for i, ic in enumerate(inputs) if ic.clause == rec.raw and ic.source == rec.source)
            steps.append(inp(ids[rec.number], rec.raw))
            continue
        ids[rec.number] = 1000 + rec.number
        parents = [p for p in rec.parents if p.source is not InternalSource.REFLEXIVITY]
        rule = {"BinaryResolution": "resolution", "Factoring": "factoring", "Paramodulation": "superposition",
                "Demodulation": "demodulation"}[rec.rule]
        info = {}
        if rule == "resolution" and len(parents) == 1:
            rule = "equality_resolution"
        if rule == "demodulation":
            info = {"rewrites": [(ids[eq.number], old, new) for eq, old, new in rec.rewrites]}
        steps.append((ids[rec.number], rec.raw, rule, tuple(ids[p.number] for p in parents), info))
    return steps


@pytest.mark.parametrize("name", ["pel01", "pel17", "pel38", "pel48", "pel49", "pel51", "pel52", "pel55", "pel61"])
def test_python_loop_proofs_replay_in_the_engine_format(name):
    from kelvara.prover.cli import bundled_dir
    from kelvara.prover.tptp import parse_file

    result, inputs = prove(parse_file(bundled_dir() / f"{name}.p"), ProverConfig(time_limit=30, engine="python"))
    assert result.status == "Theorem"
    steps = engine_steps(result.proof, inputs)
    proof = replay(steps, inputs)
    assert len(proof) == len(result.proof)
    assert [rec.rule for rec in proof if rec.source is not InternalSource.REFLEXIVITY] == [
        rec.rule for rec in result.proof if rec.source is not InternalSource.REFLEXIVITY]


@pytest.mark.parametrize("error", [TypeError, ValueError])
def test_input_the_engine_refuses_goes_to_the_python_loop(monkeypatch, error):
    class Refusing:
        def saturate(self, clauses, options, progress=None):
            raise error("cannot represent this term")

    result, inputs = _prove_with(monkeypatch, Refusing(), "fof(a, axiom, p(a)).\nfof(c, conjecture, p(a)).")
    assert result.status == "Theorem" and "cannot represent" in result.stats["fallback"]
    check_proof(result.proof, inputs)
    assert any(rec.rule == "BinaryResolution" for rec in result.proof)
