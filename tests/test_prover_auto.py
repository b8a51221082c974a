"""Strategies, features, premise selection and the schedule of auto mode."""

from __future__ import annotations

import dataclasses

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kelvara.prover.features import CLASSES, Features, problem_class
from kelvara.prover.limits import Budget
from kelvara.prover.schedule import NO_LIMIT_SECONDS, Schedule, Slot, slot_seconds, split_slots
from kelvara.prover.sine import select_premises
from kelvara.prover.strategy import (
    BUILTIN,
    Strategy,
    StrategyError,
    engine_refusal,
    lookup,
    parse_spec,
)
from kelvara.prover.tptp import parse_problem

# -- the strategy language ---------------------------------------------------------------

names = st.sampled_from(["none", "max_neg_weight", "goal_first", "x1"])
strategy_values = st.builds(
    Strategy,
    selection=st.none() | names,
    ratio=st.none() | st.integers(0, 50),
    queues=st.lists(st.tuples(st.sampled_from(["age", "weight", "goal_weight"]), st.integers(1, 9)),
                    max_size=3).map(tuple),
    goal_factor=st.none() | st.floats(1.0, 100.0, allow_nan=False),
    precedence=st.none() | names,
    weights=st.none() | names,
    sos=st.booleans(),
    sine=st.none() | st.tuples(st.floats(1.0, 10.0, allow_nan=False), st.integers(0, 9)),
    depth_limit=st.none() | st.integers(1, 99),
    off=st.frozensets(st.sampled_from(["demod", "subs", "backward", "subres"])),
)


@settings(max_examples=200, deadline=None)
@given(strategy_values)
def test_the_text_form_reads_back_to_the_same_strategy(strategy):
    text = strategy.spec()
    assert parse_spec(text) == strategy
    assert str(strategy) == text
    # Completeness follows from the settings alone.
    assert strategy.complete == (not strategy.sos and strategy.sine is None and strategy.depth_limit is None)


@pytest.mark.parametrize("text, message", [
    ("sel", "not a key=value setting: 'sel'"),
    ("colour=red", "unknown setting 'colour' (known: sel, ratio, queues, goalf, prec, weights, sos, sine, depth, off)"),
    ("ratio=4,ratio=5", "setting 'ratio' given twice"),
    ("ratio=-1", "ratio: must be at least 0: '-1'"),
    ("ratio=four", "ratio: not a whole number: 'four'"),
    ("queues=age", "queues: not heuristic:ratio: 'age'"),
    ("queues=age:0", "queues: must be at least 1: '0'"),
    ("goalf=0.5", "goalf: must be a finite number of at least 1: '0.5'"),
    ("goalf=inf", "goalf: must be a finite number of at least 1: 'inf'"),
    ("sos=yes", "sos: 0 or 1, not 'yes'"),
    ("sine=1.5", "sine: not TOLERANCE:DEPTH: '1.5'"),
    ("sine=0.5:2", "sine: must be a finite number of at least 1: '0.5'"),
    ("depth=0", "depth: must be at least 1: '0'"),
    ("off=demod/speed", "off: unknown switch 'speed' (known: demod, subs, backward, subres)"),
    ("sel=max neg", "sel: not a name: 'max neg'"),
])
def test_bad_strategy_texts_name_the_setting(text, message):
    with pytest.raises(StrategyError) as info:
        parse_spec(text)
    assert str(info.value) == message


def test_engine_options_of_a_full_strategy():
    strategy = parse_spec("sel=none,ratio=3,queues=goal_weight:4/age:1,goalf=2.5,prec=goal_first,"
                          "weights=arity,sos=1,sine=1.5:3,depth=12,off=subs/demod")
    assert strategy.engine_options() == {
        "selection": "none", "pick_given_ratio": 3, "queues": [("goal_weight", 4), ("age", 1)],
        "goal_factor": 2.5, "precedence": "goal_first", "symbol_weight": "arity", "sos": True,
        "term_depth_limit": 12, "demodulation": False, "subsumption": False}
    assert not strategy.complete
    assert strategy.spec() == ("sel=none,ratio=3,queues=goal_weight:4/age:1,goalf=2.5,prec=goal_first,"
                               "weights=arity,sos=1,sine=1.5:3,depth=12,off=demod/subs")
    assert parse_spec("default") == Strategy() and Strategy().spec() == "default"


def test_lookup_reads_names_and_texts():
    assert lookup("sine") is BUILTIN["sine"]
    assert lookup(" sel=none ") == Strategy(selection="none")
    with pytest.raises(StrategyError, match=r"^no built-in strategy 'sinee' \(known: standard, nosel, "):
        lookup("sinee")
    with pytest.raises(TypeError, match="a strategy text must be a str, not int"):
        parse_spec(4)


class _Engine:
    """Refuses the options it is not told about, as the native engine does."""

    def __init__(self, known):
        self.known = known
        self.calls = []

    def saturate(self, clauses, options):
        self.calls.append((list(clauses), dict(options)))
        for key in options:
            if key not in self.known:
                raise ValueError(f"unknown option {key!r}")


