"""The benchmark rows that bench/icount.py counts: each visitor row's two sides
compute the same values on the row's own formulas (so that the ratio compares
like with like), and every --loop run does the number of operations it reports.
"""

from __future__ import annotations

import os
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench")
sys.path.insert(0, BENCH)

import bench_ast as BA  # noqa: E402
import bench_visitors as BV  # noqa: E402
import models as M  # noqa: E402

from kelvara.core import ast as K  # noqa: E402
from kelvara.core import visitors as V  # noqa: E402

ROWS = [c[0] for c in BV.cases()]


def comparable(key, value):
    """The value of a row in a form both node models share."""
    if key == "freevars":
        return sorted(v.id for v in value)
    if key in ("transformer", "subst"):
        exporter = V.ExportVisitor() if isinstance(value, K.Formula) else BV.PyExport()
        return exporter.visit(value)
    return value


@pytest.mark.parametrize("size", BV.SIZES)
@pytest.mark.parametrize("key", ROWS)
def test_visitor_row_sides_agree(key, size):
    row = {c[0]: c for c in BV.cases()}[key]
    ours = BV.corpus(size, BV.FORMULAS, K, seed=size)
    model = BV.corpus(size, BV.FORMULAS, M, seed=size)
    got = [comparable(key, row[2].visit(f)) for f in ours]
    want = [comparable(key, row[3].visit(f)) for f in model]
    assert got == want
    if key == "subst":  # the row must substitute something, or it measures a copy
        assert sum(a != comparable("transformer", f) for a, f in zip(got, ours)) >= BV.FORMULAS // 2


def test_every_visitor_row_has_a_distinct_key_and_label():
    cases = BV.cases()
    assert len({c[0] for c in cases}) == len({c[1] for c in cases}) == len(cases) == 9


@pytest.mark.parametrize("side", ["kelvara", "model"])
@pytest.mark.parametrize("key", ["subst", "size1"])
def test_visitor_loop_reports_its_visits(key, side, capsys):
    BV.loop(key, 30, side, 3)
    assert capsys.readouterr().out == f"{3 * BV.FORMULAS} operations\n"


@pytest.mark.parametrize("side", ["kelvara", "model"])
@pytest.mark.parametrize("row", BA.LOOP_ROWS)
def test_node_loop_reports_its_operations(row, side, capsys):
    BA.loop(row, side, 2)
    assert capsys.readouterr().out == f"{2 * BA.PER_RUN} operations\n"


@pytest.mark.parametrize("row", list(BA.CONSTRUCTION))
def test_node_loop_statements_build_the_same_node_on_both_sides(row):
    built = []
    for side in ("kelvara", "model"):
        stmt, ns = BA.loop_namespace(row, side)
        built.append(eval(stmt, ns))
    ours, model = built
    assert type(ours).__name__ == type(model).__name__ == row
    assert V.ExportVisitor().visit(ours) == BV.PyExport().visit(model)


def test_floor_exists_only_for_construction_rows():
    assert BA.loop_namespace("And", "floor")[0] == "slice(a, b)"
    with pytest.raises(SystemExit, match="no floor"):
        BA.loop_namespace("dedup", "floor")
