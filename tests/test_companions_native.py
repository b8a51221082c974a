"""The native twin of the hot companions against the Python reference.

``kelvara._native`` must give the same results as the pure-Python
implementation on every input: the same unifiers (in the same insertion
order), the same failures with the same texts, the same substituted formulas
(fresh ids included) sharing the same unchanged parts, and the same clause
order.  Inputs outside its fast path go to the reference; deep inputs raise
RecursionError; nothing leaks.
"""

import pickle
import sys
import tracemalloc
from types import MappingProxyType

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kelvara.core import substitutions
from kelvara.core.ast import (
    Constant,
    Equality,
    Exists,
    Forall,
    FunctionApp,
    Not,
    PredicateApp,
    Variable,
    VariableKind,
)
from kelvara.core.exceptions import UnificationError
from kelvara.core.sorts import Ind, Nat, PrimitiveSort
from kelvara.prover import clausifier
from kelvara.prover.clausifier import Clause, Literal, literal_sort_key
from kelvara.sol.ast_ext import ForallPred, FunctionVariable, PredicateVariable

from helpers import run_isolated
from strategies import atoms, formulas, substitutions as substitution_maps, terms, variables
from twins import functions

native = substitutions._native
PY = functions("python")
pytestmark = pytest.mark.skipif(native is None, reason="built without kelvara._native")

x, y, z = Variable(0), Variable(1), Variable(2)
a, b = Constant("a"), Constant("b")


def f(*args):
    return FunctionApp("f", len(args), tuple(args))


def P(*args):
    return PredicateApp("P", len(args), tuple(args))


def outcome(fn, *args):
    """(result items in order, None) or (None, (exception class, text))."""
    try:
        result = fn(*args)
    except Exception as e:  # noqa: BLE001 - compared between the two implementations
        return None, (type(e), str(e))
    return (list(result.items()) if isinstance(result, dict) else result), None


def test_native_twin_is_the_default():
    assert substitutions.unify_terms is native.unify_terms
    assert substitutions.substitute_formula is native.substitute_formula
    assert clausifier._order_literals is native.sort_literals
    assert PY["unify_terms"] is not native.unify_terms


# --- laws: same results as the reference ------------------------------------


@settings(max_examples=400)
@given(terms(), terms(), substitution_maps(values=terms(max_leaves=3)))
def test_unify_terms_agrees(t1, t2, start):
    # Random starts are often not idempotent: both implementations refuse those alike.
    assert outcome(native.unify_terms, t1, t2) == outcome(PY["unify_terms"], t1, t2)
    assert outcome(native.unify_terms, t1, t2, start) == outcome(PY["unify_terms"], t1, t2, start)


@settings(max_examples=400)
@given(atoms(), atoms())
def test_unify_formulas_agrees(a1, a2):
    assert outcome(native.unify_formulas, a1, a2) == outcome(PY["unify_formulas"], a1, a2)


@settings(max_examples=300)
@given(formulas(), substitution_maps(keys=variables(), values=terms(max_leaves=4), max_size=3))
def test_substitute_formula_agrees_and_shares(formula, mapping):
    ours = native.substitute_formula(formula, mapping)
    ref = PY["substitute_formula"](formula, mapping)
    assert ours == ref
    assert (ours is formula) == (ref is formula)


@settings(max_examples=300)
@given(terms(), substitution_maps())
def test_substitute_term_agrees_and_shares(term, mapping):
    ours = native.substitute_term(term, mapping)
    assert ours == PY["substitute_term"](term, mapping)
    assert (ours is term) == (PY["substitute_term"](term, mapping) is term)


literals = st.builds(Literal, atoms(terms(max_leaves=4)), st.booleans())


@settings(max_examples=300)
@given(st.frozensets(literals, max_size=6))
def test_literal_order_agrees(lits):
    assert native.sort_literals(lits) == PY["sort_literals"](frozenset(Literal(l.atom, l.positive) for l in lits))


@settings(max_examples=300)
@given(literals, literals)
def test_byte_keys_order_as_structural_keys(l1, l2):
    native.sort_literals(frozenset([l1]))
    native.sort_literals(frozenset([l2]))
    k1, k2 = literal_sort_key(l1), literal_sort_key(l2)
    assert (l1._order < l2._order) == (k1 < k2)
    assert (l1._order == l2._order) == (k1 == k2)


