"""Command line of the prover: ``kelvara prove`` and ``kelvara problems``.

One problem prints its SZS status and, for a proof, the checked refutation.
Several problems (files, folders, or ``--bundled``) are solved in worker
processes and summed up in a table.  Input errors and exhausted limits end
with a defined SZS status and a one-line message, never a traceback.
"""

from __future__ import annotations

import argparse
import contextlib
import multiprocessing
import os
import signal
import sys
import threading
import time
from dataclasses import dataclass
from importlib import resources
from pathlib import Path

DEFAULT_PROBLEM = "pel55"
SOLVED = ("Theorem", "Unsatisfiable", "CounterSatisfiable", "Satisfiable")
EXIT_SOLVED, EXIT_UNSOLVED, EXIT_ERROR = 0, 1, 2


def bundled_dir() -> Path:
    """Folder of the problems shipped with the package."""
    return Path(str(resources.files("kelvara.prover") / "problems"))


def bundled_problems() -> list[Path]:
    return sorted(bundled_dir().glob("*.p"))


def _resolve_inputs(names: list[str]) -> list[Path]:
    """Files, folders (their ``*.p`` files) and names of bundled problems."""
    paths: list[Path] = []
    for name in names:
        path = Path(name)
        if path.is_dir():
            paths.extend(sorted(p for p in path.iterdir() if p.suffix == ".p" and p.is_file()))
        elif path.exists():
            paths.append(path)
        else:
            candidate = bundled_dir() / (name if name.endswith(".p") else name + ".p")
            paths.append(candidate if candidate.is_file() else path)
    return paths


@dataclass
class Options:
    time_limit: float | None
    max_clauses: int | None
    notation: str
    quiet: bool
    show_proof: bool = True


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


def _format_step(record, exporter) -> str:
    from .saturation import clause_formula

    formula = clause_formula(record.clause)
    text = "$false" if formula is None else exporter.visit(formula)
    defines = getattr(record, "defines", None)
    if record.rule in ("Axiom", "NegatedGoal") and defines is not None:
        # A clause of the definition of a predicate introduced for a subformula.
        role, how = "definition", f"{record.rule}({record.source}, definition({defines}))"
    elif record.rule == "Axiom":
        role, how = "axiom", f"Axiom({record.source})"
    elif record.rule == "NegatedGoal":
        role, how = "negated_conjecture", f"NegatedGoal({record.source})"
    else:
        role = "plain"
        parents = ", ".join(f"c{p.number}" for p in record.parents)
        how = f"ResolutionTraceStep({record.rule}, [{parents}])"
    return f"cnf(c{record.number}, {role}, {text}, {how})."


class _HardTimeout(BaseException):
    """Raised by the alarm when a step outside the search loop overruns the limit."""


