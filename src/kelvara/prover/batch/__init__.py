"""Batch proving: many problems, one isolated process each, results as JSON lines.

``inputs`` turns files, folders, globs and manifests into tasks; ``isolate``
runs one task in a child process under the prover's limits; ``executors``
runs many (a local process pool or Dask distributed); ``results`` reads and
appends the results file; ``progress`` and ``summary`` report on a run;
``command`` is the ``kelvara batch`` subcommand and ``plotting`` the
``kelvara plot`` subcommand.
"""
