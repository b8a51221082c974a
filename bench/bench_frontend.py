"""Front-end benchmark: reading and clause form of generated problems, beside E.

Generates problems of about 0.1, 1, 5 and 20 MB (many axioms, wide clauses,
deep nesting mixed), then measures in one run, per file: kelvara's reading
(native reader and includes), its clause form, their sum in MB/s, and the wall
time of ``eprover --cnf`` (E reading and clausifying the same file) when E is
installed.  A second table gives the wall time of starting the command and
proving a trivial problem, ours beside E's.

    python3 bench/bench_frontend.py [--sizes 0.1,1,5,20]
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from kelvara.prover.saturation import clausify_problem
from kelvara.prover.tptp import parse_file


def generate(path: Path, megabytes: float) -> None:
    """Many axioms (with quantifiers and equations), every 50th a wide clause,
    every 200th a deeply nested formula, until the file has the wanted size."""
    target = int(megabytes * 1e6)
    written = 0
    i = 0
    with open(path, "w") as out:
        while written < target:
            if i % 200 == 199:
                depth = 300
                line = (f"fof(deep{i}, axiom, " + "(p7(c1) => " * depth + f"q(c{i})" + ")" * depth + ").\n")
            elif i % 50 == 49:
                line = (f"cnf(wide{i}, axiom, "
                        + " | ".join(f"~ r(X{j}, f(c{i % 97}, X{j}))" if j % 2 else f"s(X{j}, c{j})"
                                     for j in range(120)) + ").\n")
            else:
                line = (f"fof(ax{i}, axiom, ! [X, Y] : ((p{i % 40}(X) & r(X, Y)) => "
                        f"(? [Z] : (s(Z, c{i % 1000}) & f(X, Z) = g(Y)) | q(h(X, Y))))).\n")
            out.write(line)
            written += len(line)
            i += 1
        out.write("fof(goal, conjecture, ? [X] : q(X)).\n")


def ours(path: Path) -> tuple[float, float, float]:
    """Processor seconds of reading and of the clause form, and wall seconds of both."""
    wall = time.perf_counter()
    start = time.process_time()
    problem = parse_file(path)
    read = time.process_time() - start
    start = time.process_time()
    clausify_problem(problem)
    return read, time.process_time() - start, time.perf_counter() - wall


def eprover_cnf(path: Path, cpu_limit: int) -> tuple[float, float] | None:
    """Processor and wall seconds of ``eprover --cnf`` on the file (None without E)."""
    exe = shutil.which("eprover")
    if exe is None:
        return None
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    wall = time.perf_counter()
    subprocess.run([exe, "--cnf", "--silent", f"--cpu-limit={cpu_limit}", str(path)], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return cpu, time.perf_counter() - wall


def startup(tmp: Path, repeats: int = 5) -> None:
    trivial = tmp / "trivial.p"
    trivial.write_text("fof(a, axiom, p).\nfof(g, conjecture, p).\n")
    rows = [("kelvara prove", [sys.executable, "-m", "kelvara", "prove", "-q", str(trivial)])]
    if shutil.which("eprover"):
        rows.append(("eprover --auto", [shutil.which("eprover"), "--auto", "-s", str(trivial)]))
    print("\nstartup plus a trivial problem (wall, best of", repeats, "runs)")
    print(f"{'command':<16} {'ms':>8}")
    for name, command in rows:
        best = min(_wall(command) for _ in range(repeats))
        print(f"{name:<16} {best * 1000:8.1f}")


def _wall(command) -> float:
    start = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False,
                   env=dict(os.environ))
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="0.1,1,5,20", help="file sizes in MB, comma-separated")
    parser.add_argument("--e-cpu-limit", type=int, default=300, help="processor seconds E gets per file")
    args = parser.parse_args()
    sizes = [float(s) for s in args.sizes.split(",")]
    with tempfile.TemporaryDirectory() as tmpdir:
        tmp = Path(tmpdir)
        print("processor seconds (wall seconds in parentheses; the machine may be shared)")
        print(f"{'MB':>6} {'read':>7} {'cnf':>7} {'total':>7} {'MB/s':>6} {'(wall)':>8} {'E --cnf':>8} "
              f"{'(wall)':>8} {'ours/E':>7}")
        totals = {}
        for size in sizes:
            path = tmp / f"gen{size:g}.p"
            generate(path, size)
            mb = path.stat().st_size / 1e6
            read, cnf, wall = ours(path)
            e = eprover_cnf(path, args.e_cpu_limit)
            total = read + cnf
            totals[size] = total
            ratio = f"{total / e[0]:7.2f}" if e and e[0] > 0 else "      -"
            e_text = f"{e[0]:8.2f} {'(' + format(e[1], '.1f') + ')':>8}" if e is not None else f"{'-':>8} {'':>8}"
            print(f"{mb:6.2f} {read:7.2f} {cnf:7.2f} {total:7.2f} {mb / total:6.2f} {'(' + format(wall, '.1f') + ')':>8} "
                  f"{e_text} {ratio}", flush=True)
        if 5.0 in totals and 20.0 in totals:
            print(f"20 MB / 5 MB processor time: {totals[20.0] / totals[5.0]:.2f} (linear: about 4)")
        startup(tmp)


if __name__ == "__main__":
    main()
