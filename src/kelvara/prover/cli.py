"""Command line of the prover: ``kelvara prove`` and ``kelvara problems``.

One problem prints its SZS status and, for a proof, the checked refutation in
TSTP.  Several problems (files, folders, or ``--bundled``) are solved in
worker processes and summed up in a table.  Input errors and exhausted limits
end with a defined SZS status and a one-line message, never a traceback; the
exit code follows the status (see :mod:`kelvara.prover.run`), for a batch the
worst over its problems.
"""

from __future__ import annotations

import argparse
import math
import multiprocessing
import os
import stat
import sys
from pathlib import Path
from typing import Iterator

from .run import EXIT_ERROR, EXIT_SOLVED, EXIT_UNSOLVED, SOLVED, Options, Outcome, exit_code, solve

DEFAULT_PROBLEM = "pel55"
STDIN = "-"

EXIT_CODES_HELP = f"""\
exit codes:
  {EXIT_SOLVED}    solved: Theorem, Unsatisfiable, CounterSatisfiable or Satisfiable
  {EXIT_UNSOLVED}    not solved: Timeout, ResourceOut, MemoryOut, GaveUp or Inappropriate
  {EXIT_ERROR}    input or internal error: SyntaxError, InputError, Error, bad arguments
  130  interrupted
  A batch exits with the largest code of its problems."""


def default_engine() -> str:
    """The engine that ``kelvara prove`` uses unless told otherwise."""
    from .saturation import ProverConfig

    return ProverConfig.engine


def bundled_dir() -> Path:
    """Folder of the problems shipped with the package."""
    from importlib import resources

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


def _stdin_has_input() -> bool:
    """True when standard input is a regular file or a pipe (not a terminal or a device)."""
    try:
        mode = os.fstat(sys.stdin.fileno()).st_mode
    except (AttributeError, OSError, ValueError):
        return False
    return stat.S_ISREG(mode) or stat.S_ISFIFO(mode)


def _batch_exit_code(outcomes: list[Outcome]) -> int:
    """The largest exit code of the problems; an answer contradicting a known status is an error."""
    if any(o.expected and o.status in SOLVED and o.status != o.expected for o in outcomes):
        return EXIT_ERROR
    return max((exit_code(o.status) for o in outcomes), default=EXIT_SOLVED)


def _options(args) -> Options:
    return Options(time_limit=args.time_limit, max_clauses=args.max_clauses, notation=args.notation,
                   quiet=args.quiet, show_proof=not args.no_proof, memory_limit=args.memory_limit,
                   proof_format=args.proof_format, engine=args.engine, strategy=args.strategy,
                   cores=args.cores, verbose=args.verbose, schedule=args.schedule)


def _single(source, args) -> Outcome:
    """Solves one problem with the clock started when the command started."""
    from .limits import Budget

    options = _options(args)
    budget = Budget(options.time_limit, options.memory_limit, start=getattr(args, "started", None))
    return solve(source, options, progress=_progress_printer(args.quiet), budget=budget)


def _report(outcome: Outcome) -> int:
    sys.stdout.write(outcome.text)
    if outcome.message and outcome.status not in SOLVED:
        print(f"kelvara: {outcome.message}", file=sys.stderr)
    return exit_code(outcome.status)


def _strategy_error(args) -> str | None:
    """Why the options cannot run (an unknown or refused strategy, a bad schedule), or None."""
    if args.schedule is not None:
        if args.strategy is not None:
            return "--schedule and --strategy exclude each other"
        from .schedule import load_schedule

        try:
            load_schedule(args.schedule)
        except (OSError, ValueError) as exc:
            return f"--schedule: {exc}"
    if args.strategy is None:
        return None
    if args.engine != "native":
        return "--strategy needs the native engine"
    from .strategy import StrategyError, engine_refusal, lookup

    try:
        strategy = lookup(args.strategy)
    except StrategyError as exc:
        return f"--strategy: {exc}"
    return engine_refusal(strategy)


