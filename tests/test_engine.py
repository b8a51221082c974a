"""The native saturation engine: answers on known problems with every proof replayed,
satisfiable sets saturated, ground sets against a truth-table oracle, limits, progress,
interrupts and hostile callers."""

from __future__ import annotations

import itertools
import os
import signal
import sys
import textwrap
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

_engine = pytest.importorskip("kelvara.prover._engine")

from engine_replay import ReplayError, c, clause, eq, f, load, p, replay, v  # noqa: E402
from helpers import run_isolated  # noqa: E402
from kelvara.core.ast import Constant, Equality, FunctionApp, PredicateApp, Variable, VariableKind  # noqa: E402
from kelvara.prover.clausifier import Clause, Literal  # noqa: E402

PROBLEMS = Path(__file__).resolve().parent.parent / "src" / "kelvara" / "prover" / "problems"
SELECTIONS = ["none", "max_neg_weight", "min_neg_weight", "ground_first", "all_neg", "max_neg_avoid_pos", "first_neg"]


def saturate(clauses, **options):
    options.setdefault("time_limit", 20.0)
    return _engine.saturate(clauses, options)


def refute(clauses, **options):
    result = saturate(clauses, **options)
    assert result.status == "Unsatisfiable", result
    replay(result.steps, clauses)
    return result


# ---------------------------------------------------------------- refutations


@pytest.mark.parametrize("selection", SELECTIONS)
@pytest.mark.parametrize("name", ["pel26", "pel34", "pel38", "pel55", "pel62", "pel75"])
def test_pelletier_refutations_replay(name, selection):
    clauses, goals = load((PROBLEMS / f"{name}.p").read_text())
    result = refute(clauses, goal_ids=goals, selection=selection)
    ids = [s[0] for s in result.steps]
    assert ids == sorted(ids) and len(set(ids)) == len(ids)
    assert not result.steps[-1][1].literals


GROUP = """
cnf(left_identity, axiom, mult(e, X) = X).
cnf(left_inverse, axiom, mult(inv(X), X) = e).
cnf(assoc, axiom, mult(mult(X, Y), Z) = mult(X, mult(Y, Z))).
"""


@pytest.mark.parametrize("goal", [
    "cnf(goal, negated_conjecture, mult(a, inv(a)) != e).",       # right inverse
    "cnf(goal, negated_conjecture, mult(a, e) != a).",            # right identity
    "cnf(goal, negated_conjecture, inv(inv(a)) != a).",
    "cnf(goal, negated_conjecture, inv(mult(a, b)) != mult(inv(b), inv(a))).",
])
def test_group_theory_unit_equalities(goal):
    clauses, goals = load(GROUP + goal)
    result = refute(clauses, goal_ids=goals)
    rules = {s[2] for s in result.steps}
    assert "superposition" in rules and "demodulation" in rules


def test_two_positive_equations_refuted_and_replayed():
    a, b, cc = c("a"), c("b"), c("c")
    clauses = [clause(eq(a, b), eq(a, cc)), clause(eq(b, a, False)), clause(eq(cc, a, False))]
    result = refute(clauses, selection="none")
    assert result.steps[0][2] == "input"
    # and without the last clause the set has a model (a = c, b apart)
    assert saturate(clauses[:2], selection="none").status == "Saturated"


def test_equality_resolution_with_variables():
    x = v(0)
    clauses = [clause(eq(f("g", x), f("g", c("a")), False), p("q", x)), clause(p("q", c("a"), positive=False))]
    result = refute(clauses)
    assert "equality_resolution" in {s[2] for s in result.steps}
    step = next(s for s in result.steps if s[2] == "equality_resolution")
    parent = {s[0]: s[1] for s in result.steps}[step[3][0]]
    lit = parent.literals[step[4]["literal"]]
    assert not lit.positive and type(lit.atom) is Equality


def test_demodulation_info_names_equations_among_parents():
    clauses, goals = load(GROUP + "cnf(goal, negated_conjecture, mult(e, mult(e, a)) != a).")
    result = refute(clauses, goal_ids=goals)
    demod = [s for s in result.steps if s[2] == "demodulation"]
    assert demod
    for step_id, cl, rule, parents, info in demod:
        assert info["rewrites"]
        assert {r[0] for r in info["rewrites"]} <= set(parents[1:])