@pytest.mark.parametrize(
    "names",
    [
        ("a", "ab", "b"),  # a string sorts before its extensions
        ("a\x00", "a", "a\x01", "a\x02"),  # bytes that the encoding escapes
        ("é", "z", "€", "\U0001f600"),  # code point order across UTF-8 lengths
    ],
)
def test_symbol_names_order_by_code_point(names):
    lits = frozenset(Literal(PredicateApp(n, 1, (Constant(n),))) for n in names)
    assert native.sort_literals(lits) == PY["sort_literals"](lits)
    assert [l.atom.pred for l in native.sort_literals(lits)] == sorted(names)


@pytest.mark.parametrize("ids", [(0, 1, 255, 256, 2**40), (2**62, 2**63 - 1, 5)])
def test_variable_ids_order_numerically(ids):
    lits = frozenset(Literal(P(Variable(i))) for i in ids)
    assert [l.atom.args[0].id for l in native.sort_literals(lits)] == sorted(ids)


@pytest.mark.parametrize("ids", [(2**30 - 1, 2**30, 2**30 + 1, 1), (0, 2**31, 2**29, 7)])
def test_sorts_and_ids_alternating_within_a_literal(ids):
    # Each variable's sort and id are encoded where it stands: alternating
    # sorts and ids on both sides of a one-digit int must keep their own keys.
    lits = frozenset(Literal(P(*(Variable(i, sort=Nat if j % 2 else Ind) for j, i in enumerate(ids[k:] + ids[:k]))))
                     for k in range(len(ids)))
    got = native.sort_literals(lits)
    assert got == tuple(sorted(lits, key=literal_sort_key))
    for l1, l2 in zip(got, got[1:]):
        assert l1._order < l2._order


# --- inputs outside the fast path go to the reference -----------------------


class MyVar(Variable):
    pass


class MyApp(FunctionApp):
    pass


pv = PredicateVariable(0, 1)
fvar = FunctionVariable(1, 1)
Odd = PrimitiveSort("Odd")


@pytest.mark.parametrize(
    "t1,t2",
    [
        (MyVar(0), a),
        (f(MyVar(3)), f(b)),
        (MyApp("f", 1, (x,)), MyApp("f", 1, (a,))),
        (MyApp("f", 1, (x,)), f(a)),
        (FunctionApp(fvar, 1, (x,)), FunctionApp(fvar, 1, (a,))),
        (Variable(2**70), a),
        (x, f(MyVar(0))),
    ],
)
def test_unify_fallback_inputs_agree(t1, t2):
    assert outcome(native.unify_terms, t1, t2) == outcome(PY["unify_terms"], t1, t2)
    assert outcome(native.unify_terms, t1, t2, MappingProxyType({y: a})) == outcome(
        PY["unify_terms"], t1, t2, MappingProxyType({y: a}))


@pytest.mark.parametrize(
    "formula,mapping",
    [
        (ForallPred(pv, P(x)), {x: a}),
        (Forall(MyVar(1), P(x, MyVar(1))), {x: f(MyVar(1))}),
        (P(MyApp("f", 1, (x,))), {x: a}),
        (P(x, y), MappingProxyType({x: a})),
        (Forall(y, P(x, y)), {x: f(y), Variable(2**70): a}),
        (Not(P(x)), {x: MyVar(4)}),
    ],
)
def test_substitute_fallback_inputs_agree(formula, mapping):
    assert native.substitute_formula(formula, mapping) == PY["substitute_formula"](formula, mapping)


@pytest.mark.parametrize(
    "atom",
    [
        PredicateApp(pv, 1, (x,)),
        P(FunctionApp(fvar, 1, (x,))),
        P(MyVar(0)),
        P(Variable(2**70)),
        P(Constant("a", sort=Odd)),
        PredicateApp("P\ud800", 0, ()),  # not encodable as UTF-8
    ],
)
def test_literal_order_fallback_inputs_agree(atom):
    lits = frozenset([Literal(atom), Literal(P(a), False), Literal(P(x))])
    assert native.sort_literals(lits) == PY["sort_literals"](lits)


