"""Features of a problem that choose its strategies: computed once from its clause form.

The features are counts and kinds of the clause form (equality, unit, Horn
or general clauses, numbers of clauses, symbols and axioms, the largest
arity and term depth, whether a goal is present).  :func:`problem_class`
maps them to the few classes the schedule distinguishes.
"""

from __future__ import annotations

from dataclasses import dataclass

from kelvara.core.ast import Constant, Equality, FunctionApp

__all__ = ["Features", "compute_features", "problem_class", "CLASSES", "LARGE_AXIOMS"]

#: Axiom statements from which a problem counts as large (premise selection pays).
LARGE_AXIOMS = 200

#: Every class :func:`problem_class` can return, in the order the schedule lists them.
CLASSES = ("large", "unit_eq", "horn_eq", "horn_noeq", "general_eq", "general_noeq", "nogoal")


@dataclass(frozen=True)
class Features:
    """What the strategy choice looks at; ``kind`` is "unit", "horn" or "general"."""

    equality: bool
    kind: str
    clauses: int
    goal_clauses: int
    symbols: int
    axioms: int
    max_arity: int
    max_depth: int
    has_goal: bool

    def lines(self) -> list[str]:
        """The features as ``name: value`` lines, for ``--verbose``."""
        return [f"equality: {'yes' if self.equality else 'no'}",
                f"clauses: {self.kind} ({self.clauses} clauses, {self.goal_clauses} from the goal)",
                f"axioms: {self.axioms}",
                f"symbols: {self.symbols}",
                f"largest arity: {self.max_arity}",
                f"deepest term: {self.max_depth}",
                f"goal: {'yes' if self.has_goal else 'no'}"]


def _term_stats(term, symbols: set) -> tuple[int, int]:
    """(depth, largest arity) of a term, adding its function and constant symbols to ``symbols``."""
    depth = arity = 0
    stack = [(term, 1)]
    while stack:
        node, level = stack.pop()
        kind = type(node)
        if kind is FunctionApp:
            symbols.add((node.func, len(node.args)))
            arity = max(arity, len(node.args))
            depth = max(depth, level)
            stack.extend((arg, level + 1) for arg in node.args)
        elif kind is Constant:
            symbols.add((node.name, 0))
            depth = max(depth, level)
        else:  # a variable
            depth = max(depth, level)
    return depth, arity


def compute_features(inputs, axioms: int, has_goal: bool) -> Features:
    """The features of a clause form (``InputClause`` records).

    ``axioms`` is the number of axiom statements of the problem (before the
    clause form), ``has_goal`` whether it has a conjecture or negated
    conjecture.  Symbols are counted by name and arity, predicates included
    (equality is not a symbol).
    """
    equality = False
    units = horn = True
    goal_clauses = 0
    symbols: set = set()
    max_arity = max_depth = 0
    for item in inputs:
        literals = item.clause.literals
        if item.role == "NegatedGoal":
            goal_clauses += 1
        if len(literals) > 1:
            units = False
        if sum(1 for lit in literals if lit.positive) > 1:
            horn = False
        for lit in literals:
            atom = lit.atom
            if type(atom) is Equality:
                equality = True
                terms: tuple = (atom.left, atom.right)
            else:
                symbols.add(("pred:" + str(atom.pred), len(atom.args)))
                max_arity = max(max_arity, len(atom.args))
                terms = atom.args
            for term in terms:
                depth, arity = _term_stats(term, symbols)
                max_depth = max(max_depth, depth)
                max_arity = max(max_arity, arity)
    kind = "unit" if units else "horn" if horn else "general"
    return Features(equality=equality, kind=kind, clauses=len(inputs), goal_clauses=goal_clauses,
                    symbols=len(symbols), axioms=axioms, max_arity=max_arity, max_depth=max_depth,
                    has_goal=has_goal)


def problem_class(features: Features) -> str:
    """The schedule class of a problem, one of :data:`CLASSES`.

    Large problems (at least :data:`LARGE_AXIOMS` axioms) with a goal form
    one class whatever their clauses; problems without a goal another (they
    need a complete strategy to be answered at all); the rest are split by
    clause kind and equality.
    """
    if not features.has_goal:
        return "nogoal"
    if features.axioms >= LARGE_AXIOMS:
        return "large"
    eq = "eq" if features.equality else "noeq"
    if features.kind == "unit":
        return "unit_eq" if features.equality else "horn_noeq"
    return f"{features.kind}_{eq}"
