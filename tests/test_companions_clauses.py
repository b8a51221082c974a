"""The native Literal and Clause classes against their Python twins.

Both are built from the same inputs and must agree on everything a caller can
see: texts, hashes, equality, literal order, free variables, substitution,
pickling, argument errors, immutability.  The native classes also keep their
cycle-collector state, reference counts and memory in order, and survive deep
and junk inputs.
"""

import copy
import gc
import pickle
import sys
import tracemalloc
from dataclasses import FrozenInstanceError
from types import MappingProxyType

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kelvara import _native
from kelvara.core.ast import Constant, Equality, FunctionApp, PredicateApp, Variable
from kelvara.core.sorts import Nat
from kelvara.prover import clausifier, rules, saturation

from helpers import Raising, run_isolated
from strategies import atoms, substitutions as substitution_maps, terms, variables
from twins import functions

PY = functions("python")
NAT = functions("native")
TWINS = pytest.mark.parametrize("impl", [PY, NAT], ids=["python", "native"])

x, y, z = Variable(0), Variable(1), Variable(2)
a, b = Constant("a"), Constant("b")


def f(*args):
    return FunctionApp("f", len(args), tuple(args))


def P(*args):
    return PredicateApp("P", len(args), tuple(args))


def Q(*args):
    return PredicateApp("Q", len(args), tuple(args))


signed_atoms = st.tuples(atoms(terms(max_leaves=4)), st.booleans())
literal_specs = st.lists(signed_atoms, max_size=6)


def build(impl, specs):
    """A clause of implementation ``impl`` from (atom, sign) pairs."""
    return impl["Clause"](frozenset(impl["Literal"](atom, sign) for atom, sign in specs))


def pairs(clause):
    return [(lit.atom, lit.positive) for lit in clause.literals]


def outcome(fn, *args, **kwargs):
    """(result, None) or (None, (exception class, text))."""
    try:
        return fn(*args, **kwargs), None
    except Exception as e:  # noqa: BLE001 - compared between the twins
        return None, (type(e), str(e))


class NoBool:
    def __bool__(self):
        raise RuntimeError("no truth value")


# --- wiring -------------------------------------------------------------------


def test_native_classes_are_exported_everywhere():
    assert clausifier.Literal is _native.Literal and clausifier.Clause is _native.Clause
    assert rules.Clause is _native.Clause and rules.Literal is _native.Literal
    assert saturation.Clause is _native.Clause
    assert PY["Literal"] is not _native.Literal and PY["Literal"].__module__ == "kelvara.prover.clausifier"
    assert (_native.Literal.__module__, _native.Literal.__qualname__) == ("kelvara.prover.clausifier", "Literal")
    assert (_native.Clause.__module__, _native.Clause.__qualname__) == ("kelvara.prover.clausifier", "Clause")


def test_clausifier_builds_native_records():
    clauses = clausifier.to_cnf(P(x))
    assert [type(c) for c in clauses] == [_native.Clause]
    assert all(isinstance(lit, clausifier.Literal) for c in clauses for lit in c)


# --- laws: the twins agree ----------------------------------------------------


@settings(max_examples=300)
@given(literal_specs)
def test_clauses_agree_with_the_reference(specs):
    ours, ref = build(NAT, specs), build(PY, specs)
    assert pairs(ours) == pairs(ref)
    assert hash(ours) == hash(ref) and ours._hash_cache == ref._hash_cache
    assert (str(ours), repr(ours)) == (str(ref), repr(ref))
    assert len(ours) == len(ref) and ours.is_empty() == ref.is_empty()
    assert ours.free_variables() == ref.free_variables()
    for o, r in zip(ours, ref):
        assert (str(o), repr(o), hash(o)) == (str(r), repr(r), hash(r))
        assert (o.negate().atom, o.negate().positive) == (r.negate().atom, r.negate().positive)
        assert o in ours and (o.negate() in ours) == (r.negate() in ref)
    assert ours.literal_set == frozenset(ours.literals) and ours._set is ours.literal_set


@settings(max_examples=300)
@given(literal_specs, literal_specs)
def test_equality_agrees_with_the_reference(s1, s2):
    n1, n2, p1, p2 = build(NAT, s1), build(NAT, s2), build(PY, s1), build(PY, s2)
    assert (n1 == n2) == (p1 == p2) == (frozenset(s1) == frozenset(s2))
    assert (n1 != n2) == (p1 != p2)
    if n1 == n2:
        assert hash(n1) == hash(n2)
    assert n1 == build(NAT, list(reversed(s1)))


