"""The engine's strategy options: each changes the search as documented (queues, goal
weighting, precedence and symbol weights seen in the direction of rewrites, set of support
seen in the proof steps, the simplification switches in the statistics, the depth limit),
complete settings stay complete against ground oracles and the Python loop, every proof
replays, and bad values raise the documented errors."""

from __future__ import annotations

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

_engine = pytest.importorskip("kelvara.prover._engine")

from engine_replay import c, clause, eq, f, load, p, replay, v  # noqa: E402
from test_engine import (  # noqa: E402
    ATOMS,
    GROUP,
    PROBLEMS,
    TERMS,
    _eq_satisfiable,
    _satisfiable,
    eq_set,
    ground_set,
    nonground_set,
)

GENERATING = {"resolution", "factoring", "superposition", "equality_resolution", "equality_factoring"}


def saturate(clauses, **options):
    options.setdefault("time_limit", 20.0)
    return _engine.saturate(clauses, options)


def refute(clauses, **options):
    result = saturate(clauses, **options)
    assert result.status == "Unsatisfiable", result
    replay(result.steps, clauses)
    return result


def test_option_names_are_exported():
    assert _engine.PRECEDENCES == ("arity", "inv_arity", "frequency", "inv_frequency", "goal_first", "goal_last")
    assert _engine.WEIGHTS == ("one", "arity", "frequency")
    assert _engine.HEURISTICS == ("age", "weight", "goal_weight", "horn_weight", "ground_weight")
    assert _engine.SELECTIONS == ("none", "max_neg_weight", "min_neg_weight", "ground_first", "all_neg",
                                  "max_neg_avoid_pos", "first_neg")


# ---------------------------------------------------------------- every value refutes, proofs replay

PEL = ["pel26", "pel34", "pel38", "pel55", "pel62"]


@pytest.mark.parametrize("option, values", [
    ("precedence", _engine.PRECEDENCES),
    ("symbol_weight", _engine.WEIGHTS),
    ("selection", _engine.SELECTIONS),
    ("queues", [[(h, 2), ("weight", 1)] for h in _engine.HEURISTICS] + [[("horn_weight", 3), ("ground_weight", 2), ("age", 1)]]),
    ("demodulation", [False]),
    ("backward_simplification", [False]),
    ("subsumption_resolution", [False]),
])
@pytest.mark.parametrize("name", PEL)
def test_pelletier_refutations_under_each_option(name, option, values):
    clauses, goals = load((PROBLEMS / f"{name}.p").read_text())
    for value in values:
        refute(clauses, goal_ids=goals, **{option: value})


@pytest.mark.parametrize("precedence", ["arity", "inv_frequency", "goal_first", "goal_last"])
@pytest.mark.parametrize("weight", ["one", "arity", "frequency"])
@pytest.mark.parametrize("goal", [
    "cnf(goal, negated_conjecture, mult(a, inv(a)) != e).",
    "cnf(goal, negated_conjecture, inv(inv(a)) != a).",
])
def test_group_theory_under_orderings(goal, precedence, weight):
    clauses, goals = load(GROUP + goal)
    refute(clauses, goal_ids=goals, precedence=precedence, symbol_weight=weight, time_limit=30.0)


# ---------------------------------------------------------------- the queues


@pytest.mark.parametrize("name", ["pel34", "pel38", "pel55"])
def test_default_queues_are_goal_weight_and_age_in_the_pick_given_ratio(name):
    clauses, goals = load((PROBLEMS / f"{name}.p").read_text())
    # A clause limit, not the clock, ends the runs that do not refute, so they compare exactly.
    keys = ("given", "generated", "kept")
    for ratio in (5, 2):
        implicit = saturate(clauses, goal_ids=goals, pick_given_ratio=ratio, max_clauses=3000)
        explicit = saturate(clauses, goal_ids=goals, queues=[("goal_weight", ratio), ("age", 1)], max_clauses=3000)
        assert implicit.status == explicit.status
        assert [implicit.stats[k] for k in keys] == [explicit.stats[k] for k in keys]
    only_age = saturate(clauses, goal_ids=goals, pick_given_ratio=0, max_clauses=3000)
    age = saturate(clauses, goal_ids=goals, queues=[["age", 7]], max_clauses=3000)
    assert only_age.status == age.status
    assert [only_age.stats[k] for k in keys] == [age.stats[k] for k in keys]