def test_non_frozenset_goes_to_reference():
    lits = [Literal(P(b)), Literal(P(a))]
    assert native.sort_literals(lits) == PY["sort_literals"](lits) == tuple(sorted(lits, key=literal_sort_key))


# --- capture avoidance, exactly -----------------------------------------------


@pytest.mark.parametrize("impl", ["python", "native"])
def test_capture_renames_with_the_same_fresh_ids(impl):
    sub = functions(impl)["substitute_formula"]
    formula = Exists(z, Forall(y, P(x, y, z, Variable(7))))
    out = sub(formula, {x: f(y, z), Variable(9, sort=Nat): Constant("0", sort=Nat)})
    assert out == Exists(Variable(10), Forall(Variable(11), P(f(y, z), Variable(11), Variable(10), Variable(7))))
    # A bound variable that is replaced only where it is bound stays as it is.
    assert sub(Forall(x, P(x)), {x: f(x)}) == Forall(x, P(x))


# --- failures and their texts -----------------------------------------------


@pytest.mark.parametrize("impl", ["python", "native"])
@pytest.mark.parametrize(
    "fn,t1,t2,text",
    [
        ("unify_terms", x, f(x), "occurs check: {x!r} occurs in {fx!r}"),
        ("unify_terms", f(a), FunctionApp("g", 1, (a,)), "symbol clash: {fa!r} and {ga!r}"),
        ("unify_terms", a, b, "cannot unify {a!r} with {b!r}"),
        ("unify_terms", x, Variable(0, sort=Nat), "sort mismatch: cannot bind {x!r} of sort Ind to {n!r} of sort Nat"),
        ("unify_formulas", P(x), PredicateApp("Q", 1, (x,)), "predicate clash: {px!r} and {qx!r}"),
        ("unify_formulas", P(x), Not(P(x)), "cannot unify PredicateApp with Not"),
    ],
)
def test_failure_texts(impl, fn, t1, t2, text):
    names = dict(x=x, fx=f(x), fa=f(a), ga=FunctionApp("g", 1, (a,)), a=a, b=b, n=Variable(0, sort=Nat),
                 px=P(x), qx=PredicateApp("Q", 1, (x,)))
    with pytest.raises(UnificationError) as info:
        functions(impl)[fn](t1, t2)
    assert str(info.value) == text.format(**names)
    assert info.value.args[1:] == (t1, t2) or info.value.args[1:] == (t2, t1)


def test_unification_error_keeps_plain_messages_and_pickles():
    assert str(UnificationError("refused")) == "refused"
    assert UnificationError("refused").reason == "refused"
    err = UnificationError("symbol clash", f(a), f(b))
    again = pickle.loads(pickle.dumps(err))
    assert type(again) is UnificationError and str(again) == str(err) == f"symbol clash: {f(a)!r} and {f(b)!r}"


class Loud:
    """A mapping value whose repr raises: the text is never needed by a caught failure."""

    sort = None

    def __repr__(self):
        raise RuntimeError("repr refused")


def test_caught_failures_never_build_their_text():
    start = {y: f(a)}
    with pytest.raises(UnificationError):
        native.unify_terms(f(y), f(b), start)
    loud = Constant("loud")
    for fn in (native.unify_terms, PY["unify_terms"]):
        with pytest.raises(UnificationError) as info:
            fn(loud, b)
        assert info.value.args == ("cannot unify", loud, b)


@pytest.mark.parametrize(
    "fn,args,kwargs",
    [
        ("unify_terms", (x,), {}),
        ("unify_terms", (x, a), {"other": 1}),
        ("unify_terms", (x, a, {}, 4), {}),
        ("unify_terms", (x,), {"t1": a}),
        ("unify_formulas", (), {"a2": P(x)}),
        ("substitute_formula", (P(x),), {}),
        ("substitute_term", (), {}),
    ],
)
def test_argument_errors_match(fn, args, kwargs):
    with pytest.raises(TypeError) as ours:
        getattr(native, fn)(*args, **kwargs)
    with pytest.raises(TypeError) as ref:
        PY[fn](*args, **kwargs)
    assert str(ours.value) == str(ref.value)


def test_keywords_are_accepted():
    assert native.unify_terms(t1=x, t2=a, subst={y: b}) == {y: b, x: a}
    assert native.unify_formulas(P(x), a2=P(a)) == {x: a}
    assert native.substitute_formula(formula=P(x), mapping={x: a}) == P(a)
    assert native.substitute_term(mapping={x: a}, term=f(x)) == f(a)