def test_unit_cutting_is_recorded_as_subsumption_resolution():
    a = c("a")
    clauses = [clause(p("p", v(0)), p("q", v(0)), p("r", v(0))), clause(p("q", a, positive=False)),
               clause(p("r", a, positive=False)), clause(p("p", v(0), positive=False))]
    result = refute(clauses)
    assert {"subsumption_resolution", "resolution"} & {s[2] for s in result.steps}


def test_empty_input_clause_is_its_own_proof():
    clauses = [clause(p("p", c("a"))), Clause(frozenset())]
    result = refute(clauses)
    assert [s[0] for s in result.steps] == [1]


def test_trivially_false_literal_removed_by_simplify_step():
    a = c("a")
    clauses = [clause(eq(a, a, False), p("p", a)), clause(p("p", a, positive=False))]
    result = refute(clauses)
    assert "simplify" in {s[2] for s in result.steps}


# ---------------------------------------------------------------- saturation


@pytest.mark.parametrize("clauses", [
    [clause(p("p", c("a"))), clause(p("p", c("b"), positive=False))],
    [clause(eq(c("a"), c("b"))), clause(eq(f("f", c("a")), c("c"), False), p("q", c("a")))],
    [clause(p("p", v(0)), p("q", v(0))), clause(p("p", c("a"), positive=False))],
    [clause(eq(f("f", v(0)), v(0))), clause(p("p", f("f", c("a")))), clause(p("p", c("b"), positive=False))],
    [clause(eq(f("f", v(0)), c("a"))), clause(p("p", c("a"))),
     clause(p("p", f("f", c("b")), positive=False), p("q", c("c")))],
], ids=["ground", "equality", "horn", "rewrite", "rewrite-and-cut"])
@pytest.mark.parametrize("selection", SELECTIONS)
def test_satisfiable_sets_saturate_complete(clauses, selection):
    result = saturate(clauses, selection=selection)
    assert result.status == "Saturated"
    assert result.complete is True
    assert result.steps == []


def test_countersatisfiable_pelletier_problems_do_not_refute():
    for name in ("pel68", "pel69"):
        clauses, goals = load((PROBLEMS / f"{name}.p").read_text())
        result = saturate(clauses, goal_ids=goals, time_limit=1.0)
        assert result.status != "Unsatisfiable"


# Ground clause sets over four atoms against a truth table.
ATOMS = [("p", "a"), ("p", "b"), ("q", "a"), ("q", "b")]
ground_literal = st.tuples(st.sampled_from(range(len(ATOMS))), st.booleans())
ground_set = st.lists(st.lists(ground_literal, min_size=1, max_size=3), min_size=1, max_size=7)


def _satisfiable(cls) -> bool:
    for values in itertools.product([False, True], repeat=len(ATOMS)):
        if all(any(values[i] == sign for i, sign in cl) for cl in cls):
            return True
    return False


@settings(max_examples=150)
@given(ground_set, st.sampled_from(SELECTIONS))
def test_ground_sets_against_truth_tables(cls, selection):
    clauses = [clause(*(p(ATOMS[i][0], c(ATOMS[i][1]), positive=s) for i, s in cl)) for cl in cls]
    result = saturate(clauses, selection=selection)
    if _satisfiable(cls):
        assert result.status == "Saturated" and result.complete
    else:
        assert result.status == "Unsatisfiable"
        replay(result.steps, clauses)


# Ground equational sets over constants a, b, c and f/1 against a brute-force
# search over interpretations in a domain of up to three elements (a ground
# set with only these constants is satisfiable iff it has such a model... as
# long as f is also interpreted on the domain: we enumerate f as a table).
TERMS = [c("a"), c("b"), f("f", c("a")), f("f", c("b"))]
eq_literal = st.tuples(st.sampled_from(range(4)), st.sampled_from(range(4)), st.booleans())
eq_set = st.lists(st.lists(eq_literal, min_size=1, max_size=2), min_size=1, max_size=5)


def _eq_satisfiable(cls) -> bool:
    for n in (1, 2, 3, 4):
        for av, bv in itertools.product(range(n), repeat=2):
            for table in itertools.product(range(n), repeat=n):
                val = [av, bv, table[av], table[bv]]
                if all(any((val[i] == val[j]) == s for i, j, s in cl) for cl in cls):
                    return True
    return False


@settings(max_examples=150)
@given(eq_set, st.sampled_from(SELECTIONS))
def test_ground_equational_sets_against_models(cls, selection):
    clauses = [clause(*(eq(TERMS[i], TERMS[j], s) for i, j, s in cl)) for cl in cls]
    result = saturate(clauses, selection=selection)
    if _eq_satisfiable(cls):
        assert result.status == "Saturated" and result.complete
    else:
        assert result.status == "Unsatisfiable"
        replay(result.steps, clauses)


