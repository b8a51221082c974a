"""Wrong arguments to the companions and to the prover's Python API are refused
at the call, with a TypeError naming the expected and the received type."""

from __future__ import annotations

import os

import pytest

from kelvara.core.ast import Constant, Equality, FunctionApp, Not, PredicateApp, Variable
from kelvara.prover.saturation import ProverConfig, check_proof, prove
from kelvara.prover.tptp import parse_file, parse_problem

from twins import IMPLEMENTATIONS, functions

x, a = Variable(0), Constant("a")
P = PredicateApp("P", 1, (x,))
PROBLEM = "fof(a, axiom, p(a)). fof(g, conjecture, p(a))."


@pytest.mark.parametrize("which", IMPLEMENTATIONS)
@pytest.mark.parametrize(
    "atom,received",
    [(a, "Constant"), (x, "Variable"), (FunctionApp("f", 1, (a,)), "FunctionApp"), (Not(P), "Not"),
     ("P", "str"), (None, "NoneType"), (3, "int")],
)
def test_literal_refuses_what_is_no_atom(which, atom, received):
    Literal = functions(which)["Literal"]
    with pytest.raises(TypeError) as info:
        Literal(atom)
    assert str(info.value) == f"Literal atom must be a PredicateApp or an Equality, not {received}"
    with pytest.raises(TypeError):
        Literal(atom=atom, positive=False)


@pytest.mark.parametrize("which", IMPLEMENTATIONS)
def test_literal_takes_atoms_and_their_subclasses(which):
    Literal = functions(which)["Literal"]

    class MyAtom(PredicateApp):
        pass

    for atom in (P, Equality(x, a), MyAtom("Q", 0, ())):
        assert Literal(atom).atom is atom
    # The atom is checked before the sign is read.
    class NoTruth:
        def __bool__(self):
            raise RuntimeError("no truth value")

    with pytest.raises(TypeError, match="not Constant$"):
        Literal(a, NoTruth())


@pytest.mark.parametrize("which", IMPLEMENTATIONS)
@pytest.mark.parametrize("items,received", [([P], "PredicateApp"), ([1], "int"), ([(P, True)], "tuple"),
                                            (frozenset([Equality(a, a)]), "Equality")])
def test_clause_refuses_what_is_no_literal(which, items, received):
    Clause, Literal = functions(which)["Clause"], functions(which)["Literal"]
    with pytest.raises(TypeError) as info:
        Clause(items)
    assert str(info.value) == f"Clause literals must be Literal, not {received}"
    with pytest.raises(TypeError):
        Clause([Literal(P), *items])


def test_clauses_take_the_literals_of_either_twin():
    py, nat = functions("python"), functions("native")
    mixed = [py["Literal"](P), nat["Literal"](Equality(x, a), False)]
    for impl in (py, nat):
        assert len(impl["Clause"](mixed)) == 2


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: prove(PROBLEM), "prove(): problem must be a Problem (from parse_problem or parse_file), not str"),
        (lambda: prove(parse_problem(PROBLEM), {"time_limit": 1}), "prove(): config must be a ProverConfig or None, not dict"),
        (lambda: parse_problem(PROBLEM.encode()), "parse_problem(): text must be a str, not bytes"),
        (lambda: parse_problem(PROBLEM, name=None), "parse_problem(): name must be a str, not None"),
        (lambda: parse_problem(PROBLEM, base_dir=3), "parse_problem(): base_dir must be a str or a path, not int"),
        (lambda: parse_file(None), "parse_file(): path must be a str or a path, not None"),
        (lambda: check_proof(None), "check_proof(): proof must be a list of ProofClause (ProverResult.proof), not None"),
        (lambda: check_proof([], inputs=()), "check_proof(): inputs must be a list of InputClause (from prove) or None, not tuple"),
        (lambda: ProverConfig(time_limit="10"), "ProverConfig: time_limit must be an int or a float or None, not str"),
        (lambda: ProverConfig(time_limit=True), "ProverConfig: time_limit must be an int or a float or None, not bool"),
        (lambda: ProverConfig(max_clauses=1.5), "ProverConfig: max_clauses must be an int or None, not float"),
        (lambda: ProverConfig(demodulation=1), "ProverConfig: demodulation must be a bool, not int"),
        (lambda: ProverConfig(selection=None), "ProverConfig: selection must be a str, not None"),
        (lambda: ProverConfig(progress=5), "ProverConfig: progress must be callable or None, not int"),
        (lambda: ProverConfig(definitions_above="64"), "ProverConfig: definitions_above must be an int or None, not str"),
    ],
)
def test_prover_api_names_expected_and_received_types(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_prover_api_still_takes_good_arguments(tmp_path):
    config = ProverConfig(time_limit=5, max_clauses=None, progress=None, definitions_above=None)
    result, inputs = prove(parse_problem(PROBLEM), config)
    assert result.status == "Theorem"
    check_proof(result.proof, inputs)
    path = tmp_path / "p.p"
    path.write_text(PROBLEM)
    assert prove(parse_file(os.fspath(path)))[0].status == "Theorem"
    assert prove(parse_file(path))[0].status == "Theorem"