@contextlib.contextmanager
def _hard_limit(seconds: float | None):
    """Interrupt whatever runs (clausification of a huge formula, say) shortly after the limit.

    The search loop watches the clock itself; the alarm is a backstop for the
    steps that it does not control.  Only available in the main thread on
    systems with interval timers.
    """
    usable = (seconds is not None and hasattr(signal, "setitimer")
              and threading.current_thread() is threading.main_thread())
    if not usable:
        yield
        return

    def on_alarm(signum, frame):
        raise _HardTimeout()

    previous = signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, seconds + 1.0)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def solve(path: Path, options: Options, progress=None) -> Outcome:
    """Read, prove and format one problem; every failure becomes an SZS status."""
    start = time.monotonic()
    name = path.stem
    try:
        from .saturation import ProofCheckError, ProverConfig, check_proof, prove
        from .tptp import TPTPError, parse_file
    except ImportError as exc:  # pragma: no cover - broken installation
        return Outcome(name, "Error", None, 0.0, message=f"kelvara is not installed completely: {exc}",
                       text=f"% SZS status Error for {name}\n")
    expected = None
    try:
        problem = parse_file(path)
        name = problem.name
        expected = problem.expected_status
        config = ProverConfig(time_limit=options.time_limit, max_clauses=options.max_clauses,
                              progress=progress)
        with _hard_limit(options.time_limit):
            result, inputs = prove(problem, config)
    except _HardTimeout:
        return Outcome(name, "Timeout", expected, time.monotonic() - start,
                       message="time limit reached (before the search started)",
                       text=f"% SZS status Timeout for {name}\n")
    except TPTPError as exc:
        return Outcome(name, exc.status, expected, time.monotonic() - start, message=str(exc),
                       text=f"% SZS status {exc.status} for {name}\n")
    except RecursionError:
        message = "the input is nested too deeply"
        return Outcome(name, "Error", expected, time.monotonic() - start, message=message,
                       text=f"% SZS status Error for {name}\n")
    except MemoryError:
        return Outcome(name, "MemoryOut", expected, time.monotonic() - start, message="out of memory",
                       text=f"% SZS status MemoryOut for {name}\n")
    except Exception as exc:  # noqa: BLE001 - reported, never a traceback
        message = f"internal error: {type(exc).__name__}: {exc}"
        return Outcome(name, "Error", expected, time.monotonic() - start, message=message,
                       text=f"% SZS status Error for {name}\n")

    status = result.status
    lines: list[str] = []
    message = result.reason
    if result.proof is not None:
        try:
            check_proof(result.proof, inputs)
        except ProofCheckError as exc:
            status = "GaveUp"
            message = f"proof check failed: {exc}"
            result.proof = None
    lines.append(f"% SZS status {status} for {name}")
    if result.proof is not None and options.show_proof:
        from kelvara.core.visitors import ExportVisitor

        exporter = ExportVisitor(options.notation)
        lines.append(f"% SZS output start CNFRefutation for {name}")
        lines.extend(_format_step(record, exporter) for record in result.proof)
        lines.append(f"% SZS output end CNFRefutation for {name}")
    if not options.quiet:
        lines.append(f"% given {result.given}, kept {result.kept}, generated {result.generated}, "
                     f"{result.seconds:.2f} s")
    return Outcome(name, status, expected, time.monotonic() - start, result.given, result.kept,
                   result.generated, message, "\n".join(lines) + "\n")


def _solve_in_worker(args) -> Outcome:
    path, options = args
    return solve(path, options)


def _print_summary(outcomes: list[Outcome], out) -> None:
    width = max([7] + [len(o.name) for o in outcomes])
    header = f"{'problem':<{width}}  {'status':<18}  {'expected':<18}  {'time/s':>7}  {'clauses':>8}"
    print("%", file=out)
    print("% " + header, file=out)
    print("% " + "-" * len(header), file=out)
    for o in outcomes:
        expected = o.expected or "-"
        mark = ""
        if o.expected and o.status in SOLVED and o.status != o.expected:
            mark = "  MISMATCH"
        print(f"% {o.name:<{width}}  {o.status:<18}  {expected:<18}  {o.seconds:>7.2f}  {o.kept:>8}{mark}",
              file=out)
    solved = sum(1 for o in outcomes if o.status in SOLVED)
    total_time = sum(o.seconds for o in outcomes)
    print(f"% solved {solved} of {len(outcomes)}, {total_time:.1f} s in total", file=out)


def _progress_printer(quiet: bool):
    if quiet:
        return None
    from .saturation import default_progress

    return default_progress


