"""The native engine against the Python loop: same answers, proofs that replay.

Skipped when kelvara was built without the engine.  Small random clause
sets are given to both engines: neither may contradict the other, and each
refutation of the native engine must replay (a run that would print an
unchecked proof is reported as Error, which these tests refuse).
"""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pytest.importorskip("kelvara.prover.rules")

from kelvara.core.ast import Constant, Equality, FunctionApp, PredicateApp, Variable  # noqa: E402
from kelvara.prover.clausifier import Clause, Literal  # noqa: E402
from kelvara.prover.saturation import InputClause, ProverConfig, Saturation, check_proof, prove  # noqa: E402
from kelvara.prover.saturation import native  # noqa: E402
from kelvara.prover.tptp import parse_file  # noqa: E402

pytestmark = pytest.mark.skipif(not native.engine_available(), reason="built without the native engine")

UNSAT = {"Theorem", "Unsatisfiable"}
SAT = {"CounterSatisfiable", "Satisfiable"}


def _class(status):
    return "unsat" if status in UNSAT else "sat" if status in SAT else None


# -- random clause sets, both engines --------------------------------------------------------

_VARS = [Variable(i) for i in range(3)]
_CONSTANTS = [Constant(n) for n in ("a", "b")]


def _terms():
    leaves = st.sampled_from(_VARS + _CONSTANTS)
    return st.recursive(leaves, lambda inner: st.builds(lambda x: FunctionApp("f", 1, (x,)), inner)
                        | st.builds(lambda x, y: FunctionApp("g", 2, (x, y)), inner, inner), max_leaves=4)


def _atoms(equality: bool):
    preds = st.one_of(st.builds(lambda t: PredicateApp("p", 1, (t,)), _terms()),
                      st.builds(lambda s, t: PredicateApp("q", 2, (s, t)), _terms(), _terms()))
    if equality:
        preds = preds | st.builds(Equality, _terms(), _terms())
    return preds


def _clause_sets(equality: bool):
    literal = st.builds(lambda atom, sign: Literal(atom=atom, positive=sign), _atoms(equality), st.booleans())
    clause = st.lists(literal, min_size=1, max_size=3).map(lambda lits: Clause(frozenset(lits)))
    return st.lists(clause, min_size=1, max_size=6)


def _inputs(clauses):
    return [InputClause(c, "Axiom", f"c{i}") for i, c in enumerate(clauses)]


def _both(clauses):
    # Either engine settles these small sets within milliseconds or runs on
    # (both time out), so a one-second limit decides the same cases as a long one.
    inputs = _inputs(clauses)
    python = Saturation(inputs, ProverConfig(time_limit=1.0, engine="python")).run()
    mine = native.run_native(inputs, ProverConfig(time_limit=1.0, engine="native"))
    return inputs, python, mine


@pytest.mark.parametrize("equality", [False, True], ids=["no-equality", "equality"])
@settings(max_examples=40)
@given(data=st.data())
def test_the_engines_never_contradict_each_other(equality, data):
    clauses = data.draw(_clause_sets(equality))
    inputs, python, mine = _both(clauses)
    assert mine.status != "Error", mine.reason
    if _class(python.status) and _class(mine.status):
        assert _class(python.status) == _class(mine.status), (clauses, python.status, mine.status)
    if mine.proof is not None:
        check_proof(mine.proof, inputs)
        assert not mine.proof[-1].literals


def test_a_saturated_equality_set_is_satisfiable():
    # a = b, p(a): the Python loop may not claim it; a complete run does.
    a, b = Constant("a"), Constant("b")
    clauses = [Clause(frozenset([Literal(atom=Equality(a, b), positive=True)])),
               Clause(frozenset([Literal(atom=PredicateApp("p", 1, (a,)), positive=True)]))]
    result = native.run_native(_inputs(clauses), ProverConfig(time_limit=5.0, engine="native"))
    assert result.status in ("Satisfiable", "GaveUp")
    assert result.status == "Satisfiable" or not result.stats["complete"]


# -- bundled problems -----------------------------------------------------------------------

BUNDLED = ["pel01", "pel17", "pel34", "pel38", "pel43", "pel47", "pel48", "pel55", "pel58", "pel61", "pel68",
           "pel69"]


@pytest.mark.parametrize("name", BUNDLED)
def test_bundled_answers_agree_with_their_status(name):
    from kelvara.prover.cli import bundled_dir

    problem = parse_file(bundled_dir() / f"{name}.p")
    result, inputs = prove(problem, ProverConfig(time_limit=3.0, engine="native"))  # the proved ones take < 0.2 s
    assert result.status != "Error", result.reason
    if _class(result.status) is not None:
        assert _class(result.status) == _class(problem.expected_status)
    if result.proof is not None:
        check_proof(result.proof, inputs)