def _distracted_problem(n: int = 12):
    """Light clauses over symbols the goal lacks, and a proof through heavier goal symbols."""
    x = v(0)
    noise = [clause(p("q", c(f"k{i}"))) for i in range(n)]
    noise += [clause(p("q", x, positive=False), p("q2", x)), clause(p("q2", x, positive=False), p("q3", x)),
              clause(p("q3", x, positive=False), p("q4", x))]
    deep = f("h", f("h", f("h", c("a"))))
    core = [clause(p("r", x, positive=False), p("s", x)), clause(p("r", deep)),
            clause(p("s", deep, positive=False))]
    clauses = noise + core
    return clauses, [len(clauses) - 1]


def test_goal_weight_picks_goal_clauses_before_light_unrelated_ones():
    clauses, goals = _distracted_problem()
    by_weight = refute(clauses, goal_ids=goals, queues=[("weight", 1)])
    by_goal = refute(clauses, goal_ids=goals, queues=[("goal_weight", 1)], goal_factor=8.0)
    assert by_goal.stats["given"] < by_weight.stats["given"]
    # The goal's symbols are r, s, h and a; a factor of one weighs every symbol alike.
    flat = refute(clauses, goal_ids=goals, queues=[("goal_weight", 1)], goal_factor=1.0)
    assert flat.stats["given"] >= by_goal.stats["given"]


def test_horn_weight_and_ground_weight_take_their_class_first():
    x = v(0)
    # A light non-Horn clause and heavy Horn ones: a Horn-first queue leaves the light one for last.
    nonhorn = clause(p("a1", x), p("a2", x))
    horn = [clause(p(f"b{i}", f("g", f("g", f("g", c("c")))))) for i in range(6)]
    result = saturate([nonhorn, *horn], queues=[("horn_weight", 1)], selection="none")
    assert result.status == "Saturated" and result.stats["given"] == 7
    limited = saturate([nonhorn, *horn], queues=[("horn_weight", 1)], max_clauses=0)
    assert limited.status in ("Saturated", "ResourceOut")
    # Ground first: the light non-ground clause waits behind the heavy ground ones.
    result = saturate([clause(p("a1", x)), *horn], queues=[("ground_weight", 1)])
    assert result.status == "Saturated" and result.complete


# ---------------------------------------------------------------- precedence and symbol weights


def _rewrite_directions(result) -> set[tuple[str, str]]:
    out = set()
    for _, _, rule, _, info in result.steps:
        if rule == "demodulation":
            for _, old, new in info["rewrites"]:
                out.add((old.name, new.name))
    return out


@pytest.mark.parametrize("precedence, direction", [
    ("arity", ("b", "a")),           # b is rarer, so above a
    ("inv_arity", ("b", "a")),
    ("frequency", ("a", "b")),       # a is more frequent, so above b
    ("inv_frequency", ("b", "a")),
    ("goal_first", ("b", "a")),      # b is the goal's
    ("goal_last", ("a", "b")),
])
def test_precedence_decides_which_constant_is_rewritten(precedence, direction):
    a, b = c("a"), c("b")
    clauses = [clause(eq(a, b)), clause(p("p", a)), clause(p("t", a)), clause(p("u", a)),
               clause(p("p", b, positive=False))]
    result = refute(clauses, goal_ids=[4], precedence=precedence)
    assert _rewrite_directions(result) == {direction}


@pytest.mark.parametrize("weight, direction", [
    ("one", ("g", "f")),         # g(a, a): 3 symbols against 2
    ("arity", ("g", "f")),       # g weighs 3, f 2, a 1
    ("frequency", ("f", "g")),   # f(a) weighs 4, g(a, a) 3
])
def test_symbol_weights_decide_the_orientation_of_an_equation(weight, direction):
    a = c("a")
    fa, gaa = f("f", a), f("g", a, a)
    # Counts: g 9, a 6, f 2; so under "frequency" g weighs 1, a 1 and f 1 + log2(9 / 2) = 3.
    filler = [clause(p(f"q{i}", f("g", v(0), v(0)))) for i in range(7)]
    clauses = [clause(eq(fa, gaa)), *filler, clause(p("r", fa)), clause(p("r", gaa, positive=False))]
    result = refute(clauses, symbol_weight=weight, goal_ids=[len(clauses) - 1])
    names = {(o.func, n.func) for _, _, rule, _, info in result.steps if rule == "demodulation"
             for _, o, n in info["rewrites"]}
    assert names == {direction}


