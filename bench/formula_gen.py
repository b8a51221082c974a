"""Random formulas of a given size, built identically in any node model."""

from __future__ import annotations

import random
from typing import Any


def random_formula(mod: Any, target_nodes: int, seed: int = 1) -> Any:
    """A random first-order formula of about `target_nodes` nodes (terms included),
    over predicates P/1, Q/2, functions f/1, g/2, constants a, b and variables 0..5,
    with quantifiers, built from the classes of module `mod`."""
    rnd = random.Random(seed)
    V = [mod.Variable(i) for i in range(6)]
    C = [mod.Constant("a"), mod.Constant("b")]

    def term(budget: int) -> tuple[Any, int]:
        if budget <= 1 or rnd.random() < 0.4:
            return (rnd.choice(V) if rnd.random() < 0.7 else rnd.choice(C)), 1
        if rnd.random() < 0.5:
            t, n = term(budget - 1)
            return mod.FunctionApp("f", 1, (t,)), n + 1
        t1, n1 = term((budget - 1) // 2)
        t2, n2 = term((budget - 1) // 2)
        return mod.FunctionApp("g", 2, (t1, t2)), n1 + n2 + 1

    def atom(budget: int) -> tuple[Any, int]:
        if rnd.random() < 0.5:
            t, n = term(max(1, budget - 1))
            return mod.PredicateApp("P", 1, (t,)), n + 1
        t1, n1 = term(max(1, (budget - 1) // 2))
        t2, n2 = term(max(1, (budget - 1) // 2))
        return mod.PredicateApp("Q", 2, (t1, t2)), n1 + n2 + 1

    def formula(budget: int) -> tuple[Any, int]:
        if budget <= 4:
            return atom(budget)
        r = rnd.random()
        if r < 0.15:
            f, n = formula(budget - 1)
            return mod.Not(f), n + 1
        if r < 0.35:
            f, n = formula(budget - 2)
            q = mod.Forall if rnd.random() < 0.5 else mod.Exists
            return q(rnd.choice(V), f), n + 2
        cls = rnd.choice([mod.And, mod.Or, mod.Implies, mod.Iff])
        left, n1 = formula((budget - 1) // 2)
        right, n2 = formula(budget - 1 - n1)
        return cls(left, right), n1 + n2 + 1

    return formula(target_nodes)[0]