def cmd_prove(args) -> int:
    names = list(args.problems)
    if args.auto:
        args.strategy = None
    problem = _strategy_error(args)
    if problem is not None:
        print(f"kelvara: {problem}", file=sys.stderr)
        return EXIT_ERROR
    options = _options(args)
    if STDIN in names:
        if len(names) > 1 or args.bundled:
            print("kelvara: standard input ('-') can only be proved alone", file=sys.stderr)
            return EXIT_ERROR
        return _report(_single(sys.stdin, args))
    if args.bundled:
        names.append(str(bundled_dir()))
    if not names:
        if _stdin_has_input():
            return _report(_single(sys.stdin, args))
        names = [DEFAULT_PROBLEM]
    paths = _resolve_inputs(names)
    if not paths:
        print("kelvara: no problem files found", file=sys.stderr)
        return EXIT_ERROR
    batch = len(paths) > 1 or any(Path(n).is_dir() for n in names) or args.bundled
    if not batch:
        return _report(_single(paths[0], args))

    options.show_proof = args.proofs
    outcomes = run_batch(paths, options, args.jobs or 1, quiet=args.quiet)
    _print_summary(outcomes, sys.stdout)
    return _batch_exit_code(outcomes)


def run_batch(paths: list[Path], options: Options, jobs: int, quiet: bool = False) -> list[Outcome]:
    """Solves the problems in order (in ``jobs`` worker processes), printing each answer."""
    # Import the reader and the prover once, here: forked workers inherit them.
    from . import saturation, tptp  # noqa: F401

    outcomes: list[Outcome] = []
    work = [(path, options) for path in paths]
    iterator: Iterator[Outcome]
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
            if outcome.message and outcome.status not in SOLVED and not quiet:
                print(f"kelvara: {outcome.name}: {outcome.message}", file=sys.stderr)
            sys.stdout.flush()
    finally:
        if pool is not None:
            pool.terminate()
            pool.join()
    return outcomes


def cmd_problems(args) -> int:
    import re

    for path in bundled_problems():
        text = path.read_text(encoding="utf-8")
        status = re.search(r"^%\s*Status\s*:\s*(\w+)", text, re.MULTILINE)
        title = re.search(r"^%\s*Problem\s*:\s*(.+)$", text, re.MULTILINE)
        print(f"{path.stem:<8} {status.group(1) if status else '-':<20} {title.group(1).strip() if title else ''}")
    return EXIT_SOLVED


def cmd_strategies(args) -> int:
    from .features import CLASSES
    from .schedule import load_schedule
    from .strategy import BUILTIN, engine_refusal

    for strategy in BUILTIN.values():
        refused = engine_refusal(strategy)
        print(strategy.describe() + ("  (not offered by this engine)" if refused else ""))
    schedule = load_schedule()
    print("%\n% schedule (--auto): strategy (time share) per problem class")
    for key in CLASSES:
        slots = schedule.classes.get(key) or schedule.default
        print(f"% {key:<13} " + ", ".join(f"{s.strategy.name or 'custom'} ({s.share:g})" for s in slots))
    return EXIT_SOLVED