# ---------------------------------------------------------------- set of support


def _goal_descended(steps, goal_ids) -> set[int]:
    goal = set()
    for step_id, _, rule, parents, _ in steps:
        if (rule == "input" and step_id in goal_ids) or any(q in goal for q in parents):
            goal.add(step_id)
    return goal


@pytest.mark.parametrize("name", PEL + ["pel75"])
@pytest.mark.parametrize("selection", ["none", "max_neg_weight", "all_neg"])
def test_sos_never_infers_between_two_non_goal_clauses(name, selection):
    clauses, goals = load((PROBLEMS / f"{name}.p").read_text())
    result = refute(clauses, goal_ids=goals, sos=True, selection=selection)
    assert result.complete is False
    goal = _goal_descended(result.steps, set(goals))
    generating = [s for s in result.steps if s[2] in GENERATING]
    assert generating
    for step_id, _, rule, parents, _ in generating:
        assert any(q in goal for q in parents), (step_id, rule, parents)


@pytest.mark.parametrize("selection", ["max_neg_weight", "all_neg", "first_neg"])
def test_sos_goal_uses_literals_of_axioms_that_selection_would_hide(selection):
    # ~man(X) is selected in the rule, so mortal(X) is not eligible; the goal must still reach it.
    x = v(0)
    clauses = [clause(p("man", x, positive=False), p("mortal", x)), clause(p("man", c("s"))),
               clause(p("mortal", c("s"), positive=False))]
    result = refute(clauses, goal_ids=[2], sos=True, selection=selection)
    goal = _goal_descended(result.steps, {2})
    assert all(any(q in goal for q in s[3]) for s in result.steps if s[2] in GENERATING)


def test_sos_without_goal_axiom_inferences_saturates_incomplete():
    # Refutable only by resolving two axioms: set of support gives up, and says it may have.
    clauses = [clause(p("p", c("a"))), clause(p("p", v(0), positive=False), p("q", v(0))),
               clause(p("q", c("a"), positive=False)), clause(p("r", c("b")))]
    assert saturate(clauses).status == "Unsatisfiable"
    result = saturate(clauses, sos=True, goal_ids=[3])
    assert result.status == "Saturated" and result.complete is False


def test_prover_reports_gave_up_for_an_incomplete_saturation():
    from kelvara.prover.saturation import InputClause, ProverConfig
    from kelvara.prover.saturation.native import run_native

    inputs = [InputClause(clause(p("p", c("a"))), "Axiom", "a1"),
              InputClause(clause(p("q", c("b"), positive=False)), "NegatedGoal", "g")]
    assert run_native(inputs, ProverConfig(time_limit=5.0)).status == "Satisfiable"
    result = run_native(inputs, ProverConfig(time_limit=5.0, engine_options={"sos": True}))
    assert result.status == "GaveUp" and result.stats["complete"] is False


# ---------------------------------------------------------------- simplification switches


@pytest.mark.parametrize("switch, rule, counters", [
    ("demodulation", "demodulation", ("rewrites", "backward_rewritten")),
    ("subsumption_resolution", "subsumption_resolution", ("cut_literals",)),
    ("subsumption", None, ("subsumed", "backward_subsumed")),
    ("backward_simplification", None, ("backward_subsumed", "backward_rewritten")),
])
def test_switching_off_a_simplification_stops_it(switch, rule, counters):
    runs = [load(GROUP + "cnf(goal, negated_conjecture, inv(mult(a, b)) != mult(inv(b), inv(a))).")]
    runs += [load((PROBLEMS / f"{n}.p").read_text()) for n in ("pel55", "pel62")]
    seen = {k: 0 for k in counters}
    for clauses, goals in runs:
        on = saturate(clauses, goal_ids=goals)
        for k in counters:
            seen[k] += on.stats[k]
        off = saturate(clauses, goal_ids=goals, time_limit=3.0, memory_limit=300_000_000, **{switch: False})
        assert off.complete is True
        if off.status == "Unsatisfiable":
            replay(off.steps, clauses)
            if rule:
                assert rule not in {s[2] for s in off.steps}
        for k in counters:
            assert off.stats[k] == 0, (switch, k)
        if switch == "subsumption":
            assert off.stats["duplicates"] > 0  # variants of active clauses still go
    assert any(seen.values()), "the runs must exercise the simplification switched off"


# ---------------------------------------------------------------- term depth limit


