"""Solved counts of kelvara beside E and SPASS over a problem set, overall and per class.

Usage:
    python bench/bench_prover.py [--set DIR] [--time-limit 10] [--jobs 2] [--engine native]
                                 [--peers stored|live|none] [--out RESULTS.tsv] [--sample K] [NAME ...]

A set is a folder with ``problems/NAME.p`` and a ``MANIFEST.tsv`` (columns
name, set, domain, status, rating, has_equality, ...), like the development
set in ../shared/tptp-dev; includes resolve with TPTP set to the folder.
Without --set the problems bundled with the package are run (their status
from the header, equality from the text).

Each kelvara run is a separate ``kelvara prove`` process (a crash costs one
problem, not the run).  A problem is solved when the answer has the class of
its status (Theorem/Unsatisfiable, or CounterSatisfiable/Satisfiable); an
answer of the other class contradicts the status, the worst outcome there is,
and is listed by name.  Peer results come from ``bench/data/<set>-<peer>.tsv``
(name, status, seconds; made by bench/data/run_peer.sh or by --peers live
--store-peers, 10 s of CPU each), or are measured live with --peers live.
kelvara's limit is wall-clock time (its own --time-limit); the CPU seconds it
got are printed and stored beside, as a loaded machine gives it less.  --out keeps kelvara's results
(one line per problem, appended as they come) and --resume skips the ones
already there; --from reads such a file instead of running anything.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DATA = HERE / "data"
SRC = HERE.parent / "src"

UNSAT = {"Theorem", "Unsatisfiable", "ContradictoryAxioms", "Proof"}
SAT = {"CounterSatisfiable", "Satisfiable", "Completion"}
PEERS = ("E", "SPASS")


# -- problem sets ------------------------------------------------------------------


def _has_equality(text: str) -> bool:
    body = "\n".join(line for line in text.splitlines() if not line.lstrip().startswith("%"))
    body = body.replace("<=>", "").replace("=>", "").replace("<=", "")
    return "=" in body


def load_set(folder: Path | None) -> tuple[str, Path | None, list[dict]]:
    """(set name, TPTP root for includes, problems as dicts with name, path, status and classes)."""
    if folder is None:
        sys.path.insert(0, str(SRC))
        from kelvara.prover.cli import bundled_problems

        rows = []
        for path in bundled_problems():
            text = path.read_text(encoding="utf-8")
            found = re.search(r"^%\s*Status\s*:\s*(\w+)", text, re.MULTILINE)
            rows.append({"name": path.stem, "path": path, "status": found.group(1) if found else "Unknown",
                         "equality": _has_equality(text), "mptp": False})
        return "bundled", None, rows
    manifest = folder / "MANIFEST.tsv"
    lines = manifest.read_text(encoding="utf-8").splitlines()
    header = lines[0].split("\t")
    rows = []
    for line in lines[1:]:
        if not line.strip():
            continue
        entry = dict(zip(header, line.split("\t")))
        rows.append({"name": entry["name"], "path": folder / "problems" / f"{entry['name']}.p",
                     "status": entry["status"], "equality": entry.get("has_equality") == "yes",
                     "mptp": entry.get("set", "").upper().startswith("MPTP")})
    root = folder if (folder / "Axioms").is_dir() else None
    return folder.name, root, rows


def answer_class(status: str) -> str | None:
    return "unsat" if status in UNSAT else "sat" if status in SAT else None


def solved(status: str, expected: str) -> bool:
    return answer_class(status) is not None and answer_class(status) == answer_class(expected)


def contradicts(status: str, expected: str) -> bool:
    mine, theirs = answer_class(status), answer_class(expected)
    return mine is not None and theirs is not None and mine != theirs


# -- runners ----------------------------------------------------------------------------


def _env(root: Path | None) -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = str(SRC) + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    if root is not None:
        env["TPTP"] = str(root)
    return env


def _szs(output: str, prefix: str) -> str | None:
    for line in output.splitlines():
        if line.startswith(prefix):
            parts = line.split()
            return parts[3] if len(parts) > 3 else None
    return None


def run_kelvara(path: Path, limit: float, engine: str, root: Path | None,
                extra: tuple[str, ...] = ()) -> tuple[str, float, float]:
    """(status, wall seconds, CPU seconds) of one ``kelvara prove`` process (its children included)."""
    command = [sys.executable, "-m", "kelvara", "prove", "-q", "--no-proof", "--engine", engine,
               "--time-limit", str(limit), *extra, str(path)]
    start = time.monotonic()
    with tempfile.TemporaryFile() as out:
        proc = subprocess.Popen(command, stdout=out, stderr=subprocess.DEVNULL, env=_env(root))
        killed = False
        while True:
            pid, wait_status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                break
            if not killed and time.monotonic() - start > limit + 10:
                proc.kill()
                killed = True
            time.sleep(0.02)
        proc.returncode = os.waitstatus_to_exitcode(wait_status)
        seconds = time.monotonic() - start
        out.seek(0)
        output = out.read().decode("utf-8", "replace")
    cpu = usage.ru_utime + usage.ru_stime
    if killed:
        return "Timeout", seconds, cpu
    status = _szs(output, "% SZS status")
    if status is None:
        status = "Crash" if proc.returncode < 0 else "Error"
    return status, seconds, cpu


def run_peer(peer: str, path: Path, limit: float, root: Path | None) -> tuple[str, float]:
    if peer == "E":
        command = ["eprover", "--auto", "-s", f"--cpu-limit={int(limit)}", str(path)]
    else:
        command = ["SPASS", "-TPTP", f"-TimeLimit={int(limit)}", str(path)]
    start = time.monotonic()
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=limit + 10, env=_env(root))
    except subprocess.TimeoutExpired:
        return "Timeout", time.monotonic() - start
    if peer == "E":
        status = _szs(done.stdout, "# SZS status") or "Unknown"
    else:
        text = done.stdout + done.stderr
        status = "Proof" if "Proof found" in text else "Completion" if "Completion found" in text else "Unknown"
    return status, time.monotonic() - start


def read_results(path: Path) -> dict[str, tuple]:
    """name -> (status, wall seconds[, CPU seconds]) from a results file."""
    found = {}
    if path.is_file():
        for line in path.read_text(encoding="utf-8").splitlines():
            parts = line.split("\t")
            if len(parts) >= 3 and parts[0] != "name":
                found[parts[0]] = (parts[1], *(float(x) for x in parts[2:4]))
    return found


# -- tables -------------------------------------------------------------------------------


CLASSES = [
    ("all", lambda p: True),
    ("equality", lambda p: p["equality"]),
    ("no equality", lambda p: not p["equality"]),
    ("theorem/unsat", lambda p: answer_class(p["status"]) == "unsat"),
    ("countersat/sat", lambda p: answer_class(p["status"]) == "sat"),
    ("MPTP", lambda p: p["mptp"]),
    ("not MPTP", lambda p: not p["mptp"]),
]


def print_tables(problems: list[dict], results: dict[str, dict], limit: float, out=sys.stdout) -> None:
    """Solved counts per class on the problems that every prover with results has a result for."""
    provers = [name for name in ("kelvara", *PEERS) if results.get(name)]
    everywhere = [p for p in problems if all(p["name"] in results[name] for name in provers)]
    left_out = len(problems) - len(everywhere)
    every_problem, problems = problems, everywhere
    print(f"\n{len(problems)} problems, {limit:g} s per problem"
          + (f" ({left_out} left out: not run by every prover)" if left_out else ""), file=out)
    head = f"{'class':<16}{'problems':>9}" + "".join(f"{name:>10}" for name in provers)
    if "kelvara" in provers and "E" in provers:
        head += f"{'k/E':>8}"
    print(head, file=out)
    print("-" * len(head), file=out)
    for label, member in CLASSES:
        chosen = [p for p in problems if member(p)]
        if not chosen:
            continue
        counts = {}
        for name in provers:
            counts[name] = sum(1 for p in chosen if p["name"] in results[name]
                               and solved(results[name][p["name"]][0], p["status"]))
        row = f"{label:<16}{len(chosen):>9}" + "".join(f"{counts[name]:>10}" for name in provers)
        if "kelvara" in provers and "E" in provers:
            row += f"{counts['kelvara'] / counts['E']:>8.2f}" if counts["E"] else f"{'-':>8}"
        print(row, file=out)
    for name in provers:  # answers contradicting a status are listed wherever they occur
        ran = [p for p in every_problem if p["name"] in results[name]]
        wrong = [p["name"] for p in ran if contradicts(results[name][p["name"]][0], p["status"])]
        print(f"{name}: {len(ran)} run, {len(wrong)} answers contradicting the status"
              + (": " + ", ".join(wrong) if wrong else ""), file=out)
    if "kelvara" in provers and "E" in provers:
        both = [p for p in problems if p["name"] in results["kelvara"] and p["name"] in results["E"]
                and solved(results["kelvara"][p["name"]][0], p["status"])
                and solved(results["E"][p["name"]][0], p["status"])]
        if both:
            k = statistics.median(results["kelvara"][p["name"]][1] for p in both)
            e = statistics.median(results["E"][p["name"]][1] for p in both)
            cpu = [results["kelvara"][p["name"]][2] for p in both if len(results["kelvara"][p["name"]]) > 2]
            print(f"solved by kelvara and E ({len(both)}): median wall time kelvara {k:.2f} s"
                  + (f" ({statistics.median(cpu):.2f} s CPU)" if cpu else "") + f", E {e:.2f} s", file=out)
        only = sorted(p["name"] for p in problems if p["name"] in results["kelvara"]
                      and solved(results["kelvara"][p["name"]][0], p["status"])
                      and not solved(results["E"].get(p["name"], ("-", 0))[0], p["status"]))
        if only:
            print(f"solved by kelvara, not by E: {', '.join(only)}", file=out)


# -- driver ---------------------------------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*", help="only these problems of the set")
    parser.add_argument("--set", type=Path, default=None, help="a folder with MANIFEST.tsv and problems/")
    parser.add_argument("--time-limit", type=float, default=10.0)
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--engine", choices=("native", "python"), default=None,
                        help="kelvara's engine (default: kelvara's own default)")
    parser.add_argument("--peers", choices=("stored", "live", "none"), default="stored")
    parser.add_argument("--store-peers", action="store_true",
                        help="with --peers live: keep the peers' results in bench/data for later runs")
    parser.add_argument("--sample", type=int, default=None, metavar="K",
                        help="every K-th problem of the manifest (its data lines 1, 1+K, 1+2K, ...)")
    parser.add_argument("--out", type=Path, default=None, help="append kelvara's results to this file")
    parser.add_argument("--resume", action="store_true", help="skip the problems already in --out")
    parser.add_argument("--from", dest="stored", type=Path, default=None,
                        help="read kelvara's results from this file instead of running")
    args = parser.parse_args(argv)

    set_name, root, problems = load_set(args.set)
    if args.names:
        wanted = set(args.names)
        problems = [p for p in problems if p["name"] in wanted]
    if args.sample is not None:
        problems = problems[::max(1, args.sample)]
    engine = args.engine
    if engine is None:
        sys.path.insert(0, str(SRC))
        from kelvara.prover.cli import default_engine

        engine = default_engine()

    results: dict[str, dict] = {"kelvara": {}}
    if args.stored is not None:
        results["kelvara"] = read_results(args.stored)
    else:
        if args.out is not None and args.resume:
            results["kelvara"] = read_results(args.out)
        todo = [p for p in problems if p["name"] not in results["kelvara"]]
        sink = args.out.open("a", encoding="utf-8") if args.out is not None else None
        print(f"% kelvara ({engine} engine) on {len(todo)} problems of {set_name}, {args.jobs} at a time",
              file=sys.stderr)
        with concurrent.futures.ThreadPoolExecutor(max(1, args.jobs)) as pool:
            futures = {pool.submit(run_kelvara, p["path"], args.time_limit, engine, root): p for p in todo}
            for future in concurrent.futures.as_completed(futures):
                p = futures[future]
                status, seconds, cpu = future.result()
                results["kelvara"][p["name"]] = (status, seconds, cpu)
                mark = "  CONTRADICTS THE STATUS" if contradicts(status, p["status"]) else ""
                print(f"{p['name']:<24} {p['status']:<19} {status:<19} {seconds:6.2f}s {cpu:6.2f}s cpu{mark}",
                      flush=True)
                if sink is not None:
                    sink.write(f"{p['name']}\t{status}\t{seconds:.2f}\t{cpu:.2f}\n")
                    sink.flush()
        if sink is not None:
            sink.close()

    for peer in PEERS:
        if args.peers == "stored":
            stored = DATA / f"{set_name}-{peer.lower()}.tsv"
            results[peer] = read_results(stored)
            if not results[peer]:
                print(f"% no stored results of {peer} for {set_name} ({stored.name})", file=sys.stderr)
        elif args.peers == "live":
            executable = "eprover" if peer == "E" else "SPASS"
            if shutil.which(executable) is None:
                print(f"% {executable} is not installed", file=sys.stderr)
                continue
            with concurrent.futures.ThreadPoolExecutor(max(1, args.jobs)) as pool:
                runs = pool.map(lambda p, peer=peer: (p["name"], run_peer(peer, p["path"], args.time_limit, root)),
                                problems)
                results[peer] = dict(runs)
            if args.store_peers:
                DATA.mkdir(exist_ok=True)
                with (DATA / f"{set_name}-{peer.lower()}.tsv").open("w", encoding="utf-8") as sink:
                    for name, (status, seconds) in sorted(results[peer].items()):
                        sink.write(f"{name}\t{status}\t{seconds:.2f}\n")
    print_tables(problems, results, args.time_limit)
    return 0


if __name__ == "__main__":
    sys.exit(main())