@settings(max_examples=300)
@given(literal_specs, substitution_maps(keys=variables(), values=terms(max_leaves=3), max_size=3))
def test_substitute_agrees_with_the_reference(specs, mapping):
    ours, ref = build(NAT, specs), build(PY, specs)
    out, expected = ours.substitute(mapping), ref.substitute(mapping)
    assert type(out) is NAT["Clause"]
    assert pairs(out) == pairs(expected) and hash(out) == hash(expected)
    assert out is not ours and ours == build(NAT, specs)
    for o, r in zip(ours, ref):
        lo, lr = o.substitute(mapping), r.substitute(mapping)
        assert (lo.atom, lo.positive) == (lr.atom, lr.positive)
        assert (lo is o) == (lr is r)


@settings(max_examples=200)
@given(literal_specs)
def test_pickle_and_copies_round_trip(specs):
    c = build(NAT, specs)
    for again in (pickle.loads(pickle.dumps(c)), copy.copy(c), copy.deepcopy(c)):
        assert type(again) is NAT["Clause"] and again == c and pairs(again) == pairs(c)
    for lit in c:
        assert pickle.loads(pickle.dumps(lit)) == lit and copy.deepcopy(lit) == lit


@TWINS
def test_pickle_names_the_exported_class(impl, monkeypatch):
    monkeypatch.setattr(clausifier, "Literal", impl["Literal"])
    monkeypatch.setattr(clausifier, "Clause", impl["Clause"])
    c = impl["Clause"](frozenset([impl["Literal"](P(x), False)]))
    assert c.__reduce__() == (impl["Clause"], (c.literal_set,))
    assert c.literals[0].__reduce__() == (impl["Literal"], (P(x), False))
    assert pickle.loads(pickle.dumps(c)) == c


# --- fixed behaviour, both twins -------------------------------------------------


@TWINS
@pytest.mark.parametrize(
    "spec,text",
    [
        ((), "[]"),
        (((P(x), True),), "P(v0)"),
        (((Q(x, a), False), (Equality(f(x), a), True), (P(Variable(3, sort=Nat)), True)),
         "P(v3:Nat) | ~Q(v0, a) | f(v0) = a"),
    ],
)
def test_texts(impl, spec, text):
    c = build(impl, spec)
    assert str(c) == text
    inner = ", ".join(repr(lit) for lit in c.literals)
    assert repr(c) == (f"Clause(frozenset({{{inner}}}))" if spec else "Clause(frozenset())")
    for lit in c:
        assert repr(lit) == f"Literal(atom={lit.atom!r}, positive={lit.positive!r})"


@TWINS
@pytest.mark.parametrize("positive,expected", [(1, True), (0, False), ("", False), ([0], True), (None, False)])
def test_positive_is_converted_to_bool(impl, positive, expected):
    lit = impl["Literal"](atom=P(a), positive=positive)
    assert lit.positive is expected
    assert lit == impl["Literal"](P(a), expected)
    assert hash(lit) == hash((P(a), expected))
    assert lit.__match_args__ == ("atom", "positive")


@pytest.mark.parametrize(
    "cls,args,kwargs",
    [
        ("Literal", (), {}),
        ("Literal", (P(a), True, 3), {}),
        ("Literal", (P(a),), {"atom": P(b)}),
        ("Literal", (), {"positive": True}),
        ("Literal", (P(a),), {"sign": True}),
        ("Literal", ([],), {}),
        ("Literal", (P(a), NoBool()), {}),
        ("Literal", (Raising(hash_=True),), {}),
        ("Literal", (a,), {}),
        ("Literal", (f(x),), {}),
        ("Literal", (None,), {}),
        ("Clause", ([P(a)],), {}),
        ("Clause", (frozenset([Equality(a, b)]),), {}),
        ("Clause", (frozenset(), 2), {}),
        ("Clause", (), {"lits": frozenset()}),
        ("Clause", (3,), {}),
        ("Clause", ([[1]],), {}),
        ("Clause", ([1, 2],), {}),
    ],
)
def test_construction_errors_agree(cls, args, kwargs):
    ours = outcome(NAT[cls], *args, **kwargs)
    ref = outcome(PY[cls], *args, **kwargs)
    assert ours[1] is not None and ours[1] == ref[1]


def test_truth_value_errors_propagate():
    for impl in (NAT, PY):
        with pytest.raises(RuntimeError, match="no truth value"):
            impl["Literal"](P(a), NoBool())


@pytest.mark.parametrize(
    "call",
    [
        lambda i, c, l: l.negate(1),
        lambda i, c, l: l.substitute(),
        lambda i, c, l: l.substitute({}, {}),
        lambda i, c, l: l.substitute(mapping={}, other=1),
        lambda i, c, l: c.substitute(),
        lambda i, c, l: c.free_variables(1),
        lambda i, c, l: c.is_empty(x=1),
        lambda i, c, l: l.__reduce__(1),
    ],
)
def test_method_argument_errors_agree(call):
    texts = []
    for impl in (NAT, PY):
        lit = impl["Literal"](P(x))
        c = impl["Clause"](frozenset([lit]))
        with pytest.raises(TypeError) as info:
            call(impl, c, lit)
        texts.append(str(info.value))
    assert texts[0] == texts[1]