def test_depth_limit_drops_deep_conclusions_and_marks_the_run_incomplete():
    x = v(0)
    clauses = [clause(p("p", c("a"))), clause(p("p", x, positive=False), p("p", f("s", x)))]
    result = saturate(clauses, term_depth_limit=6)
    assert result.status == "Saturated" and result.complete is False and result.stats["too_deep"] > 0
    # A goal within the bound is still found.
    goal = clause(p("p", f("s", f("s", f("s", c("a")))), positive=False))
    refute(clauses + [goal], term_depth_limit=6)


def test_input_deeper_than_the_limit_is_read():
    deep = c("a")
    for _ in range(20):
        deep = f("s", deep)
    clauses = [clause(p("p", deep)), clause(p("p", v(0), positive=False), p("q", v(0))),
               clause(p("q", deep, positive=False))]
    result = refute(clauses, term_depth_limit=3)
    assert result.complete is True


# ---------------------------------------------------------------- completeness under random settings

complete_options = st.fixed_dictionaries({
    "selection": st.sampled_from(_engine.SELECTIONS),
    "precedence": st.sampled_from(_engine.PRECEDENCES),
    "symbol_weight": st.sampled_from(_engine.WEIGHTS),
    "queues": st.lists(st.tuples(st.sampled_from(_engine.HEURISTICS), st.integers(1, 4)), min_size=1, max_size=3),
    "goal_factor": st.floats(1.0, 10.0),
    "demodulation": st.booleans(),
    "subsumption": st.booleans(),
    "backward_simplification": st.booleans(),
    "subsumption_resolution": st.booleans(),
})


@settings(max_examples=150, deadline=None)
@given(ground_set, complete_options, st.data())
def test_ground_sets_against_truth_tables_under_any_complete_setting(cls, options, data):
    clauses = [clause(*(p(ATOMS[i][0], c(ATOMS[i][1]), positive=s) for i, s in cl)) for cl in cls]
    goals = data.draw(st.lists(st.integers(0, len(clauses) - 1), max_size=2, unique=True))
    result = saturate(clauses, goal_ids=goals, **options)
    if _satisfiable(cls):
        assert result.status == "Saturated" and result.complete
    else:
        assert result.status == "Unsatisfiable"
        replay(result.steps, clauses)


@settings(max_examples=150, deadline=None)
@given(eq_set, complete_options)
def test_ground_equational_sets_against_models_under_any_complete_setting(cls, options):
    clauses = [clause(*(eq(TERMS[i], TERMS[j], s) for i, j, s in cl)) for cl in cls]
    result = saturate(clauses, goal_ids=[0], **options)
    if _eq_satisfiable(cls):
        assert result.status == "Saturated" and result.complete
    else:
        assert result.status == "Unsatisfiable"
        replay(result.steps, clauses)


@settings(max_examples=60, deadline=None)
@given(nonground_set, complete_options)
def test_nonground_sets_agree_with_the_python_loop_under_any_complete_setting(clauses, options):
    from kelvara.prover.saturation import InputClause, ProverConfig, Saturation

    ours = saturate(clauses, time_limit=5.0, **options)
    twin = Saturation([InputClause(cl, "Axiom", f"c{i}") for i, cl in enumerate(clauses)],
                      ProverConfig(time_limit=5.0)).run()
    if ours.status == "Unsatisfiable":
        replay(ours.steps, clauses)
        assert twin.status != "Satisfiable"
    if ours.status == "Saturated" and ours.complete:
        assert twin.status != "Unsatisfiable"
    if twin.status == "Unsatisfiable":
        assert ours.status in ("Unsatisfiable", "Timeout")


# ---------------------------------------------------------------- bad values


class RaisingIter:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise KeyError("hostile")


