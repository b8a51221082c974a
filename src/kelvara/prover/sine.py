"""Premise selection by symbol relevance: the axioms a goal reaches through rare symbols.

Each symbol occurs in some number of axioms.  An axiom is *triggered* by a
symbol it contains when that symbol is at most ``tolerance`` times as
frequent as the axiom's rarest symbol.  Selection starts from the symbols
of the goal (conjectures, negated conjectures and hypotheses, which are
always kept) and repeatedly adds the axioms their symbols trigger, with
those axioms' symbols, for ``depth`` rounds (0: until nothing new comes).
Definitions and axioms without symbols are kept too.

Leaving premises out keeps every proof a proof, but a saturation of the
selected part says nothing about the whole problem.
"""

from __future__ import annotations

from dataclasses import dataclass

from .definitional import formula_symbols

__all__ = ["Selection", "select_premises", "GOAL_ROLES"]

#: Roles always kept, whose symbols start the selection.
GOAL_ROLES = frozenset({"conjecture", "negated_conjecture", "hypothesis"})


@dataclass(frozen=True)
class Selection:
    """The statements kept (by name) and the axioms left out, in input order."""

    kept: frozenset[str]
    left_out: tuple[str, ...]


def _symbols(statement) -> frozenset:
    formula = statement.formula
    try:
        return frozenset(formula_symbols(formula))
    except (AttributeError, TypeError):  # a truth-constant marker
        return frozenset()


def select_premises(formulas, tolerance: float, depth: int, check=None) -> Selection | None:
    """The premise selection of a problem's statements; None without a goal to start from.

    ``formulas`` are the problem's annotated statements; ``check`` is called
    now and then and may raise to stop.
    """
    if tolerance < 1.0 or depth < 0:
        raise ValueError(f"tolerance must be at least 1 and depth at least 0, not {tolerance!r}, {depth!r}")
    symbols_of = [_symbols(s) for s in formulas]
    goals = [i for i, s in enumerate(formulas) if s.role in GOAL_ROLES]
    if not any(formulas[i].role != "hypothesis" for i in goals):
        return None
    occurrences: dict = {}
    for i, statement in enumerate(formulas):
        if statement.role not in GOAL_ROLES:
            for symbol in symbols_of[i]:
                occurrences[symbol] = occurrences.get(symbol, 0) + 1
    triggers: dict = {}  # symbol -> axioms it triggers
    kept = set(goals)
    for i, statement in enumerate(formulas):
        if statement.role in GOAL_ROLES:
            continue
        symbols = symbols_of[i]
        if not symbols or statement.role == "definition":
            kept.add(i)
            continue
        rarest = min(occurrences[s] for s in symbols)
        for symbol in symbols:
            if occurrences[symbol] <= tolerance * rarest:
                triggers.setdefault(symbol, []).append(i)
    frontier: set = set()
    for i in kept:
        frontier |= symbols_of[i]
    seen = set(frontier)
    rounds = 0
    while frontier and (depth == 0 or rounds < depth):
        if check is not None:
            check()
        rounds += 1
        reached: set = set()
        for symbol in frontier:
            for i in triggers.get(symbol, ()):
                if i not in kept:
                    kept.add(i)
                    reached |= symbols_of[i]
        frontier = reached - seen
        seen |= frontier
    left_out = tuple(s.name for i, s in enumerate(formulas) if i not in kept)
    return Selection(frozenset(formulas[i].name for i in kept), left_out)