def test_errors_from_node_construction_agree():
    # A replacement of the wrong kind is rejected by the node constructors.
    assert outcome(native.substitute_formula, P(x), {x: P(a)}) == outcome(PY["substitute_formula"], P(x), {x: P(a)})


# --- deep inputs, references, memory ----------------------------------------


def test_deep_terms_raise_recursion_error_without_crashing():
    proc = run_isolated(
        """
        import sys
        from kelvara import _native
        from kelvara.core.ast import Variable, Constant, FunctionApp, PredicateApp
        from kelvara.prover.clausifier import Literal
        x, a = Variable(0), Constant("a")
        t = x
        for _ in range(200000):
            t = FunctionApp("f", 1, (t,))
        for call in (lambda: _native.substitute_term(t, {x: a}),
                     lambda: _native.substitute_formula(PredicateApp("P", 1, (t,)), {x: a}),
                     lambda: _native.sort_literals(frozenset([Literal(PredicateApp("P", 1, (t,))),
                                                              Literal(PredicateApp("P", 1, (a,)))]))):
            try:
                call()
            except RecursionError:
                print("recursion")
        try:
            _native.unify_terms(t, FunctionApp("f", 1, (t,)))
        except Exception as e:
            print(type(e).__name__)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["recursion"] * 3 + ["UnificationError"]


def test_shared_children_keep_their_reference_counts():
    t = f(x, a)
    before = (sys.getrefcount(x), sys.getrefcount(a), sys.getrefcount(t))
    for _ in range(100):
        native.unify_terms(f(y, t), f(t, y))
        native.substitute_formula(Forall(y, P(t, y)), {x: f(y)})
        try:
            native.unify_terms(t, f(x, b))
        except UnificationError:
            pass
    assert (sys.getrefcount(x), sys.getrefcount(a), sys.getrefcount(t)) == before


def _churn():
    lits = [Literal(P(f(x), y)), Literal(P(a, Variable(3)), False), Literal(Equality(f(y), z))]
    Clause(frozenset(Literal(l.atom, l.positive) for l in lits))
    native.unify_formulas(P(f(x), y), P(f(a), f(z)))
    for pair in ((P(f(x), y), P(b, y)), (P(x), P(f(x))), (P(x, MyVar(1)), P(a, b))):
        try:
            native.unify_formulas(*pair)
        except UnificationError:
            pass
    native.substitute_formula(Exists(y, Forall(z, P(x, y, z))), {x: f(y, z)})
    native.substitute_formula(ForallPred(pv, P(x)), {x: a})
    native.sort_literals(frozenset([Literal(PredicateApp(pv, 1, (x,))), Literal(P(a))]))


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


@pytest.mark.parametrize("impl", ["native", "python"])
@pytest.mark.parametrize(
    "start",
    ["{x: f(x)}", "{x: y, y: x}", "{x: f(y), y: g(x)}"],
)
def test_non_idempotent_start_is_refused_not_looped(impl, start):
    r = run_isolated(
        f"""
        from kelvara.core import substitutions
        from kelvara.core.ast import FunctionApp, Variable
        fns = substitutions.python_implementation if "{impl}" == "python" else vars(substitutions._native)
        x, y = Variable(0), Variable(1)
        f = lambda t: FunctionApp("f", 1, (t,))
        g = lambda t: FunctionApp("g", 1, (t,))
        for call in (lambda s: fns["unify_terms"](x, f(x), s), lambda s: fns["unify_terms"](y, x, s)):
            try:
                call({start})
            except ValueError as e:
                assert str(e) == "the substitution to extend is not idempotent", e
            else:
                raise AssertionError("accepted")
        print("ok")
        """,
        timeout=60,
    )
    assert r.returncode == 0 and r.stdout.strip() == "ok", r.stderr[-2000:]


def test_idempotent_starts_with_self_bindings_are_accepted():
    for fn in (native.unify_terms, PY["unify_terms"]):
        assert fn(x, a, {y: y}) == {y: y, x: a}
        assert fn(x, f(y), {z: f(y)}) == {z: f(y), x: f(y)}