def test_engine_refusal_names_the_refused_option():
    engine = _Engine({"selection", "pick_given_ratio"})
    assert engine_refusal(BUILTIN["standard"], engine) is None
    assert engine.calls == [([], {"selection": "max_neg_weight", "pick_given_ratio": 5})]
    assert engine_refusal(parse_spec("sos=1"), engine) == "the engine refuses custom: sos=1  (incomplete): unknown option 'sos'"
    assert engine_refusal(Strategy(), engine) is None  # nothing to ask


def test_every_builtin_strategy_the_engine_offers_proves_a_theorem():
    pytest.importorskip("kelvara.prover._engine")
    from kelvara.prover.run import Options, solve

    text = ("fof(a1, axiom, ![X]: (man(X) => mortal(X))).\nfof(a2, axiom, man(socrates)).\n"
            "fof(a3, axiom, ![X]: (fish(X) => swims(X))).\nfof(g, conjecture, mortal(socrates)).\n")
    import io

    for name, strategy in BUILTIN.items():
        if engine_refusal(strategy) is not None:
            continue
        outcome = solve(io.StringIO(text), Options(strategy=name, quiet=True))
        assert outcome.status == "Theorem", (name, outcome.message)
        assert "cnf(" in outcome.text


# -- features ----------------------------------------------------------------------------

def _features(text):
    from kelvara.prover.auto import prepare
    from kelvara.prover.saturation import ProverConfig

    problem = parse_problem(text)
    return prepare(problem, ProverConfig(budget=Budget(30)))


@pytest.mark.parametrize("text, expected", [
    ("fof(a, axiom, p(a)).\nfof(b, axiom, q(f(g(a)), b)).\nfof(c, conjecture, p(b)).\n",
     Features(False, "unit", 3, 1, 6, 2, 2, 3, True)),
    ("cnf(a, axiom, ~p(X) | q(X)).\ncnf(b, axiom, f(X, Y, Z) = X).\ncnf(c, negated_conjecture, ~q(a)).\n",
     Features(True, "horn", 3, 1, 4, 2, 3, 2, True)),
    ("fof(a, axiom, p(a) | p(b)).\nfof(b, hypothesis, ~p(a)).\n",
     Features(False, "general", 2, 0, 3, 1, 1, 1, False)),
])
def test_features_of_small_problems(text, expected):
    assert _features(text).features == expected


@pytest.mark.parametrize("changes, expected", [
    ({}, "general_eq"),
    ({"equality": False}, "general_noeq"),
    ({"kind": "horn"}, "horn_eq"),
    ({"kind": "unit"}, "unit_eq"),
    ({"kind": "unit", "equality": False}, "horn_noeq"),
    ({"axioms": 200}, "large"),
    ({"axioms": 199}, "general_eq"),
    ({"axioms": 5000, "has_goal": False}, "nogoal"),
])
def test_problem_classes(changes, expected):
    base = Features(True, "general", 10, 1, 5, 10, 2, 3, True)
    assert problem_class(dataclasses.replace(base, **changes)) == expected
    assert expected in CLASSES


# -- premise selection -------------------------------------------------------------------

CHAIN = """
fof(g, conjecture, p(a)).
fof(a1, axiom, ![X]: (q(X) => p(X))).
fof(a2, axiom, ![X]: (r(X) => q(X))).
fof(a3, axiom, r(a)).
fof(common1, axiom, s(a) | t(b)).
fof(common2, axiom, s(b)).
fof(common3, axiom, t(a)).
fof(d, definition, u(c)).
fof(h, hypothesis, w(c)).
"""


@pytest.mark.parametrize("tolerance, depth, left_out", [
    (1.0, 1, ("a2", "a3", "common1", "common2", "common3")),
    (1.0, 2, ("a3", "common1", "common2", "common3")),
    (1.0, 0, ("common1", "common2", "common3")),
    (1.5, 1, ("a2", "common2")),
    (1.5, 0, ()),
])
def test_premise_selection_follows_rare_symbols(tolerance, depth, left_out):
    # a occurs in three axioms whose rarest symbols occur in two: it triggers them from tolerance 1.5 on.
    selection = select_premises(parse_problem(CHAIN).formulas, tolerance, depth)
    assert selection.left_out == left_out
    assert {"g", "d", "h"} <= selection.kept


def test_premise_selection_needs_a_goal():
    formulas = parse_problem("fof(a, axiom, p(a)).\nfof(h, hypothesis, q(a)).\n").formulas
    assert select_premises(formulas, 1.5, 0) is None
    with pytest.raises(ValueError, match="tolerance must be at least 1 and depth at least 0, not 0.5, 0"):
        select_premises(formulas, 0.5, 0)


symbols = st.sampled_from("abcdefgh")
axiom_texts = st.lists(st.lists(symbols, min_size=1, max_size=3), min_size=1, max_size=10)


