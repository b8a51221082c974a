"""Test helpers for the native engine: clause builders, problem loading and an
independent replay of engine proofs over the rules module.

The replay is the tests' own oracle: every step must be reproduced from its
parents (resolution, factoring and paramodulation by the rules module, the
other rules by the definitions written out here), up to variable renaming.
"""

from __future__ import annotations

from kelvara.core.ast import Constant, Equality, FunctionApp, PredicateApp, Variable
from kelvara.core.substitutions import unify_terms
from kelvara.core.exceptions import UnificationError
from kelvara.prover.clausifier import Clause, Literal
from kelvara.prover.rules import apply_rule, get_resolution_rules
from kelvara.prover.saturation.terms import _match_term
from kelvara.prover.saturation import (
    clausify_problem,
    is_variant,
    replace_in_clause,
    rewrite_step_valid,
)
from kelvara.prover.tptp import parse_problem

RULES = {r.name: r for r in get_resolution_rules()}
RULE_OF_STEP = {"resolution": "BinaryResolution", "factoring": "Factoring", "superposition": "Paramodulation"}


def v(i: int) -> Variable:
    return Variable(i)


def c(name: str) -> Constant:
    return Constant(name)


def f(name: str, *args) -> FunctionApp:
    return FunctionApp(name, len(args), tuple(args))


def p(name: str, *args, positive: bool = True) -> Literal:
    return Literal(PredicateApp(name, len(args), tuple(args)), positive)


def eq(a, b, positive: bool = True) -> Literal:
    return Literal(Equality(a, b), positive)


def clause(*lits: Literal) -> Clause:
    return Clause(frozenset(lits))


def load(text: str) -> tuple[list, list[int]]:
    """Clauses and goal ids of a TPTP problem text."""
    inputs, _ = clausify_problem(parse_problem(text))
    clauses = [ic.clause for ic in inputs]
    goals = [i for i, ic in enumerate(inputs) if ic.role == "NegatedGoal"]
    return clauses, goals


class ReplayError(AssertionError):
    pass


def _unify(a, b):
    try:
        return unify_terms(a, b)
    except UnificationError:
        return None


def _drop(lits: tuple, index: int) -> list:
    return [lit for k, lit in enumerate(lits) if k != index]


def _replay_equality_resolution(parent: Clause, info: dict) -> Clause:
    lit = parent.literals[info["literal"]]
    if lit.positive or type(lit.atom) is not Equality:
        raise ReplayError("equality resolution on a literal that is not a negative equation")
    sigma = _unify(lit.atom.left, lit.atom.right)
    if sigma is None:
        raise ReplayError("equality resolution on sides that do not unify")
    return Clause(frozenset(_drop(parent.literals, info["literal"]))).substitute(sigma)


def _replay_equality_factoring(parent: Clause, info: dict) -> Clause:
    i, j = info["literals"]
    a, b = info["sides"]
    li, lj = parent.literals[i], parent.literals[j]
    for lit in (li, lj):
        if not lit.positive or type(lit.atom) is not Equality:
            raise ReplayError("equality factoring on a literal that is not a positive equation")
    s, t = (li.atom.left, li.atom.right) if a == 0 else (li.atom.right, li.atom.left)
    s2, t2 = (lj.atom.left, lj.atom.right) if b == 0 else (lj.atom.right, lj.atom.left)
    sigma = _unify(s, s2)
    if sigma is None:
        raise ReplayError("equality factoring on sides that do not unify")
    lits = _drop(parent.literals, i) + [Literal(Equality(t, t2), False)]
    return Clause(frozenset(lits)).substitute(sigma)


def _replay_cut(parent: Clause, unit: Clause, info: dict) -> Clause:
    if len(unit.literals) != 1:
        raise ReplayError("subsumption resolution with a non-unit clause")
    cut = parent.literals[info["literal"]]
    (u,) = unit.literals
    if u.positive == cut.positive:
        raise ReplayError("subsumption resolution with a literal of the same sign")
    ok = False
    if type(u.atom) is Equality and type(cut.atom) is Equality:
        for left, right in ((u.atom.left, u.atom.right), (u.atom.right, u.atom.left)):
            binding: dict = {}
            if _match_term(left, cut.atom.left, binding) and _match_term(right, cut.atom.right, binding):
                ok = True
    elif type(u.atom) is PredicateApp and type(cut.atom) is PredicateApp and u.atom.pred == cut.atom.pred:
        binding = {}
        ok = all(_match_term(x, y, binding) for x, y in zip(u.atom.args, cut.atom.args))
    if not ok:
        raise ReplayError("the unit does not match the complement of the cut literal")
    return Clause(frozenset(_drop(parent.literals, info["literal"])))


def _replay_demodulation(parent: Clause, by_id: dict, parents: tuple, info: dict) -> Clause:
    current = parent
    for eq_id, old, new in info["rewrites"]:
        if eq_id not in parents[1:]:
            raise ReplayError("a rewrite uses an equation that is not a parent")
        if not rewrite_step_valid(by_id[eq_id], old, new):
            raise ReplayError("a rewrite is not an instance of its equation")
        rewritten = replace_in_clause(current, old, new)
        if rewritten == current:
            raise ReplayError("a rewritten term does not occur")
        current = rewritten
    return current


def replay(steps: list, inputs: list) -> None:
    """Raise ReplayError unless every step follows from its parents and the last is empty."""
    if not steps or steps[-1][1].literals:
        raise ReplayError("the proof does not end with the empty clause")
    by_id: dict = {}
    for step_id, cl, rule, parents, info in steps:
        if step_id in by_id:
            raise ReplayError(f"step {step_id} appears twice")
        for q in parents:
            if q not in by_id:
                raise ReplayError(f"step {step_id} depends on {q}, which does not precede it")
        pcl = [by_id[q] for q in parents]
        if rule == "input":
            if parents or not is_variant(inputs[step_id], cl):
                raise ReplayError(f"input step {step_id} is not its input clause")
            by_id[step_id] = cl
            continue
        if rule in RULE_OF_STEP:
            results = apply_rule(RULES[RULE_OF_STEP[rule]], pcl)
            if not any(is_variant(r[0], cl) for r in results):
                raise ReplayError(f"step {step_id} ({rule}) does not follow from {parents}")
            if rule == "superposition" and (info.get("from"), info.get("into")) != tuple(parents):
                raise ReplayError(f"step {step_id}: superposition info does not name its parents")
            by_id[step_id] = cl
            continue
        if rule == "equality_resolution":
            expected = _replay_equality_resolution(pcl[0], info)
        elif rule == "equality_factoring":
            expected = _replay_equality_factoring(pcl[0], info)
        elif rule == "subsumption_resolution":
            expected = _replay_cut(pcl[0], pcl[1], info)
        elif rule == "demodulation":
            expected = _replay_demodulation(pcl[0], by_id, parents, info)
        elif rule == "simplify":
            expected = Clause(frozenset(lit for lit in pcl[0].literals
                                        if lit.positive or type(lit.atom) is not Equality
                                        or lit.atom.left != lit.atom.right))
        else:
            raise ReplayError(f"step {step_id} names an unknown rule {rule}")
        if not is_variant(expected, cl):
            raise ReplayError(f"step {step_id} ({rule}) is not what its parents give: {expected} vs {cl}")
        by_id[step_id] = cl