def test_replay_rejects_a_tampered_step():
    clauses, goals = load((PROBLEMS / "pel55.p").read_text())
    result = refute(clauses, goal_ids=goals)
    steps = list(result.steps)
    k = next(i for i, s in enumerate(steps) if s[2] == "resolution")
    step_id, cl, rule, parents, info = steps[k]
    steps[k] = (step_id, clause(p("bogus", c("a"))), rule, parents, info)
    with pytest.raises(ReplayError):
        replay(steps, clauses)


# ---------------------------------------------------------------- limits and progress

HARD = (PROBLEMS / "pel53.p").read_text()


def test_time_limit_and_deadline():
    clauses, goals = load(HARD)
    result = saturate(clauses, time_limit=0.3)
    assert result.status == "Timeout" and result.stats["seconds"] < 2.0 and result.steps == []
    import time
    result = _engine.saturate(clauses, {"deadline": time.monotonic() + 0.3})
    assert result.status == "Timeout" and result.stats["seconds"] < 2.0


@pytest.mark.parametrize("option", [{"max_clauses": 50}, {"memory_limit": 1}])
def test_resource_limits(option):
    clauses, goals = load(HARD)
    result = saturate(clauses, **option)
    assert result.status == "ResourceOut"
    if "max_clauses" in option:
        assert result.stats["kept"] <= 51 + len(clauses)


def test_progress_called_with_statistics():
    clauses, goals = load(HARD)
    seen = []
    result = _engine.saturate(clauses, {"time_limit": 0.5, "progress_every": 0.05}, seen.append)
    assert result.status == "Timeout"
    assert 2 <= len(seen) <= 20
    assert set(seen[0]) == {"given", "kept", "active", "passive", "generated", "seconds", "per_second"}
    assert all(a["given"] <= b["given"] for a, b in zip(seen, seen[1:]))


def test_progress_exception_stops_the_run():
    clauses, goals = load(HARD)

    def boom(stats):
        raise LookupError("stop here")

    with pytest.raises(LookupError, match="stop here"):
        _engine.saturate(clauses, {"time_limit": 5, "progress_every": 0.01}, boom)


def test_keyboard_interrupt_returns_promptly():
    import subprocess
    import time
    code = textwrap.dedent(f"""
        import signal, sys, time
        signal.signal(signal.SIGINT, signal.default_int_handler)  # even when started with SIGINT ignored
        sys.path.insert(0, {str(Path(__file__).parent)!r})
        from engine_replay import load
        from kelvara.prover import _engine
        clauses, goals = load(open({str(PROBLEMS / "pel69.p")!r}).read())
        print("start", flush=True)
        start = time.monotonic()
        try:
            print("finished", _engine.saturate(clauses, {{"time_limit": 30}}).status)
        except KeyboardInterrupt:
            print("interrupted", round(time.monotonic() - start, 1))
    """)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(x for x in sys.path if x)
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=env)
    assert proc.stdout.readline().strip() == "start"
    time.sleep(0.5)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0, err
    word, seconds = out.split()
    assert word == "interrupted" and float(seconds) < 3.0


# ---------------------------------------------------------------- hostile callers


class Raising:
    @property
    def literals(self):
        raise KeyError("no literals")


class FakeLiteral:
    def __init__(self, atom, positive):
        self.atom = atom
        self.positive = positive


class FakeClause:
    def __init__(self, *lits):
        self.literals = lits


A = PredicateApp("p", 1, (Constant("a"),))


@pytest.mark.parametrize("clauses, error", [
    (42, TypeError),
    ([42], AttributeError),
    ([Raising()], KeyError),
    ([FakeClause(FakeLiteral("p", True))], TypeError),
    ([FakeClause(FakeLiteral(A, 1))], TypeError),
    ([FakeClause(FakeLiteral(PredicateApp("p", 1, (Constant("a", sort=None) if False else Variable(0, VariableKind.PREDICATE),)), True))], TypeError),
    ([FakeClause(FakeLiteral(PredicateApp("p", 1, (Variable(2**70),)), True))], ValueError),
])
def test_hostile_clauses_raise(clauses, error):
    with pytest.raises(error):
        _engine.saturate(clauses, {})