@TWINS
@pytest.mark.parametrize("name", ["atom", "positive", "literals", "_key", "anything"])
def test_records_are_frozen(impl, name):
    lit = impl["Literal"](P(x))
    c = impl["Clause"](frozenset([lit]))
    for obj in (lit, c):
        with pytest.raises(FrozenInstanceError, match=f"^cannot assign to field '{name}'$"):
            setattr(obj, name, None)
        with pytest.raises(FrozenInstanceError, match=f"^cannot assign to field '{name}'$"):
            delattr(obj, name)
    assert lit.atom == P(x) and c.literals == (lit,)


@TWINS
def test_cache_slots_accept_object_setattr(impl):
    lit = impl["Literal"](P(x))
    assert lit._key is None and lit._order is None
    key = clausifier.literal_sort_key(lit)
    assert lit._key is key and clausifier.literal_sort_key(lit) is key
    object.__setattr__(lit, "_order", b"\x01")
    assert lit._order == b"\x01"


@TWINS
def test_equality_is_class_exact(impl):
    L, C = impl["Literal"], impl["Clause"]

    class Sub(L):
        pass

    lit, sub = L(P(x)), Sub(P(x))
    other = (NAT if impl is PY else PY)["Literal"](P(x))
    assert lit != other and not (lit == other)
    assert sub == lit and lit == sub  # the exact class decides, as in the twins
    assert sub != Sub(P(x))  # two instances of a subclass compare by identity
    assert sub == sub
    assert lit.__eq__(P(x)) is NotImplemented and lit.__lt__(lit) is NotImplemented
    assert C(frozenset([lit])) != frozenset([lit])
    with pytest.raises(TypeError):
        C() < C()  # noqa: B015


@TWINS
def test_subclasses_initialise_through_init(impl):
    L, C = impl["Literal"], impl["Clause"]

    class Tagged(L):
        def __init__(self, atom, tag):
            super().__init__(atom, tag > 0)
            object.__setattr__(self, "tag", tag)

    class Counted(C):
        def __init__(self, *lits):
            super().__init__(frozenset(lits))

    t = Tagged(P(a), -1)
    assert (t.atom, t.positive, t.tag, hash(t)) == (P(a), False, -1, hash((P(a), False)))
    c = Counted(L(P(a)), L(P(b)))
    assert len(c) == 2 and c == C(frozenset([L(P(a)), L(P(b))]))
    assert type(c.substitute({x: a})) is C
    assert gc.is_tracked(t) and gc.is_tracked(c)
    with pytest.raises(FrozenInstanceError):
        t.tag = 0


@TWINS
def test_substitute_honours_the_clausifier_substitution(impl, monkeypatch):
    calls = []

    def spy(formula, mapping):
        calls.append(formula)
        return PY["substitute_formula"](formula, mapping)

    monkeypatch.setattr(clausifier, "substitute_formula", spy)
    c = impl["Clause"](frozenset([impl["Literal"](P(x)), impl["Literal"](Q(y), False)]))
    out = c.substitute({x: a})
    assert sorted(map(str, calls)) == sorted(str(lit.atom) for lit in c)
    assert str(out) == "P(a) | ~Q(v1)"


@TWINS
@pytest.mark.parametrize("mapping", [MappingProxyType({x: a}), {x: a, Variable(9): b}])
def test_substitute_accepts_any_mapping(impl, mapping):
    c = build(impl, [(P(x), True), (P(a), True), (Q(y), False)])
    out = c.substitute(mapping)
    assert str(out) == "P(a) | ~Q(v1)" and len(out) == 2


# --- native specifics: sharing, GC, references, memory ------------------------


def test_untouched_clause_shares_its_parts():
    L, C = NAT["Literal"], NAT["Clause"]
    c = C(frozenset([L(P(x, a)), L(Q(y), False)]))
    for mapping in ({}, {z: a}, {Variable(0, sort=Nat): a}):
        out = c.substitute(mapping)
        assert out is not c and out == c
        assert out.literals is c.literals and out.literal_set is c.literal_set
    touched = c.substitute({y: b})
    assert touched.literals[0] is c.literals[0]  # the untouched literal itself
    assert touched.literals[1] == L(Q(b), False)