def cmd_prove(args) -> int:
    if args.time_limit is not None and args.time_limit <= 0:
        print("kelvara: --time-limit must be positive", file=sys.stderr)
        return EXIT_ERROR
    if args.max_clauses is not None and args.max_clauses <= 0:
        print("kelvara: --max-clauses must be positive", file=sys.stderr)
        return EXIT_ERROR
    if args.jobs is not None and args.jobs <= 0:
        print("kelvara: --jobs must be positive", file=sys.stderr)
        return EXIT_ERROR
    names = list(args.problems)
    if args.bundled:
        names.append(str(bundled_dir()))
    if not names:
        names = [DEFAULT_PROBLEM]
    paths = _resolve_inputs(names)
    if not paths:
        print("kelvara: no problem files found", file=sys.stderr)
        return EXIT_ERROR
    options = Options(time_limit=args.time_limit, max_clauses=args.max_clauses, notation=args.notation,
                      quiet=args.quiet, show_proof=not args.no_proof)
    batch = len(paths) > 1 or any(Path(n).is_dir() for n in names) or args.bundled
    if not batch:
        outcome = solve(paths[0], options, progress=_progress_printer(args.quiet))
        sys.stdout.write(outcome.text)
        if outcome.message and outcome.status not in SOLVED:
            print(f"kelvara: {outcome.message}", file=sys.stderr)
        if outcome.status in SOLVED:
            return EXIT_SOLVED
        return EXIT_UNSOLVED if outcome.status in ("Timeout", "GaveUp", "MemoryOut") else EXIT_ERROR

    options.show_proof = args.proofs
    jobs = args.jobs or 1
    outcomes: list[Outcome] = []
    work = [(path, options) for path in paths]
    if jobs == 1:
        iterator = map(_solve_in_worker, work)
        pool = None
    else:
        context = multiprocessing.get_context("spawn" if sys.platform == "win32" else "fork")
        pool = context.Pool(processes=min(jobs, len(work)), maxtasksperchild=1)
        iterator = pool.imap(_solve_in_worker, work, chunksize=1)
    try:
        for outcome in iterator:
            outcomes.append(outcome)
            sys.stdout.write(outcome.text if options.show_proof else
                             f"% SZS status {outcome.status} for {outcome.name}\n")
            if outcome.message and outcome.status not in SOLVED and not args.quiet:
                print(f"kelvara: {outcome.name}: {outcome.message}", file=sys.stderr)
            sys.stdout.flush()
    finally:
        if pool is not None:
            pool.terminate()
            pool.join()
    _print_summary(outcomes, sys.stdout)
    errors = [o for o in outcomes if o.status not in SOLVED + ("Timeout", "GaveUp", "MemoryOut")]
    return EXIT_ERROR if errors else EXIT_SOLVED


def cmd_problems(args) -> int:
    import re

    for path in bundled_problems():
        text = path.read_text(encoding="utf-8")
        status = re.search(r"^%\s*Status\s*:\s*(\w+)", text, re.MULTILINE)
        title = re.search(r"^%\s*Problem\s*:\s*(.+)$", text, re.MULTILINE)
        print(f"{path.stem:<8} {status.group(1) if status else '-':<20} {title.group(1).strip() if title else ''}")
    return EXIT_SOLVED


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="kelvara", description="A saturation prover for first-order logic.")
    sub = parser.add_subparsers(dest="command", required=True)
    prove = sub.add_parser("prove", help="prove TPTP problems (fof, cnf)",
                           description="Prove first-order problems given in TPTP syntax. With no problem, "
                                       f"proves the bundled problem {DEFAULT_PROBLEM}.")
    prove.add_argument("problems", nargs="*", metavar="PROBLEM",
                       help="problem files, folders of .p files, or names of bundled problems")
    prove.add_argument("--time-limit", "-t", type=float, default=10.0, metavar="SECONDS",
                       help="give up after this many seconds per problem (default 10)")
    prove.add_argument("--max-clauses", type=int, default=None, metavar="N",
                       help="give up when more than N clauses have been kept")
    prove.add_argument("--notation", choices=("infix", "prefix", "latex"), default="infix",
                       help="notation of the formulas in printed proofs")
    prove.add_argument("--quiet", "-q", action="store_true", help="no progress or statistics")
    prove.add_argument("--jobs", "-j", type=int, default=None, metavar="N",
                       help="worker processes for several problems (default 1)")
    prove.add_argument("--bundled", action="store_true", help="solve all bundled problems")
    prove.add_argument("--proofs", action="store_true", help="print proofs in batch mode too")
    prove.add_argument("--no-proof", action="store_true", help="print only the status of a single problem")
    prove.set_defaults(func=cmd_prove)
    problems = sub.add_parser("problems", help="list the bundled problems")
    problems.set_defaults(func=cmd_problems)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.func(args)
    except KeyboardInterrupt:
        print("kelvara: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        try:
            sys.stdout = open(os.devnull, "w")  # noqa: SIM115 - silence the interpreter's flush at exit
        except OSError:
            pass
        return EXIT_ERROR
