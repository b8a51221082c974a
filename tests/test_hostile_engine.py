"""Hostile callers of the native engine: the clock, the progress callback and
the options reach Python code, and whatever that code raises must come out as
its own exception, never as a run that goes on with an error set (which the
interpreter reports as SystemError, or aborts on in a debug build)."""

from __future__ import annotations

import time

import pytest

_engine = pytest.importorskip("kelvara.prover._engine")

from engine_replay import c, clause, load, p, replay  # noqa: E402
from test_engine import HARD  # noqa: E402


class FloatRaises:
    def __float__(self):
        raise ZeroDivisionError("clock broke")


@pytest.mark.parametrize("reading, error, message", [
    (lambda: FloatRaises(), ZeroDivisionError, "clock broke"),
    (lambda: "noon", TypeError, "must be real number, not str"),
    (lambda: None, TypeError, "must be real number, not NoneType"),
])
def test_a_clock_that_fails_while_reading_the_deadline_raises_its_error(monkeypatch, reading, error, message):
    monkeypatch.setattr(time, "monotonic", reading)
    with pytest.raises(error) as info:
        _engine.saturate([clause(p("p", c("a")))], {"deadline": 5.0})
    assert str(info.value) == message


def test_a_clock_that_returns_a_float_subclass_is_read_as_its_value(monkeypatch):
    class Seconds(float):
        pass

    clauses, _ = load(HARD)
    monkeypatch.setattr(time, "monotonic", lambda: Seconds(1000.0))
    # The deadline lies before the clock's reading: the run stops at once.
    result = _engine.saturate(clauses, {"deadline": 999.0})
    assert result.status == "Timeout" and result.stats["given"] == 0


def test_progress_may_start_another_run_and_both_end_as_when_run_alone():
    clauses, _ = load(HARD)
    refutable = [clause(p("p", c("a"))), clause(p("p", c("a"), positive=False))]
    inner = []

    def progress(stats):
        if not inner:
            inner.append(_engine.saturate(refutable, {"time_limit": 5.0}))

    outer = _engine.saturate(clauses, {"time_limit": 0.3, "progress_every": 0.01}, progress)
    assert outer.status == "Timeout"
    assert len(inner) == 1 and inner[0].status == "Unsatisfiable"
    replay(inner[0].steps, refutable)
