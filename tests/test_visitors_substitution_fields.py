"""Substitution over variables that are equal without being the same object,
and over variables whose hashes collide although they differ.  The whole walk
of a pristine SubstitutionTransformer reads such variables' fields in place,
searches small free-variable sets through their tables and picks fresh ids
from the ids it reads; each case is checked against the per-node path of the
same class (which compares as Python does) and against the expected value.
"""

from __future__ import annotations

import pytest

from test_visitors_fast_paths import children, labels
from test_visitors_fast_paths import sharing as positions

from kelvara.core import visitors as V
from kelvara.core.ast import (
    Equality,
    Exists,
    Forall,
    FunctionApp,
    Not,
    PredicateApp,
    Variable,
    VariableKind,
)
from kelvara.core.sorts import Nat, PrimitiveSort

# Ints n and n + M hash alike, and so do Variables whose ids differ by M.
M = 2**61 - 1
BIG = 2**70


def own_int(n: int) -> int:
    """An int equal to n but a different object (outside the small-int cache)."""
    return int(str(n))


def P(*args):
    return PredicateApp("P", len(args), tuple(args))


def f(*args):
    return FunctionApp("f", len(args), tuple(args))


def sharing(result, f, mapping):
    """Each position of `result` with the input subtree or mapping value found
    there (by identity), None for a new object."""
    return positions(result, labels(f, mapping))


def substitute_both(mapping, node):
    """The whole walk's result and the per-node path's (an instance attribute
    starting with '_' sends a visitor down the per-node path)."""
    before = V._whole_walks()
    fast = V.SubstitutionTransformer(mapping).visit(node)
    assert V._whole_walks() == before + 1, "the case never reached the whole walk"
    slow = V.SubstitutionTransformer(dict(mapping))
    slow._per_node = True
    per_node = slow.visit(node)
    assert fast == per_node
    assert type(fast) is type(per_node)
    assert sharing(fast, node, mapping) == sharing(per_node, node, mapping)
    return fast


def contains(node, target) -> bool:
    return node is target or any(contains(ch, target) for ch in children(node))


# (key, variable in the formula, whether the key replaces it)
PAIRS = {
    "same small id, other int object": (Variable(own_int(700)), Variable(own_int(700)), True),
    "same big id, other int object": (Variable(own_int(BIG)), Variable(own_int(BIG)), True),
    "ids colliding in hash": (Variable(5), Variable(5 + M), False),
    "ids colliding in hash, key big": (Variable(5 + M), Variable(5), False),
    "other sort": (Variable(3, sort=Nat), Variable(3), False),
    "other kind": (Variable(3, VariableKind.PREDICATE), Variable(3), False),
}

# Where the variable stands: alone under a connective, in an atom whose free
# variables are that one, a few (a small set) or many (a larger one), deep in a
# term, in an equation, and under a quantifier of another variable.
others = [Variable(i) for i in (11, 12, 13, 14, 15)]
PLACES = {
    "atom of one": lambda v: Not(P(v)),
    "atom of three": lambda v: P(others[0], v, others[1]),
    "atom of four": lambda v: P(others[0], others[1], others[2], v),
    "atom of six": lambda v: P(*others, v),
    "deep term": lambda v: P(f(f(others[0], f(v)))),
    "equation": lambda v: Equality(f(others[0], others[1]), f(v)),
    "under a quantifier": lambda v: Forall(others[4], P(others[4], others[0], v)),
}


@pytest.mark.parametrize("place", sorted(PLACES))
@pytest.mark.parametrize("pair", sorted(PAIRS))
def test_keys_match_exactly_the_equal_variables(pair, place):
    key, var, matches = PAIRS[pair]
    assert key is not var
    if "colliding" in pair:
        assert hash(key) == hash(var) and key != var
    node = PLACES[place](var)
    value = FunctionApp("g", 1, (others[3],))
    out = substitute_both({key: value}, node)
    assert contains(out, value) is matches
    if not matches and place != "under a quantifier":
        assert out is node


@pytest.mark.parametrize("pair", sorted(PAIRS))
def test_a_colliding_or_equal_key_beside_the_matching_one(pair):
    # Two keys: the set search must find the second when the first only
    # collides with (or only differs in sort or kind from) the variable.
    key, var, matches = PAIRS[pair]
    node = P(others[0], var, others[1])
    first, second = FunctionApp("g", 1, (others[3],)), FunctionApp("h", 0, ())
    out = substitute_both({key: first, others[1]: second}, node)
    assert contains(out, first) is matches
    assert contains(out, second)


@pytest.mark.parametrize(
    "ids, expected",
    [
        ((9, 3, 12, 5), 13),
        ((12, 9, 5, 3), 13),
        ((3, BIG, 7), BIG + 1),
        ((BIG, 3 + M, 2), BIG + 1),
        ((5 + M, 5, 1), 5 + M + 1),
    ],
)
def test_fresh_id_is_one_above_the_largest_id_in_view(ids, expected):
    # The bound variable 1 is captured by the replacement f(1); every id in
    # view (body, replacement, keys) counts towards the fresh one.
    bound = Variable(1)
    vs = [Variable(own_int(i)) for i in ids]
    node = Exists(bound, P(bound, *vs[1:]))
    out = substitute_both({vs[0]: f(bound, vs[-1])}, node)
    assert out.variable == Variable(expected)
    assert out.variable.id == expected


MASK64 = 2**64 - 1
XX1, XX2, XX5 = 11400714785074694791, 14029467366897019727, 2870177450012600261


