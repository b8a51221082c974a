"""The ``kelvara batch`` and ``kelvara plot`` subcommands.

``batch`` takes the limit options of ``kelvara prove`` from its parser (so
the two always set limits the same way), runs the problems through an
executor, appends each record to the results file and ends with the summary.
Exit status: 0, 2 for unusable arguments or inputs, 3 when an answer
contradicts an expected status.
"""

from __future__ import annotations

import argparse
import dataclasses
import sys
from pathlib import Path

EXIT_OK, EXIT_USAGE, EXIT_CONTRADICTION = 0, 2, 3

# Options of ``kelvara prove`` that mean nothing to a batch.
_NOT_SHARED = frozenset({"help", "problems", "proofs", "no_proof", "notation"})


def register(sub, prove: argparse.ArgumentParser) -> None:
    """Add ``batch`` (sharing the prover options of ``prove``) and ``plot`` to the subparsers."""
    batch = sub.add_parser(
        "batch", help="prove many problems, one JSON line of results per problem",
        description="Prove many problems, each in a process of its own, appending one JSON line per "
                    "result to the results file as soon as it is known.")
    batch.add_argument("inputs", nargs="*", metavar="PROBLEM",
                       help="problem files, folders (searched recursively for .p files), glob patterns "
                            "or names of bundled problems")
    batch.add_argument("--manifest", action="append", default=[], metavar="FILE",
                       help="a file listing one problem per line, optionally followed by its expected status")
    batch.add_argument("--out", "-o", required=True, metavar="RESULTS.jsonl", help="the results file")
    batch.add_argument("--resume", action="store_true",
                       help="keep the results already in the file and run only the missing problems")
    batch.add_argument("--executor", choices=("local", "dask"), default="local",
                       help="local: a pool of --jobs processes (default); dask: a Dask distributed cluster")
    batch.add_argument("--scheduler", metavar="ADDRESS",
                       help="address of the Dask scheduler (default: a local cluster of --jobs workers)")
    for action in prove._actions:
        clash = any(s in batch._option_string_actions for s in action.option_strings)
        if action.dest not in _NOT_SHARED and action.option_strings and not clash:
            batch._add_action(action)
    batch.set_defaults(func=cmd_batch)

    plot = sub.add_parser("plot", help="draw a cactus or scatter plot of results files",
                          description="Draw the usual comparison figures of results files (kelvara's JSON "
                                      "lines, or CSV files with columns problem,status,time from other "
                                      "provers). The image format follows the output's extension.")
    plot.add_argument("results", nargs="+", metavar="RESULTS", help="results files (.jsonl or .csv)")
    plot.add_argument("--output", "-o", required=True, metavar="FILE", help="the image (.png, .svg or .pdf)")
    plot.add_argument("--kind", choices=("cactus", "scatter"), default="cactus",
                      help="cactus: problems solved against time limit (default); scatter: per-problem "
                           "times of two runs")
    plot.add_argument("--label", action="append", default=[], metavar="NAME",
                      help="name of a run in the legend (once per results file, in order)")
    plot.add_argument("--title", default=None, help="title of the figure")
    plot.set_defaults(func=cmd_plot)


def _options(args):
    from kelvara.prover.run import Options

    values = {"notation": "infix", "quiet": True, "show_proof": True}
    for f in dataclasses.fields(Options):
        if f.name not in values and hasattr(args, f.name):
            values[f.name] = getattr(args, f.name)
    return Options(**values)


def _check(args) -> str | None:
    if args.scheduler and args.executor != "dask":
        return "--scheduler needs --executor dask"
    if not args.inputs and not args.manifest and not getattr(args, "bundled", False):
        return "no problems given (files, folders, globs, --manifest or --bundled)"
    from kelvara.prover.cli import _strategy_error

    if getattr(args, "auto", False):
        args.strategy = None
    return _strategy_error(args)


def _executor(args):
    from .executors import DaskExecutor, LocalExecutor

    jobs = getattr(args, "jobs", None) or 1
    if args.executor == "dask":
        try:
            import distributed  # noqa: F401
        except ImportError:
            return None
        return DaskExecutor(args.scheduler, jobs)
    return LocalExecutor(jobs)


def cmd_batch(args) -> int:
    from kelvara.prover.cli import bundled_dir

    from . import results, summary
    from .inputs import InputError, collect
    from .isolate import Limits
    from .progress import make_progress

    problem = _check(args)
    if problem:
        print(f"kelvara: {problem}", file=sys.stderr)
        return EXIT_USAGE
    names = list(args.inputs) + ([str(bundled_dir())] if getattr(args, "bundled", False) else [])
    try:
        tasks = collect(names, args.manifest, bundled_dir())
    except InputError as exc:
        print(f"kelvara: {exc}", file=sys.stderr)
        return EXIT_USAGE
    out = Path(args.out)
    try:
        old = results.read(out)
        results.ResultsFile(out).close()  # can be written
    except OSError as exc:
        print(f"kelvara: cannot use {out} as the results file: {exc.strerror}", file=sys.stderr)
        return EXIT_USAGE
    if old and not args.resume:
        print(f"kelvara: {out} already holds results: add --resume to complete it, or choose another "
              f"--out", file=sys.stderr)
        return EXIT_USAGE
    known = results.latest(old)
    todo = [t for t in tasks if t.path not in known]
    quiet = getattr(args, "quiet", False)
    if not quiet:
        print(f"kelvara: {len(tasks)} problems, {len(tasks) - len(todo)} already in {out}, "
              f"{len(todo)} to run", file=sys.stderr)
    limits = Limits(time_limit=getattr(args, "time_limit", None))
    executor = _executor(args)
    if executor is None:
        print("kelvara: --executor dask needs Dask distributed: pip install 'kelvara[dask]'", file=sys.stderr)
        return EXIT_USAGE
    progress = make_progress(len(todo), sys.stderr, quiet)
    try:
        with results.ResultsFile(out) as sink:
            for record in executor.run(todo, _options(args), limits):
                if record is None:
                    progress.tick()
                    continue
                sink.append(record)
                known[record["path"]] = record
                progress.advance(record)
    finally:
        progress.close()
    mine = [known[t.path] for t in tasks if t.path in known]
    return EXIT_CONTRADICTION if summary.report(mine, sys.stdout, sys.stderr) else EXIT_OK


def cmd_plot(args) -> int:
    from . import plotting

    try:
        plotting.main(args.results, args.output, args.kind, args.label, args.title)
    except plotting.PlotError as exc:
        print(f"kelvara: {exc}", file=sys.stderr)
        return EXIT_USAGE
    return EXIT_OK
