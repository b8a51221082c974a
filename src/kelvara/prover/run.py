"""One run of the prover on one problem, from reading to printed answer.

:func:`solve` reads the problem (a file, or a text stream for standard
input), clausifies and saturates it, checks the proof and formats the
answer, all under one :class:`~kelvara.prover.limits.Budget`: the wall-clock
and memory limits cover every stage.  Every failure becomes an SZS status with
a one-line message, never a traceback.  The statuses and what the command
line makes of them:

==================  ==========================================  =========
status              meaning                                     exit code
==================  ==========================================  =========
Theorem             the conjecture follows from the axioms      0
Unsatisfiable       the axioms (no conjecture) are refuted      0
CounterSatisfiable  the conjecture does not follow              0
Satisfiable         the axioms have a model                     0
Timeout             the time limit was reached                  1
ResourceOut         the memory or clause limit was reached      1
MemoryOut           an allocation failed                        1
GaveUp              saturated without a complete calculus       1
Inappropriate       typed or higher-order input, arithmetic     1
SyntaxError         the input is not TPTP                       2
InputError          unreadable file, free variable, arity clash 2
Error               an internal error (a bug)                   2
==================  ==========================================  =========
"""

from __future__ import annotations

import contextlib
import dataclasses
import signal
import threading
from dataclasses import dataclass
from pathlib import Path

from .limits import Budget, LimitReached

SOLVED = ("Theorem", "Unsatisfiable", "CounterSatisfiable", "Satisfiable")
UNSOLVED = ("Timeout", "ResourceOut", "MemoryOut", "GaveUp", "Inappropriate")
EXIT_SOLVED, EXIT_UNSOLVED, EXIT_ERROR = 0, 1, 2

__all__ = ["Options", "Outcome", "solve", "exit_code", "SOLVED", "UNSOLVED",
           "EXIT_SOLVED", "EXIT_UNSOLVED", "EXIT_ERROR"]


def exit_code(status: str) -> int:
    """Exit code of a single run ending with ``status``."""
    if status in SOLVED:
        return EXIT_SOLVED
    if status in UNSOLVED:
        return EXIT_UNSOLVED
    return EXIT_ERROR


@dataclass
class Options:
    time_limit: float | None = 10.0
    max_clauses: int | None = None
    notation: str = "infix"
    quiet: bool = False
    show_proof: bool = True
    memory_limit: int | None = None  # bytes
    proof_format: str = "tstp"  # or "text"
    engine: str = "native"  # or "python", the reference loop
    strategy: str | None = None  # a built-in strategy's name or a strategy text; None: the schedule
    schedule: str | None = None  # a schedule's JSON file instead of the shipped one
    cores: int = 1  # processes running strategies of the schedule at once
    verbose: bool = False  # features, schedule and slots as comment lines before the answer


@dataclass
class Outcome:
    name: str
    status: str
    expected: str | None
    seconds: float
    given: int = 0
    kept: int = 0
    generated: int = 0
    message: str = ""
    text: str = ""  # everything to print on standard output


class HardLimit(BaseException):
    """Raised by the alarm when a stage overruns the time limit without noticing."""


def _grace(limit: float) -> float:
    """How long after the limit the alarm interrupts a stage that did not stop itself."""
    return min(0.04 * limit + 0.02, 1.0)


@contextlib.contextmanager
def hard_limit(budget: Budget):
    """Interrupts whatever runs shortly after the time limit (main thread only).

    Every stage consults the budget itself; the alarm is the backstop for a
    step that runs long between two consultations.
    """
    usable = (budget.deadline is not None and hasattr(signal, "setitimer")
              and threading.current_thread() is threading.main_thread())
    if not usable:
        yield
        return

    def on_alarm(signum, frame):
        raise HardLimit()

    previous = signal.signal(signal.SIGALRM, on_alarm)
    assert budget.time_limit is not None
    delay = max(budget.remaining() or 0.0, 0.0) + _grace(budget.time_limit)
    signal.setitimer(signal.ITIMER_REAL, max(delay, 1e-3))
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def _read(source, budget: Budget):
    from .tptp import parse_file, parse_stdin

    if isinstance(source, (str, Path)):
        return parse_file(source, check=budget)
    return parse_stdin(source, check=budget)


def _failure(name, status, expected, budget, message) -> Outcome:
    return Outcome(name, status, expected, budget.elapsed(), message=message,
                   text=f"% SZS status {status} for {name}\n")


def solve(source, options: Options, progress=None, budget: Budget | None = None) -> Outcome:
    """Read, prove and format one problem; every failure becomes an SZS status.

    ``source`` is a path or a readable text stream (standard input).  The
    native engine runs the strategy of ``options.strategy`` or, without one,
    the schedule for the problem's class (on ``options.cores`` processes).
    """
    budget = budget or Budget(options.time_limit, options.memory_limit)
    if isinstance(source, (str, Path)):
        from .tptp import problem_name

        name = problem_name(source)
    else:
        name = "stdin"
    state = {"name": name, "expected": None}

    def body() -> Outcome:
        from .saturation import ProverConfig, prove

        budget.stage = "reading the problem"
        problem = _read(source, budget)
        state["name"], state["expected"] = problem.name, problem.expected_status
        config = ProverConfig(time_limit=options.time_limit, max_clauses=options.max_clauses,
                              memory_limit=options.memory_limit, progress=progress, budget=budget,
                              engine=options.engine)
        if options.engine != "native":
            result, inputs = prove(problem, config)
            return _finish(problem, result, inputs, [], options, budget)
        return _solve_scheduled(problem, config, options, budget, guarded)

    def guarded(work) -> Outcome:
        return _guarded(state, budget, work)

    return guarded(body)


