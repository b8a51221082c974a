"""Whole substitution walks on 3.10 and 3.11 skip their checks after an
allocation while the collector has not run since the last one, counted by a
callback kept first in gc.callbacks.  When that count cannot be trusted (the
callback taken out of the list, or another one ahead of it that could take it
out before it is called) every allocation is checked again: Python code run by
a collection mid-walk is still seen by the rest of the walk."""

from __future__ import annotations

import contextlib
import gc
import sys

import pytest

from helpers import hold_node_memory
from test_visitors_fast_paths import (
    ATOMS,
    K,
    Late,
    c,
    chain,
    change_effect,
    cut_over,
    finaliser_test,
    unchain,
    walk_with_finaliser,
    y,
)

from kelvara.core import visitors as V
from kelvara.core.ast import PredicateApp

pytestmark = pytest.mark.skipif(sys.version_info >= (3, 12), reason="collections start only at safe points there")


def P(*args):
    return PredicateApp("P", len(args), tuple(args))


def counter():
    found = [cb for cb in gc.callbacks if getattr(cb, "__name__", "") == "_count_collection"]
    assert len(found) == 1, gc.callbacks
    return found[0]


@contextlib.contextmanager
def callbacks():
    """gc.callbacks, put back as it was afterwards (each attempt of a test starts afresh)."""
    saved = list(gc.callbacks)
    try:
        yield gc.callbacks
    finally:
        gc.callbacks[:] = saved


@contextlib.contextmanager
def counter_first():
    """The counter moved to the front of gc.callbacks (a test tool may have put
    its own callback first), everything put back afterwards."""
    with callbacks() as cbs:
        hook = counter()
        cbs.remove(hook)
        cbs.insert(0, hook)
        yield cbs


def test_the_counter_is_called_with_each_collection():
    seen = []
    with counter_first() as cbs:
        cbs.append(lambda phase, info: seen.append(phase))
        gc.collect()
    assert seen == ["start", "stop"]


class Sub(V.SubstitutionTransformer):
    pass


def forget_handler():
    if "visit_variable" in Sub.__dict__:
        del Sub.visit_variable


def expect_change_seen(out, handler=True):
    got = [a.args[0] for a in unchain(out, len(ATOMS))]
    cut_over(got, [c if v == y else v for v in ATOMS], [K if handler or v == y else v for v in ATOMS])


@pytest.mark.parametrize("change", ["class", "instance", "mapping", "rebind"])
@finaliser_test
def test_a_finaliser_is_seen_with_the_counter_first(change):
    # The walk skips its checks only while the count is unchanged: the
    # collection that ran the finaliser changed it.
    mapping = {y: c}
    t = Sub(mapping)
    effect = change_effect(change, Sub, t, mapping)
    with counter_first():
        try:
            out = walk_with_finaliser(t, chain([P(v) for v in ATOMS]), effect)
        finally:
            forget_handler()
    expect_change_seen(out, handler=change in ("class", "instance"))


@pytest.mark.parametrize("how", ["removed", "behind another"])
@finaliser_test
def test_a_finaliser_is_seen_without_the_counter_first(how):
    with callbacks() as cbs:
        hook = counter()
        if how == "removed":
            cbs.remove(hook)
        else:
            cbs.insert(0, lambda phase, info: None)
        t = Sub({y: c})
        try:
            out = walk_with_finaliser(t, chain([P(v) for v in ATOMS]),
                                      lambda: setattr(Sub, "visit_variable", lambda self, node: K))
        finally:
            forget_handler()
    expect_change_seen(out)


@finaliser_test
def test_a_callback_ahead_of_the_counter_that_takes_it_out_is_seen():
    with callbacks() as cbs:
        walk_with_a_callback_ahead(cbs)


def walk_with_a_callback_ahead(callbacks):
    # The callback changes the class at the third collection of the walk,
    # after taking the counter out of the list before it is called.
    hook = counter()
    starts = []

    def ahead(phase, info):
        if phase != "start" or not armed:
            return
        starts.append(1)
        if len(starts) == 3:
            callbacks.remove(hook)
            Sub.visit_variable = lambda self, node: K

    armed = False
    callbacks.insert(0, ahead)
    t = Sub({y: c})
    node = chain([P(v) for v in ATOMS])
    held = hold_node_memory()  # every node the walk builds is allocated
    gc.collect()
    old = gc.get_threshold()
    gc.set_threshold(1)
    try:
        armed = True
        out = t.visit(node)
        armed = False
    finally:
        armed = False
        gc.set_threshold(*old)
        del held
        forget_handler()
    if len(starts) < 3:
        raise Late(f"{len(starts)} collections")
    expect_change_seen(out)
