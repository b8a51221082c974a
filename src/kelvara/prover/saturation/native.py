"""The native engine behind ``prove``: its input, its answer, and its proof as checked records.

The engine (``kelvara.prover._engine``) saturates the input clauses and
returns a status and, for a refutation, the steps of the proof.  Each step
becomes a ``ProofClause`` naming the rule whose check replays it:

* resolution, factoring and superposition: the catalogue rules
  BinaryResolution, Factoring and Paramodulation;
* equality resolution: BinaryResolution with the reflexivity axiom X = X;
* demodulation: a Demodulation record with its rewrites;
* equality factoring, subsumption resolution and the deletion of literals
  s != s: steps with checks of their own (see ``checking``).

``check_proof`` then replays every step; a proof that does not replay is a
bug of the engine, reported as the status Error and never printed.
"""

from __future__ import annotations

import time

from kelvara.core.ast import Equality, Variable
from kelvara.prover.clausifier import Clause, Literal

from ..provenance import InternalSource
from .checking import ProofCheckError, check_proof
from .clauseform import InputClause
from .records import (
    DEMODULATION,
    EQUALITY_FACTORING,
    SIMPLIFICATION,
    SUBSUMPTION_RESOLUTION,
    ProofClause,
    ProverConfig,
    ProverResult,
)
from .subsumption import normalize_clause

_RULES = {
    "resolution": "BinaryResolution",
    "factoring": "Factoring",
    "superposition": "Paramodulation",
    "equality_resolution": "BinaryResolution",
    "equality_factoring": EQUALITY_FACTORING,
    "demodulation": DEMODULATION,
    "subsumption_resolution": SUBSUMPTION_RESOLUTION,
    "simplify": SIMPLIFICATION,
}

# Engine statuses that are answers of their own; Saturated depends on completeness.
_STATUSES = {"Timeout": "Timeout", "ResourceOut": "ResourceOut", "GaveUp": "GaveUp"}


class EngineUnavailable(RuntimeError):
    """The native engine was asked for but is not built."""


def load_engine():
    try:
        from kelvara.prover import _engine
    except ImportError as exc:
        raise EngineUnavailable(f"the native engine is not built ({exc})") from None
    return _engine


def engine_available() -> bool:
    try:
        load_engine()
    except EngineUnavailable:
        return False
    return True


def engine_options(inputs: list[InputClause], config: ProverConfig, deadline: float | None) -> dict:
    """The option dict of one engine run."""
    options: dict = {
        "goal_ids": [i for i, ic in enumerate(inputs) if ic.role == "NegatedGoal"],
        "progress_every": config.progress_interval,
    }
    if deadline is not None:
        options["deadline"] = deadline
    if config.max_clauses is not None:
        options["max_clauses"] = config.max_clauses
    if config.memory_limit is not None:
        options["memory_limit"] = config.memory_limit
    options.update(config.engine_options)
    return options


def _progress_adapter(progress):
    """The engine reports per_second; the printers of the Python loop read rate."""
    if progress is None:
        return None

    def report(stats: dict) -> None:
        progress({**stats, "rate": stats.get("per_second", 0.0)})

    return report


