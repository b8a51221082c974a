"""Running strategies on a problem: the clause form once, then slot after slot under one budget.

:func:`prepare` reads the features and computes the clause form once;
:func:`run_strategy` runs one strategy on it (with premise selection, on
the clauses of the selected statements) until its own deadline;
:func:`run_schedule` runs a list of slots until one gives a definite answer
or the budget is spent.  A saturation counts as a model only when the
strategy is complete and no premise was left out; otherwise it is GaveUp
for that slot and the next slot runs.  Every proof is checked before it
counts (by the engine binding, and again by the caller before printing).
"""

from __future__ import annotations

import dataclasses
import time
from dataclasses import dataclass, field

from .features import Features, compute_features, problem_class
from .run import SOLVED
from .schedule import Slot, slot_seconds
from .sine import GOAL_ROLES, Selection, select_premises
from .strategy import Strategy
from .tptp import Problem

__all__ = ["Prepared", "prepare", "run_strategy", "run_schedule"]


@dataclass
class Prepared:
    """A problem with its clause form and features, shared by every slot (and forked processes)."""

    problem: Problem
    inputs: list
    has_conjecture: bool
    features: Features
    selections: dict = field(default_factory=dict)  # (tolerance, depth) -> Selection | None

    def selection(self, tolerance: float, depth: int, check=None) -> Selection | None:
        key = (tolerance, depth)
        if key not in self.selections:
            self.selections[key] = select_premises(self.problem.formulas, tolerance, depth, check)
        return self.selections[key]


def prepare(problem, config) -> Prepared:
    """The clause form and features of a problem, under ``config``'s budget (LimitReached past it)."""
    from .saturation import clausify_problem

    budget = config.budget
    budget.stage = "computing the clause form"
    inputs, has_conjecture = clausify_problem(problem, config.definitions_above, config.definition_threshold,
                                              check=budget)
    axioms = sum(1 for s in problem.formulas if s.role not in GOAL_ROLES)
    has_goal = has_conjecture or any(ic.role == "NegatedGoal" for ic in inputs)
    return Prepared(problem, inputs, has_conjecture, compute_features(inputs, axioms, has_goal))


def _selected_inputs(inputs: list, selection: Selection) -> list:
    """The input clauses of the kept statements (internal clauses and goals always)."""
    kept = selection.kept
    return [ic for ic in inputs if not isinstance(ic.source, str) or ic.source in kept or ic.role == "NegatedGoal"]


def _wrap(names: tuple[str, ...], width: int = 100) -> list[str]:
    lines, line = [], ""
    for name in names:
        if line and len(line) + len(name) + 1 > width:
            lines.append(line)
            line = ""
        line = f"{line} {name}" if line else name
    if line:
        lines.append(line)
    return lines


def run_strategy(prepared: Prepared, strategy: Strategy, config, seconds: float | None, log: list[str]):
    """One strategy for at most ``seconds`` (None: the rest of the budget).

    Returns ``(result, inputs)``, the inputs being the clauses the search
    saw, or None when the strategy does not apply (premise selection without
    a goal).  Notes for ``--verbose`` go to ``log``.
    """
    from .saturation import Saturation
    from .saturation.native import run_native

    budget = config.budget
    inputs = prepared.inputs
    left_out: tuple[str, ...] = ()
    if strategy.sine is not None:
        budget.stage = "selecting premises"
        selection = prepared.selection(*strategy.sine, check=budget)
        if selection is None:
            log.append(f"{strategy.name or 'custom'}: premise selection needs a goal; skipped")
            return None
        left_out = selection.left_out
        inputs = _selected_inputs(prepared.inputs, selection)
        log.append(f"{strategy.name or 'custom'}: {len(left_out)} of "
                   f"{prepared.features.axioms} axioms left out{':' if left_out else ''}")
        log.extend("  " + line for line in _wrap(left_out))
    deadline = budget.deadline
    if seconds is not None:
        end = time.monotonic() + seconds
        deadline = end if deadline is None else min(deadline, end)
    options = {**config.engine_options, **strategy.engine_options()}
    if deadline is not None:
        options["deadline"] = deadline
    run_config = dataclasses.replace(config, engine_options=options)
    budget.stage = "searching"
    try:
        result = run_native(inputs, run_config)
    except (TypeError, ValueError) as exc:
        # Clauses the engine cannot represent: the Python loop takes them, for the whole budget.
        result = Saturation(inputs, config).run()
        result.stats["fallback"] = f"the native engine refused the input: {exc}"
    # A premise selection that kept every axiom leaves a complete search complete.
    if result.status == "Satisfiable" and (left_out or not dataclasses.replace(strategy, sine=None).complete):
        result.status = "GaveUp"
        result.reason = "saturated with premises left out" if left_out else "saturated by an incomplete strategy"
    if prepared.has_conjecture:
        result.status = {"Unsatisfiable": "Theorem", "Satisfiable": "CounterSatisfiable"}.get(
            result.status, result.status)
    return result, inputs


def run_schedule(prepared: Prepared, slots: list[Slot], config, log: list[str]):
    """Runs the slots in order until a definite answer; returns ``(result, inputs)`` of the answer.

    A slot reaching the clause or memory limit ends the run with its
    status.  Without an answer, the result says Timeout when the budget ran out, Error when
    a slot failed with an error (a proof that did not replay), else the last
    slot's status.
    """
    from .saturation import ProverResult

    budget = config.budget
    log.append(f"class {problem_class(prepared.features)}, {len(slots)} slot(s)")
    last = None
    error = None
    for index, slot in enumerate(slots):
        if budget.expired():
            break
        seconds = slot_seconds(budget.remaining(), [s.share for s in slots[index:]])
        started = time.monotonic()
        outcome = run_strategy(prepared, slot.strategy, config, seconds, log)
        if outcome is None:
            continue
        result, inputs = outcome
        log.append(f"{slot.strategy.describe()}: {result.status} after {time.monotonic() - started:.2f} s "
                   f"(given {result.given}, kept {result.kept})")
        if "fallback" in result.stats:
            log.append(result.stats["fallback"])
        if result.status in SOLVED:
            result.stats["strategy"] = slot.strategy.describe()
            return result, inputs
        if result.status in ("ResourceOut", "MemoryOut"):
            return outcome  # the clause and memory limits bound the run, as the time limit does
        if result.status == "Error":
            error = outcome
        last = outcome
        if "fallback" in result.stats:
            break
    if error is not None:
        return error
    if budget.expired() or last is None:
        reason = f"time limit of {budget.time_limit:g} s reached" if budget.time_limit else "no strategy applies"
        status = "Timeout" if budget.expired() else "GaveUp"
        counts = {} if last is None else {"given": last[0].given, "kept": last[0].kept,
                                          "generated": last[0].generated}
        return ProverResult(status=status, reason=reason, seconds=budget.elapsed(), **counts), prepared.inputs
    return last