def _guarded(state: dict, budget: Budget, work) -> Outcome:
    """``work()`` under the time limit's alarm, every failure turned into an SZS status."""
    from .tptp import TPTPError

    try:
        with hard_limit(budget):
            try:
                return work()
            except TPTPError as exc:
                return _failure(state["name"], exc.status, state["expected"], budget, str(exc))
    except LimitReached as exc:
        return _failure(state["name"], exc.status, state["expected"], budget, exc.message)
    except HardLimit:
        return _failure(state["name"], "Timeout", state["expected"], budget,
                        f"time limit of {budget.time_limit:g} s reached while {budget.stage}")
    except RecursionError:
        return _failure(state["name"], "Error", state["expected"], budget,
                        f"internal error: recursion too deep while {budget.stage}")
    except MemoryError:
        return _failure(state["name"], "MemoryOut", state["expected"], budget, f"out of memory while {budget.stage}")
    except Exception as exc:  # noqa: BLE001 - reported, never a traceback
        return _failure(state["name"], "Error", state["expected"], budget,
                        f"internal error: {type(exc).__name__}: {exc}")


def _solve_scheduled(problem, config, options: Options, budget: Budget, guarded) -> Outcome:
    """The clause form once, then the strategy or the schedule, on one or several processes."""
    from .auto import prepare, run_schedule
    from .schedule import Slot, load_schedule, split_slots
    from .strategy import lookup

    prepared = prepare(problem, config)
    log = [f"features: {line}" for line in prepared.features.lines()]
    if options.strategy is not None:
        slots = [Slot(lookup(options.strategy), 1.0)]
    else:
        slots = load_schedule(options.schedule).slots_for(prepared.features)
    log.append("schedule: " + ", ".join(f"{s.strategy.name or 'custom'} ({s.share:g})" for s in slots))
    lanes = split_slots(slots, options.cores)
    if len(lanes) == 1:
        result, inputs = run_schedule(prepared, slots, config, log)
        return _finish(problem, result, inputs, log, options, budget)
    from .portfolio import run_lanes

    def lane_work(lane) -> Outcome:
        lane_log = list(log)
        lane_config = dataclasses.replace(config, progress=config.progress if lane is lanes[0] else None)
        lane_log.append("lane: " + ", ".join(s.strategy.name or "custom" for s in lane))

        def work() -> Outcome:
            result, inputs = run_schedule(prepared, lane, lane_config, lane_log)
            return _finish(problem, result, inputs, lane_log, options, budget)

        return guarded(work)

    budget.stage = "waiting for the strategy processes"
    grace = _grace(budget.time_limit) if budget.time_limit else 1.0
    outcome = run_lanes(lanes, lane_work, budget.deadline, grace)
    if outcome is None:
        return _failure(problem.name, "Error", problem.expected_status, budget,
                        "internal error: no strategy process answered")
    return outcome


def _finish(problem, result, inputs, log: list[str], options: Options, budget: Budget) -> Outcome:
    """Checks the proof (a proof that does not replay is an Error) and formats the answer."""
    from .saturation import ProofCheckError, check_proof

    status, message = result.status, result.reason
    if result.proof is not None:
        budget.stage = "checking the proof"
        try:
            check_proof(result.proof, inputs)
        except ProofCheckError as exc:
            status, message = "Error", f"proof check failed: {exc}"
            result.proof = None
    budget.stage = "printing the proof"
    text = _answer(problem.name, status, result, problem, inputs, options, budget)
    if options.verbose:
        text = "".join(f"% {line}\n" for line in log) + text
    return Outcome(problem.name, status, problem.expected_status, budget.elapsed(), result.given, result.kept,
                   result.generated, message, text)


def _answer(name, status, result, problem, inputs, options: Options, budget: Budget) -> str:
    lines = [f"% SZS status {status} for {name}"]
    if result.proof is not None and options.show_proof:
        if options.proof_format == "tstp":
            from .proof_output import tstp_lines

            kind = "CNFRefutation"
            lines.append(f"% SZS output start {kind} for {name}")
            lines.extend(tstp_lines(result.proof, problem, check=budget))
            lines.append(f"% SZS output end {kind} for {name}")
        else:
            from .proof_output import text_lines

            lines.append(f"% proof of {name}")
            lines.extend(text_lines(result.proof, options.notation, check=budget))
    if not options.quiet:
        lines.append(f"% given {result.given}, kept {result.kept}, generated {result.generated}, "
                     f"{budget.elapsed():.2f} s")
    return "\n".join(lines) + "\n"
