"""Executors of a batch: a local pool of child processes, or a Dask distributed cluster.

Both take the tasks still to run and yield a record per task as soon as it is
known, in completion order, and ``None`` now and then while waiting (so that a
progress display can tick).  Stopping the iteration (an interrupt, say) stops
the children or cancels the cluster's tasks.
"""

from __future__ import annotations

import os
import select
import tempfile
import time
from pathlib import Path
from typing import Iterator

from . import isolate
from .inputs import Task

TICK = 0.5  # seconds between heartbeats while nothing completes


class LocalExecutor:
    """Up to ``jobs`` children at a time on this machine, one per problem.

    The parent is single-threaded: it forks, then waits on the children's
    pipes with ``select`` until one answers or a deadline passes.
    """

    name = "local"

    def __init__(self, jobs: int = 1, solver=None) -> None:
        if jobs < 1:
            raise ValueError("jobs must be positive")
        self.jobs = jobs
        self.solver = solver

    def run(self, tasks: list[Task], options, limits: isolate.Limits) -> Iterator[dict | None]:
        isolate.prepare()
        pending = list(reversed(tasks))
        running: dict[int, isolate.Child] = {}
        try:
            while pending or running:
                while pending and len(running) < self.jobs:
                    child = isolate.spawn(pending.pop(), options, limits, self.solver)
                    running[child.fd] = child
                now = time.monotonic()
                for child in [c for c in running.values() if c.deadline <= now]:
                    del running[child.fd]
                    yield isolate.finish(child, killed=True)
                if not running:
                    continue
                wait = min(TICK, max(0.0, min(c.deadline for c in running.values()) - now))
                ready, _, _ = select.select(list(running), [], [], wait)
                if not ready:
                    yield None
                for fd in ready:
                    child = running[fd]
                    if not isolate.feed(child):
                        del running[fd]
                        yield isolate.finish(child)
        finally:
            for child in running.values():
                isolate.finish(child, killed=True)


def _remote_solve(task: Task, text: bytes | None, options, limits: isolate.Limits) -> dict:
    """The Dask task: solve in a child of the worker; ship the file when the worker cannot see it."""
    isolate.prepare()  # once per worker process
    if text is None or Path(task.path).is_file():
        return isolate.run_isolated(task, options, limits)
    with tempfile.TemporaryDirectory(prefix="kelvara-") as folder:
        copy = Path(folder) / Path(task.path).name
        copy.write_bytes(text)
        local = Task(str(copy), task.folder, task.expected)
        record = isolate.run_isolated(local, options, limits)
    record["path"] = task.path
    return record


class DaskExecutor:
    """Each problem a task on a Dask distributed cluster, its record streamed back as it completes.

    With a scheduler address the executor connects to that cluster; without
    one it starts a local cluster of ``jobs`` single-threaded worker processes
    on the loopback interface.  A task whose worker dies is run again by the
    scheduler on another worker, so a lost worker loses no result.
    """

    name = "dask"

    def __init__(self, scheduler: str | None = None, jobs: int = 1, ship_files: bool = True) -> None:
        self.scheduler = scheduler
        self.jobs = jobs
        self.ship_files = ship_files

    def _client(self):
        from distributed import Client, LocalCluster

        if self.scheduler:
            return Client(self.scheduler, timeout="30s"), None
        cluster = LocalCluster(n_workers=self.jobs, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address="127.0.0.1:0")
        return Client(cluster), cluster

    def run(self, tasks: list[Task], options, limits: isolate.Limits) -> Iterator[dict | None]:
        from distributed import as_completed

        client, cluster = self._client()
        futures = []
        try:
            token = os.urandom(4).hex()
            for number, task in enumerate(tasks):
                text = None
                if self.ship_files:
                    try:
                        text = Path(task.path).read_bytes()
                    except OSError:
                        text = None
                futures.append(client.submit(_remote_solve, task, text, options, limits, pure=False,
                                             key=f"kelvara-{token}-{number}-{task.name}"))
            by_key = {future.key: task for future, task in zip(futures, tasks)}
            done = as_completed(futures)
            while not done.is_empty():
                batch = done.next_batch(block=False)
                if not batch:
                    time.sleep(0.05)
                    yield None
                    continue
                for future in batch:
                    yield self._record(future, by_key[future.key], limits)
        finally:
            for future in futures:
                future.cancel()
            client.close()
            if cluster is not None:
                cluster.close()

    @staticmethod
    def _record(future, task: Task, limits: isolate.Limits) -> dict:
        try:
            return future.result()
        except Exception as exc:  # noqa: BLE001 - a task that failed on every try
            payload = {"status": "Error", "message": f"the cluster gave up on the task: {type(exc).__name__}: {exc}"}
            return isolate.make_record(task, payload, 0.0, None, limits.time_limit)