@settings(max_examples=100, deadline=None)
@given(axiom_texts, st.lists(symbols, min_size=1, max_size=2), st.floats(1.0, 4.0), st.integers(0, 4))
def test_premise_selection_grows_with_tolerance_and_depth(axioms, goal, tolerance, depth):
    lines = [f"fof(ax{i}, axiom, {' & '.join(f'p_{s}' for s in syms)})." for i, syms in enumerate(axioms)]
    lines.append(f"fof(goal, conjecture, {' | '.join(f'p_{s}' for s in goal)}).")
    formulas = parse_problem("\n".join(lines)).formulas
    base = select_premises(formulas, tolerance, depth)
    wider = select_premises(formulas, tolerance + 1.0, depth)
    deeper = select_premises(formulas, tolerance, 0)
    assert base.kept <= wider.kept and base.kept <= deeper.kept
    assert "goal" in base.kept
    assert set(base.left_out) | base.kept == {f.name for f in formulas}
    assert not set(base.left_out) & base.kept
    # An axiom sharing a symbol with the goal that is its rarest one is always kept.
    goal_symbols = {f"p_{s}" for s in goal}
    counts = {}
    for syms in axioms:
        for s in set(syms):
            counts[f"p_{s}"] = counts.get(f"p_{s}", 0) + 1
    for i, syms in enumerate(axioms):
        names = {f"p_{s}" for s in syms}
        rarest = min(counts[s] for s in names)
        if any(counts[s] == rarest for s in names & goal_symbols):
            assert f"ax{i}" in base.kept


# -- the schedule ------------------------------------------------------------------------

def _never(strategy):
    return None


@pytest.mark.parametrize("data, message", [
    ([], "a schedule is a JSON object"),
    ({"classes": {"huge": [["standard", 1]]}}, "schedule: unknown problem class 'huge' (known: large, unit_eq, "),
    ({"default": [["nothing", 1]]}, "schedule default: unknown strategy 'nothing'"),
    ({"default": [["standard", 0]]}, "schedule default: share of 'standard' must be positive"),
    ({"default": [["standard"]]}, "schedule default: not a [name, share] pair: ['standard']"),
    ({"strategies": {"x": "ratio=no"}}, "schedule strategy 'x': ratio: not a whole number: 'no'"),
])
def test_bad_schedules_are_refused(data, message):
    with pytest.raises(ValueError) as info:
        Schedule.from_json(data, refuse=_never)
    assert str(info.value).startswith(message)


def test_schedule_drops_refused_strategies_and_ends_without_a_goal_complete():
    data = {"strategies": {"mine": "sel=none,sine=2.0:0"},
            "classes": {"nogoal": [["mine", 2]], "large": [["sine", 1], ["goal", 1]]},
            "default": [["goal", 1], ["nosel", 3]]}
    schedule = Schedule.from_json(data, refuse=lambda s: "no" if s.name == "goal" else None)
    assert [(s.strategy.name, s.share) for s in schedule.default] == [("nosel", 3.0)]
    large = Features(True, "general", 10, 1, 5, 500, 2, 3, True)
    assert [s.strategy.name for s in schedule.slots_for(large)] == ["sine", "nosel"]
    nogoal = dataclasses.replace(large, has_goal=False)
    assert [s.strategy.name for s in schedule.slots_for(nogoal)] == ["mine", "nosel"]
    plain = dataclasses.replace(large, axioms=3)
    assert [s.strategy.name for s in schedule.slots_for(plain)] == ["nosel"]


def test_the_shipped_schedule_loads_and_lists_only_strategies_that_run():
    pytest.importorskip("kelvara.prover._engine")
    from kelvara.prover.schedule import load_schedule

    schedule = load_schedule()
    for slots in [schedule.default, *schedule.classes.values()]:
        for slot in slots:
            assert engine_refusal(slot.strategy) is None


@given(st.lists(st.floats(0.01, 10.0), min_size=1, max_size=8), st.floats(0.0, 100.0))
def test_slots_share_the_remaining_time(shares, remaining):
    # Slots that use all their time spend exactly the budget, the last one taking the rest.
    left = remaining
    for index in range(len(shares)):
        seconds = slot_seconds(left, shares[index:])
        assert 0.0 <= seconds <= left + 1e-9
        if index == len(shares) - 1:
            assert seconds == left
        left -= seconds
    assert abs(left) < 1e-6 * max(1.0, remaining)
    assert slot_seconds(None, shares) == (None if len(shares) == 1 else NO_LIMIT_SECONDS * shares[0] / sum(shares))


@given(st.integers(1, 12), st.integers(1, 6))
def test_lanes_partition_the_slots_in_order(count, cores):
    slots = [Slot(Strategy(name=f"s{i}", ratio=i), 1.0) for i in range(count)]
    lanes = split_slots(slots, cores)
    assert len(lanes) == min(count, cores)
    assert all(lanes)
    assert sorted((s.strategy.ratio for lane in lanes for s in lane)) == list(range(count))
    for lane in lanes:
        ratios = [s.strategy.ratio for s in lane]
        assert ratios == sorted(ratios)
    with pytest.raises(ValueError, match="cores must be at least 1, not 0"):
        split_slots(slots, 0)
