"""A short differential run per check (tests/differential.py): the native
modules against their Python twins and models, odd inputs included.  The long
run is scripts/differential.py."""

from __future__ import annotations

import pytest

import differential


@pytest.mark.parametrize("check", sorted(differential.CHECKS))
def test_native_modules_agree_with_their_twins(check):
    found, counts = differential.run(seed=20261209, cases=600, only=check)
    assert counts[check] == 600
    assert found == [], "\n".join(f"{op}: inputs {inputs!r}\n  native {nat!r}\n  reference {ref!r}"
                                  for op, inputs, nat, ref in found[:5])


def test_the_comparison_sees_a_wrong_result():
    # The harness itself: a twin that answers differently is reported.
    out: list = []
    g = differential.Gen(differential.random.Random(1), odd=False)
    original = differential.Q.py_formula_depth
    differential.AST_QUERIES[2] = ("formula_depth", differential.K.formula_depth, lambda f: original(f) + 1)
    try:
        for _ in range(200):
            differential._check_ast(g, out)
    finally:
        differential.AST_QUERIES[2] = ("formula_depth", differential.K.formula_depth, original)
    assert any(op == "formula_depth" for op, *_ in out)


def test_the_reader_comparison_sees_a_misread_statement(monkeypatch):
    # A native reader that reads every axiom as a hypothesis is reported.
    from kelvara.prover import tptp

    original = tptp.parse_problem

    def misread(text, **kwargs):
        return original(text.replace(", axiom,", ", hypothesis,"), **kwargs)

    monkeypatch.setattr(tptp, "parse_problem", misread)
    out: list = []
    g = differential.Gen(differential.random.Random(5), odd=False)
    for _ in range(100):
        differential.check_reader(g, out)
    assert any(op == "parse_problem" for op, *_ in out)