def test_gc_tracking():
    L, C = NAT["Literal"], NAT["Clause"]
    plain = L(P(f(x), a))
    assert not gc.is_tracked(plain)
    c = C(frozenset([plain, L(Equality(x, b), False)]))
    assert not gc.is_tracked(c) and not gc.is_tracked(c.literals)
    assert not gc.is_tracked(c.substitute({x: a})) and not gc.is_tracked(c.substitute({x: a}).literal_set)
    tracked_atom = TrackedAtom("P", 0, ())
    assert gc.is_tracked(tracked_atom)
    junk = L(atom=tracked_atom)
    assert gc.is_tracked(junk) and gc.is_tracked(C(frozenset([junk, plain])))
    with pytest.raises(TypeError, match="^Clause literals must be Literal, not int$"):
        C(frozenset([1]))
    object.__setattr__(plain, "_key", [1])
    assert gc.is_tracked(plain)


class Marker:
    pass


def test_cycles_through_cache_slots_are_collected():
    import weakref

    lit = NAT["Literal"](P(a))
    marker = Marker()
    alive = weakref.ref(marker)
    object.__setattr__(lit, "_key", [lit, marker])
    assert gc.is_tracked(lit)
    del lit, marker
    gc.collect()
    assert alive() is None


def test_reference_counts_are_restored():
    L, C = NAT["Literal"], NAT["Clause"]
    atom, other = P(f(x), y), Q(x, a)
    mapping = {x: a}
    before = [sys.getrefcount(o) for o in (atom, other, a, mapping)]
    for _ in range(200):
        c = C(frozenset([L(atom), L(other, False)]))
        c.substitute(mapping).free_variables()
        c.substitute({})
        str(c), repr(c), pickle.loads(pickle.dumps(c))
        try:
            L(atom, NoBool())
        except RuntimeError:
            pass
        try:
            C([1, 2])
        except TypeError:
            pass
        try:
            L(a)
        except TypeError:
            pass
    del c
    assert [sys.getrefcount(o) for o in (atom, other, a, mapping)] == before


def _churn():
    L, C = NAT["Literal"], NAT["Clause"]
    c = C(frozenset([L(P(f(x), y)), L(Q(x, a), False), L(Equality(f(y), z))]))
    c.substitute({x: b, y: f(z)}).substitute({z: a})
    c.free_variables()
    C([L(P(a))]).literals[0].negate()
    try:
        L([])
    except TypeError:
        pass
    str(c)


def test_memory_stays_flat():
    for _ in range(200):
        _churn()
    tracemalloc.start()
    try:
        first = tracemalloc.get_traced_memory()[0]
        for _ in range(3000):
            _churn()
        growth = tracemalloc.get_traced_memory()[0] - first
    finally:
        tracemalloc.stop()
    assert growth < 64 * 1024, growth


class HashRefusedAtom(PredicateApp):
    def __hash__(self):
        raise RuntimeError("hash refused")


class EqRefusedAtom(PredicateApp):
    __hash__ = PredicateApp.__hash__

    def __eq__(self, other):
        raise RuntimeError("eq refused")


class TrackedAtom(PredicateApp):
    """An atom of a subclass: instances have a __dict__, so the collector tracks them."""


@pytest.mark.parametrize("which", ["hash", "eq"])
def test_raising_atoms_propagate(which):
    for impl in (NAT, PY):
        if which == "hash":
            with pytest.raises(RuntimeError, match="hash refused"):
                impl["Literal"](HashRefusedAtom("P", 0, ()))
        else:
            l1, l2 = impl["Literal"](EqRefusedAtom("P", 0, ())), impl["Literal"](EqRefusedAtom("P", 0, ()))
            with pytest.raises(RuntimeError, match="eq refused"):
                l1 == l2  # noqa: B015
            # Equal hashes: building the set compares the atoms.
            assert outcome(impl["Clause"], [l1, l2])[1] == (RuntimeError, "eq refused")


def test_deep_chains_neither_crash_nor_overflow():
    proc = run_isolated(
        """
        from kelvara.core.ast import PredicateApp, Variable, FunctionApp
        from kelvara.prover.clausifier import Clause, Literal
        # Literals of literals and clauses of clauses, once the way to deep
        # chains of companions, are refused outright.
        lit = Literal(PredicateApp("P", 0, ()))
        for nested in (lambda: Literal(lit, False), lambda: Clause(frozenset([Clause()]))):
            try:
                nested()
            except TypeError:
                print("refused")
        t = Variable(0)
        for _ in range(100000):
            t = FunctionApp("f", 1, (t,))
        try:
            Clause(frozenset([Literal(PredicateApp("P", 1, (t,))), Literal(PredicateApp("Q", 1, (t,)))]))
        except RecursionError:
            print("recursion")
        deep = Clause(frozenset([Literal(PredicateApp("P", 1, (t,)))]))
        try:
            deep.substitute({Variable(0): Variable(1)})
        except RecursionError:
            print("recursion")
        for fn in (repr, str):
            try:
                fn(deep)
            except RecursionError:
                print("recursion")
        print(len(deep.free_variables()))
        """
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split() == ["refused"] * 2 + ["recursion"] * 4 + ["1"]