def test_fake_records_with_real_nodes_are_read():
    result = _engine.saturate([FakeClause(FakeLiteral(A, True)), FakeClause(FakeLiteral(A, False))], {})
    assert result.status == "Unsatisfiable"


def test_deep_term_raises_value_error():
    t = Constant("a")
    for _ in range(5000):
        t = FunctionApp("f", 1, (t,))
    with pytest.raises((ValueError, RecursionError)):
        _engine.saturate([clause(p("p", t))], {})


def test_deep_conclusions_are_dropped_and_mark_the_run_incomplete():
    # p(x) -> p(f^8(x)) from p(a), never refuted: terms grow until the depth bound.
    x = v(0)
    deeper = x
    for _ in range(8):
        deeper = f("f", deeper)
    clauses = [clause(p("p", c("a"))), clause(p("p", x, positive=False), p("p", deeper))]
    result = saturate(clauses, selection="max_neg_weight", time_limit=120.0)
    assert result.status == "Saturated"
    assert result.complete is False and result.stats["too_deep"] > 0
    # Ordered resolution alone (no selection) saturates at once, completely.
    result = saturate(clauses, selection="none")
    assert result.status == "Saturated" and result.complete is True and result.stats["too_deep"] == 0


@pytest.mark.parametrize("options, error", [
    ({"bogus": 1}, ValueError),
    ({"time_limit": "1"}, TypeError),
    ({"time_limit": -1.0}, ValueError),
    ({"time_limit": float("nan")}, ValueError),
    ({"max_clauses": -3}, ValueError),
    ({"max_clauses": 1.5}, TypeError),
    ({"selection": "best"}, ValueError),
    ({"selection": 3}, TypeError),
    ({"goal_ids": [7]}, ValueError),
    ({"goal_ids": 7}, TypeError),
    ({"progress_every": 0}, ValueError),
    ([("time_limit", 1)], TypeError),
])
def test_bad_options_raise(options, error):
    with pytest.raises(error):
        _engine.saturate([clause(p("p", c("a")))], options)


def test_bad_call_shapes():
    with pytest.raises(TypeError):
        _engine.saturate()
    with pytest.raises(TypeError):
        _engine.saturate([], {}, None, None)
    with pytest.raises(TypeError):
        _engine.saturate([], {}, progress=3)
    with pytest.raises(TypeError):
        _engine.saturate([], {}, nope=3)
    assert _engine.saturate([], {}).status == "Saturated"


def test_input_steps_are_variants_of_their_inputs_and_result_shape():
    clauses = [clause(p("p", Variable(40), Variable(7))), clause(p("p", c("a"), c("b"), positive=False))]
    result = refute(clauses)
    assert isinstance(result, _engine.EngineResult)
    status, complete, steps, stats = result
    assert complete is True and stats["given"] >= 1
    inputs = [s for s in steps if s[2] == "input"]
    assert {s[0] for s in inputs} == {0, 1}
    for s in inputs:
        assert {type(lit) for lit in s[1].literals} == {Literal}


# ---------------------------------------------------------------- twin: the Python loop

X0, X1 = Variable(0), Variable(1)
TERM_POOL = [X0, X1, c("a"), c("b"), f("f", X0), f("f", c("a")), f("g", X0, X1)]
atom_args = st.sampled_from(TERM_POOL)
nonground_literal = st.one_of(
    st.builds(lambda t, s: p("p", t, positive=s), atom_args, st.booleans()),
    st.builds(lambda t, u, s: p("q", t, u, positive=s), atom_args, atom_args, st.booleans()),
)
nonground_set = st.lists(st.lists(nonground_literal, min_size=1, max_size=3).map(lambda ls: clause(*ls)),
                         min_size=1, max_size=6)


@settings(max_examples=60)
@given(nonground_set, st.sampled_from(SELECTIONS))
def test_nonground_sets_agree_with_the_python_loop(clauses, selection):
    from kelvara.prover.saturation import InputClause, ProverConfig, Saturation

    ours = saturate(clauses, selection=selection, time_limit=5.0)
    twin = Saturation([InputClause(cl, "Axiom", f"c{i}") for i, cl in enumerate(clauses)],
                      ProverConfig(time_limit=5.0)).run()
    if ours.status == "Unsatisfiable":
        replay(ours.steps, clauses)
        assert twin.status != "Satisfiable"
    if ours.status == "Saturated" and ours.complete:
        assert twin.status != "Unsatisfiable"
    if twin.status == "Unsatisfiable":
        assert ours.status in ("Unsatisfiable", "Timeout")
