"""Batch overhead: the bundled set through the local pool and a Dask cluster, against in-process solving.

Usage: python bench/bench_batch.py [--time-limit 10] [--repeat 3] [--no-dask]

Per round, in one run: (1) every bundled problem solved in this process, one
after the other, giving the sum S of the per-problem solve times; (2) a batch
of the same problems with 2 local workers (each problem in a child process),
wall time B; (3) the same batch through a Dask LocalCluster of 2 single-
threaded worker processes on the loopback interface (started before timing),
wall time D.  Printed per round and as medians: B / (S/2), the overhead per
problem (2B - S)/n and the median of (record wall - in-process time), the CPU
overhead per problem (the median over the problems of a child's CPU time less
the CPU time of the same problem solved in process, plus the parent's CPU time
over n: unlike wall times it does not grow with the load of a shared machine), the wall time B1 of a batch with one
worker against S (which needs no free second core), and D / B.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

from kelvara.prover.batch import isolate
from kelvara.prover.batch.executors import DaskExecutor, LocalExecutor
from kelvara.prover.batch.inputs import collect
from kelvara.prover.cli import bundled_dir
from kelvara.prover.run import Options, solve


def timed_batch(executor, tasks, options, limits) -> tuple[float, float, dict]:
    """Wall time, parent CPU time and records of a batch."""
    start, cpu = time.monotonic(), time.process_time()
    records = {r["path"]: r for r in executor.run(tasks, options, limits) if r is not None}
    return time.monotonic() - start, time.process_time() - cpu, records


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--time-limit", "-t", type=float, default=10.0)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--no-dask", action="store_true")
    args = parser.parse_args()
    tasks = collect([str(bundled_dir())])
    options = Options(time_limit=args.time_limit, max_clauses=None, notation="infix", quiet=True, show_proof=True)
    limits = isolate.Limits(time_limit=args.time_limit)
    isolate.prepare()
    cluster = client = None
    if not args.no_dask:
        from distributed import Client, LocalCluster

        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                               dashboard_address="127.0.0.1:0")
        client = Client(cluster)
        client.run(isolate.prepare)
    rows = []
    print(f"{len(tasks)} problems, time limit {args.time_limit} s, load average {os.getloadavg()[0]:.1f}")
    print(f"{'round':>5}  {'S/2 s':>7}  {'local B s':>9}  {'B/(S/2)':>7}  {'(2B-S)/n ms':>11}  "
          f"{'median wall-solve ms':>20}  {'CPU overhead ms':>15}  {'B1/S':>5}  {'dask D s':>8}  {'D/B':>5}")
    try:
        for round_ in range(1, args.repeat + 1):
            solve_times, solve_cpu = {}, {}
            for task in tasks:
                cpu = time.process_time()
                solve_times[task.path] = solve(Path(task.path), options).seconds
                solve_cpu[task.path] = time.process_time() - cpu
            total = sum(solve_times.values())
            local, parent_cpu, records = timed_batch(LocalExecutor(jobs=2), tasks, options, limits)
            per_problem = (2 * local - total) / len(tasks) * 1000
            gaps = statistics.median((records[p]["wall"] - solve_times[p]) * 1000 for p in records)
            cpu_overhead = (statistics.median(records[p]["cpu"] - solve_cpu[p] for p in records)
                            + parent_cpu / len(tasks)) * 1000
            single, _, _ = timed_batch(LocalExecutor(jobs=1), tasks, options, limits)
            dask = float("nan")
            if cluster is not None:
                dask, _, remote = timed_batch(DaskExecutor(cluster.scheduler_address), tasks, options, limits)
                changed = [p for p in remote if remote[p]["status"] != records[p]["status"]]
                if changed:
                    print(f"  statuses differ between local and dask on {len(changed)} problems", file=sys.stderr)
            row = (total / 2, local, local / (total / 2), per_problem, gaps, cpu_overhead, single / total, dask,
                   dask / local)
            rows.append(row)
            print(f"{round_:>5}  {row[0]:>7.2f}  {row[1]:>9.2f}  {row[2]:>7.2f}  {row[3]:>11.1f}  {row[4]:>20.1f}  "
                  f"{row[5]:>15.1f}  {row[6]:>5.2f}  {row[7]:>8.2f}  {row[8]:>5.2f}  (load {os.getloadavg()[0]:.1f})",
                  flush=True)
    finally:
        if client is not None:
            client.close()
            cluster.close()
    medians = [statistics.median(column) for column in zip(*rows)]
    print(f"{'median':>5}  {medians[0]:>7.2f}  {medians[1]:>9.2f}  {medians[2]:>7.2f}  {medians[3]:>11.1f}  "
          f"{medians[4]:>20.1f}  {medians[5]:>15.1f}  {medians[6]:>5.2f}  {medians[7]:>8.2f}  {medians[8]:>5.2f}")
    print(f"load average at the end {os.getloadavg()[0]:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