def tuple_hash(hashes) -> int:
    """hash() of a tuple whose items hash to `hashes` (the interpreter's
    tuple hash since 3.8)."""
    acc = XX5
    for h in hashes:
        acc = (acc + (h & MASK64) * XX2) & MASK64
        acc = ((acc << 31) | (acc >> 33)) & MASK64
        acc = (acc * XX1) & MASK64
    acc = (acc + (len(hashes) ^ (XX5 ^ 3527539))) & MASK64
    if acc == MASK64:
        return 1546275796
    return acc - 2**64 if acc >= 2**63 else acc


def after_two(first: int, second: int) -> int:
    """The tuple hash's accumulator after its first two items."""
    acc = XX5
    for h in (first, second):
        acc = (acc + (h & MASK64) * XX2) & MASK64
        acc = ((acc << 31) | (acc >> 33)) & MASK64
        acc = (acc * XX1) & MASK64
    return acc


def colliding_other_sort(var):
    """A Variable of another (interned) sort and the same kind whose hash
    equals that of `var`: its id is solved for from the tuple hash of
    (sort, id, kind), trying sorts until the id comes out a non-negative int."""
    inverse = pow(XX2, -1, 2**64)
    for j in range(400):
        sort = PrimitiveSort(f"Colliding{j}")
        # The first step of the hash differs by the sort; the id's lane makes up for it.
        step = lambda h: (((XX5 + (h & MASK64) * XX2) & MASK64) << 31 | ((XX5 + (h & MASK64) * XX2) & MASK64) >> 33) & MASK64
        lane = (hash(var.id) + ((step(hash(var.sort)) * XX1 - step(hash(sort)) * XX1) & MASK64) * inverse) & MASK64
        if lane < M and after_two(hash(sort), lane) == after_two(hash(var.sort), hash(var.id)):
            return Variable(lane, var.kind, sort=sort)
    return None


def test_a_key_of_another_sort_with_the_same_hash_does_not_match():
    assert tuple_hash((hash(Nat), 3, hash(VariableKind.INDIVIDUAL))) == hash(Variable(3, sort=Nat))
    for var in (Variable(2), Variable(7, sort=Nat), Variable(4, VariableKind.FUNCTION)):
        key = colliding_other_sort(var)
        assert key is not None, "no colliding id of another sort"
        assert hash(key) == hash(var) and key != var and key.sort is not var.sort
        for node in (Not(P(var)), P(others[0], var, others[1]), P(*others, var)):
            value = FunctionApp("g", 1, (others[3],))
            assert substitute_both({key: value}, node) is node
            both_keys = {key: value, var: FunctionApp("h", 0, ())}
            out = substitute_both(both_keys, node)
            assert not contains(out, value) and contains(out, both_keys[var])


@pytest.mark.parametrize("width", [2, 3, 4, 5])
def test_every_variable_of_an_atom_is_found_wherever_its_set_keeps_it(width):
    # Many atoms of `width` variables: between them the variables fill every
    # slot of the free-variable sets' tables; each one, looked up through an
    # equal key of its own, is replaced, and a key that is in no atom changes nothing.
    value = FunctionApp("g", 0, ())
    absent = Variable(own_int(999))
    for start in range(0, 60, width):
        vs = [Variable(own_int(300 + start + i)) for i in range(width)]
        node = P(*vs)
        assert substitute_both({absent: value}, node) is node
        for i, v in enumerate(vs):
            out = substitute_both({Variable(own_int(v.id)): value}, node)
            assert out.args == tuple(value if j == i else w for j, w in enumerate(vs))


# A capture: the quantifier step's collector finds Variable(1) free in the
# replacement f(Variable(1)), so the binder is renamed to Variable(3).
captured = Forall(Variable(1), P(Variable(1), Variable(2)))
capture_map = {Variable(2): f(Variable(1))}
renamed = Forall(Variable(3), P(Variable(3), f(Variable(1))))


def whole_walk_of(node, mapping):
    before = V._whole_walks()
    out = V.SubstitutionTransformer(mapping).visit(node)
    return out, V._whole_walks() == before + 1


def test_a_handler_given_to_the_collector_between_walks_is_used():
    assert whole_walk_of(captured, capture_map) == (renamed, True)
    seen = []

    def visit_variable(self, node):
        seen.append(node)
        return {node}

    own = V.FreeVariableCollector.__dict__["visit_variable"]
    V.FreeVariableCollector.visit_variable = visit_variable
    try:
        out, whole = whole_walk_of(captured, capture_map)
        assert (out, whole) == (renamed, False)
        assert seen == [Variable(1), Variable(1), Variable(2)]  # the replacement, then the body
    finally:
        V.FreeVariableCollector.visit_variable = own
    assert whole_walk_of(captured, capture_map) == (renamed, True)
    assert len(seen) == 3


def test_a_row_changed_in_the_collectors_table_between_walks_is_used():
    # Routed to visit_constant, a variable has no free variables: the collector
    # then finds no capture, and the binder keeps its name.
    assert whole_walk_of(captured, capture_map) == (renamed, True)
    table = V.FreeVariableCollector._dispatch_table
    own = table[Variable]
    table[Variable] = "visit_constant"
    try:
        out, whole = whole_walk_of(captured, capture_map)
        assert not whole
        assert out == Forall(Variable(1), P(Variable(1), f(Variable(1))))
    finally:
        table[Variable] = own
    assert whole_walk_of(captured, capture_map) == (renamed, True)