def _seconds(text: str) -> float | None:
    """A time limit: a finite non-negative number of seconds; 0 means none."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"must be a finite number of seconds, 0 or more (0: no limit): {text!r}")
    return value or None


def _memory(text: str) -> int | None:
    """A memory limit such as 512M or 2G (plain numbers are megabytes); 0 means none."""
    from .limits import parse_memory_size

    try:
        value = parse_memory_size(text)
    except (ValueError, IndexError):
        raise argparse.ArgumentTypeError(f"not a memory size (like 512M or 2G): {text!r}") from None
    return value or None


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be positive: {text!r}")
    return value


def _version() -> str:
    from kelvara import __version__

    return f"kelvara {__version__}"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="kelvara", description="A saturation prover for first-order logic.",
                                     epilog=EXIT_CODES_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=_version())
    sub = parser.add_subparsers(dest="command", required=True)
    prove = add_prove_command(sub)
    from .batch.command import register

    register(sub, prove)
    problems = sub.add_parser("problems", help="list the bundled problems")
    problems.set_defaults(func=cmd_problems)
    strategies = sub.add_parser("strategies", help="list the built-in strategies and the schedule")
    strategies.set_defaults(func=cmd_strategies)
    return parser


def add_prove_command(sub) -> argparse.ArgumentParser:
    prove = sub.add_parser(
        "prove", help="prove TPTP problems (fof, cnf)", epilog=EXIT_CODES_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Prove first-order problems given in TPTP syntax. A problem '-' is read from standard "
                    "input; with no problem, standard input is read when it is a file or a pipe, and the "
                    f"bundled problem {DEFAULT_PROBLEM} is proved otherwise (on a terminal, say).")
    prove.add_argument("problems", nargs="*", metavar="PROBLEM",
                       help="problem files, folders of .p files, names of bundled problems, or - for standard input")
    prove.add_argument("--time-limit", "-t", type=_seconds, default=10.0, metavar="SECONDS",
                       help="wall-clock limit per problem, covering reading, clause form, search and output "
                            "(default 10; 0: none)")
    prove.add_argument("--memory-limit", "-m", type=_memory, default=None, metavar="SIZE",
                       help="limit on the prover's resident memory per problem, like 512M or 2G "
                            "(plain numbers are megabytes; default and 0: none)")
    prove.add_argument("--engine", choices=("native", "python"), default=default_engine(),
                       help="the search engine: native (C++) or python (the reference loop); "
                            f"default {default_engine()}")
    how = prove.add_mutually_exclusive_group()
    how.add_argument("--auto", action="store_true",
                     help="run the schedule of strategies chosen by the problem's features (the default)")
    how.add_argument("--strategy", "-s", default=None, metavar="NAME|SPEC",
                     help="run one strategy: a built-in name (see 'kelvara strategies') or settings such as "
                          "sel=none,ratio=8,sine=1.5:0")
    prove.add_argument("--schedule", default=None, metavar="FILE",
                       help="with --auto: the schedule in this JSON file instead of the built-in one")
    prove.add_argument("--cores", type=_positive, default=1, metavar="N",
                       help="run N strategies of the schedule at once, in separate processes; the first "
                            "answer wins (default 1)")
    prove.add_argument("--verbose", "-v", action="store_true",
                       help="print the problem's features, the schedule, each strategy's result and the "
                            "axioms premise selection left out, as comment lines")
    prove.add_argument("--max-clauses", type=_positive, default=None, metavar="N",
                       help="stop with ResourceOut when more than N clauses have been kept")
    prove.add_argument("--proof-format", choices=("tstp", "text"), default="tstp",
                       help="proofs in TSTP (default) or as numbered clauses for reading")
    prove.add_argument("--notation", choices=("infix", "prefix", "latex"), default="infix",
                       help="notation of the formulas in text proofs (--proof-format text)")
    prove.add_argument("--quiet", "-q", action="store_true", help="no progress or statistics")
    prove.add_argument("--jobs", "-j", type=_positive, default=None, metavar="N",
                       help="worker processes for several problems (default 1)")
    prove.add_argument("--bundled", action="store_true", help="solve all bundled problems")
    prove.add_argument("--proofs", action="store_true", help="print proofs in batch mode too")
    prove.add_argument("--no-proof", action="store_true", help="print only the status of a single problem")
    prove.set_defaults(func=cmd_prove)
    return prove


def main(argv: list[str] | None = None, started: float | None = None) -> int:
    """Runs the command line; ``started`` (``time.monotonic()``) is when the
    command started, the start of a single run's clock (default: now)."""
    parser = build_parser()
    args = parser.parse_args(argv)
    args.started = started
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