@pytest.mark.parametrize("options, error, message", [
    ({"precedence": 3}, TypeError, "option 'precedence' must be a str"),
    ({"precedence": "alpha"}, ValueError, "unknown precedence scheme 'alpha'"),
    ({"symbol_weight": None}, TypeError, "option 'symbol_weight' must be a str"),
    ({"symbol_weight": "two"}, ValueError, "unknown symbol weight scheme 'two'"),
    ({"selection": "all_pos"}, ValueError, "unknown selection function 'all_pos'"),
    ({"queues": "age"}, TypeError, "option 'queues' must be a sequence of (heuristic, ratio) pairs"),
    ({"queues": 5}, TypeError, "option 'queues' must be a sequence of (heuristic, ratio) pairs"),
    ({"queues": []}, ValueError, "option 'queues' must not be empty"),
    ({"queues": [("age",)]}, TypeError, "option 'queues' must be a sequence of (heuristic, ratio) pairs"),
    ({"queues": [("age", 1, 2)]}, TypeError, "option 'queues' must be a sequence of (heuristic, ratio) pairs"),
    ({"queues": ["ag"]}, TypeError, "option 'queues' must be a sequence of (heuristic, ratio) pairs"),
    ({"queues": [(1, 1)]}, TypeError, "a queue's heuristic must be a str"),
    ({"queues": [("oldest", 1)]}, ValueError, "unknown clause-selection heuristic 'oldest'"),
    ({"queues": [("age", 0)]}, ValueError, "a queue's ratio must be between 1 and 1000000"),
    ({"queues": [("age", 10**7)]}, ValueError, "a queue's ratio must be between 1 and 1000000"),
    ({"queues": [("age", 2**70)]}, ValueError, "a queue's ratio must be between 1 and 1000000"),
    ({"queues": [("age", 1.0)]}, TypeError, "a queue's ratio must be an int"),
    ({"queues": [("age", True)]}, TypeError, "a queue's ratio must be an int"),
    ({"goal_factor": 0.5}, ValueError, "option 'goal_factor' must be a finite number >= 1"),
    ({"goal_factor": math.nan}, ValueError, "option 'goal_factor' must not be NaN"),
    ({"goal_factor": math.inf}, ValueError, "option 'goal_factor' must be a finite number >= 1"),
    ({"goal_factor": "2"}, TypeError, "option 'goal_factor' must be a number or None"),
    ({"sos": 1}, TypeError, "option 'sos' must be a bool"),
    ({"demodulation": None}, TypeError, "option 'demodulation' must be a bool"),
    ({"subsumption": "yes"}, TypeError, "option 'subsumption' must be a bool"),
    ({"backward_simplification": 0}, TypeError, "option 'backward_simplification' must be a bool"),
    ({"subsumption_resolution": []}, TypeError, "option 'subsumption_resolution' must be a bool"),
    ({"term_depth_limit": 0}, ValueError, "option 'term_depth_limit' must be between 1 and 600"),
    ({"term_depth_limit": 601}, ValueError, "option 'term_depth_limit' must be between 1 and 600"),
    ({"term_depth_limit": -1}, ValueError, "option 'term_depth_limit' must not be negative"),
    ({"term_depth_limit": True}, TypeError, "option 'term_depth_limit' must be an int"),
])
def test_bad_strategy_options_raise(options, error, message):
    with pytest.raises(error) as info:
        _engine.saturate([clause(p("p", c("a")))], options)
    assert str(info.value) == message


def test_hostile_queue_sequences_propagate_their_errors():
    with pytest.raises(KeyError, match="hostile"):
        _engine.saturate([clause(p("p", c("a")))], {"queues": RaisingIter()})
    with pytest.raises(KeyError, match="hostile"):
        _engine.saturate([clause(p("p", c("a")))], {"queues": [RaisingIter()]})

    def gen():
        yield ("age", 1)
        raise RuntimeError("mid-way")

    with pytest.raises(RuntimeError, match="mid-way"):
        _engine.saturate([clause(p("p", c("a")))], {"queues": gen()})
    # generators and lists of lists are sequences of pairs too
    assert _engine.saturate([clause(p("p", c("a")))], {"queues": (x for x in [["age", 1]])}).status == "Saturated"


def test_backward_rewriting_takes_only_clauses_forward_rewriting_changes():
    # Associativity and a consequence of it rewrite each other's sides, but at the top of an
    # equation without a literal above the instance: neither may take the other out of the
    # active set, or they requeue each other (and redo their inferences) for ever.
    clauses, goals = load("""
        cnf(c, axiom, nextto(X,Y) = nextto(Y,X)).
        cnf(a, axiom, nextto(X,nextto(Y,Z)) = nextto(nextto(X,Y),Z)).
        cnf(g, negated_conjecture, nextto(a, nextto(b, c)) != nextto(c, nextto(d, a))).
    """)
    result = saturate(clauses, goal_ids=goals, max_clauses=3000)
    assert result.status == "ResourceOut"
    assert result.stats["backward_rewritten"] <= 5 and result.stats["given"] < 60, result.stats