def run_native(inputs: list[InputClause], config: ProverConfig) -> ProverResult:
    """Saturate with the native engine; the status is in the vocabulary of the Python loop.

    The time limit is the deadline of the run's budget (its clock started
    before the clause form); the proof of a refutation is checked before it
    is returned.
    """
    engine = load_engine()
    budget = config.make_budget()
    budget.stage = "searching"
    start = budget.start
    options = engine_options(inputs, config, budget.deadline)
    answer = engine.saturate([ic.clause for ic in inputs], options, _progress_adapter(config.progress))
    stats = dict(answer.stats)
    result = ProverResult(status="GaveUp", given=int(stats.get("given", 0)), kept=int(stats.get("kept", 0)),
                          generated=int(stats.get("generated", 0)), seconds=time.monotonic() - start,
                          stats={**stats, "complete": bool(answer.complete), "engine": "native"})
    status = answer.status
    if status == "Unsatisfiable":
        try:
            proof = proof_records(answer.steps, inputs)
            check_proof(proof, inputs)
        except ProofCheckError as exc:
            result.status = "Error"
            result.reason = f"the native engine's proof does not replay: {exc}"
            return result
        result.status, result.proof = "Unsatisfiable", proof
    elif status == "Saturated":
        if answer.complete:
            result.status, result.reason = "Satisfiable", "saturated"
        else:
            result.reason = "saturated, but with settings that are not refutationally complete"
    elif status in _STATUSES:
        result.status = _STATUSES[status]
        result.reason = {"Timeout": "time limit reached", "ResourceOut": "memory or clause limit reached"}.get(
            status, "the engine gave up")
    else:
        result.status, result.reason = "Error", f"the native engine answered {status!r}"
    return result


def reflexivity_clause() -> Clause:
    x = Variable(0)
    return Clause(frozenset([Literal(atom=Equality(x, x), positive=True)]))


def proof_records(steps, inputs: list[InputClause]) -> list[ProofClause]:
    """The engine's proof steps as records for ``check_proof``, numbered in order.

    Raises ProofCheckError for steps that cannot even be read: unknown
    rules, parents that do not come earlier, inputs that do not exist.
    """
    records: dict[int, ProofClause] = {}
    proof: list[ProofClause] = []
    refl: ProofClause | None = None

    def add(raw: Clause, rule: str, parents: tuple, source=None) -> ProofClause:
        record = ProofClause(len(proof) + 1, normalize_clause(raw), raw, rule, parents, source)
        proof.append(record)
        return record

    for step in steps:
        try:
            step_id, clause, rule, parent_ids, info = step
        except (TypeError, ValueError):
            raise ProofCheckError(f"malformed proof step {step!r}") from None
        if not isinstance(clause, Clause):
            raise ProofCheckError(f"step {step_id} holds {type(clause).__name__}, not a clause")
        if step_id in records:
            raise ProofCheckError(f"step {step_id} occurs twice")
        if rule == "input":
            if parent_ids or not isinstance(step_id, int) or not 0 <= step_id < len(inputs):
                raise ProofCheckError(f"step {step_id} is no input clause")
            item = inputs[step_id]
            record = add(clause, item.role, (), item.source)
            record.defines, record.form = item.defines, item.form
            records[step_id] = record
            continue
        name = _RULES.get(rule)
        if name is None:
            raise ProofCheckError(f"step {step_id} names an unknown rule {rule!r}")
        try:
            parents = tuple(records[p] for p in parent_ids)
        except KeyError as exc:
            raise ProofCheckError(f"step {step_id} depends on step {exc.args[0]}, which does not precede it") from None
        except TypeError:
            raise ProofCheckError(f"step {step_id} has parents {parent_ids!r}") from None
        if rule == "equality_resolution":
            if len(parents) != 1:
                raise ProofCheckError(f"step {step_id}: equality resolution takes one parent")
            if refl is None:
                refl = add(reflexivity_clause(), "Axiom", (), InternalSource.REFLEXIVITY)
            parents = (parents[0], refl)
        record = add(clause, name, parents)
        if rule == "demodulation":
            record.rewrites = _rewrites(step_id, info, records, parents)
        records[step_id] = record
    return proof


def _rewrites(step_id, info, records: dict, parents: tuple) -> tuple:
    try:
        rewrites = info["rewrites"]
        steps = tuple((records[eq], old, new) for eq, old, new in rewrites)
    except (KeyError, TypeError, ValueError):
        raise ProofCheckError(f"step {step_id}: a demodulation without readable rewrites") from None
    for equation, _, _ in steps:
        if equation not in parents[1:]:
            raise ProofCheckError(f"step {step_id} rewrites with a clause that is not one of its equations")
    return steps
