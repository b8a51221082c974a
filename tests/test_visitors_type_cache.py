"""The per-class cache of the visitors stays filled for the classes in use.

Classes are cached by address in sets of two ways: two visitor classes whose
addresses fall into one set are both kept, so alternating between them (as a
substitution alternates between its transformer and the classes its
quantifier steps consult) refills nothing; a third class in the set displaces
the one used least recently, and a changed class is read again.
"""

import pytest

import kelvara.core.visitors as V
from kelvara.core.ast import Constant, Forall, FunctionApp, PredicateApp, Variable

SETS = 8

x, y = Variable(0), Variable(1)
f = Forall(x, PredicateApp("P", 2, (x, y)))


def set_of(cls):
    """The cache's set of a class: the top three bits of a multiplicative hash of its address."""
    return (((id(cls) >> 4) * 0x9E3779B97F4A7C15) % 2**64) >> 61


# The module's own visitor classes: walks consult some of them (a substitution's
# quantifier steps use collectors and stand-in transformers), so a set that
# holds one of them has a way taken already.
CONSULTED = {set_of(cls) for cls in vars(V).values()
             if isinstance(cls, type) and issubclass(cls, (V.ASTVisitor, V.ASTTransformer))}


def colliding_classes(base, n, into=None):
    """n subclasses of `base` whose addresses fall into one set of the cache:
    the set of the class `into` when given, else one that none of the
    module's visitor classes hashes to."""
    made, by_set = [], {}
    for i in range(5000):
        cls = type(f"{base.__name__}{i}", (base,), {})
        made.append(cls)  # kept alive, so that no address is reused
        if set_of(cls) != set_of(into) if into is not None else set_of(cls) in CONSULTED:
            continue
        group = by_set.setdefault(set_of(cls), [])
        group.append(cls)
        if len(group) == n:
            return group
    pytest.skip("no colliding classes found")


def fills():
    return V._type_cache_fills()


@pytest.mark.parametrize("base,run", [
    (V.SizeVisitor, lambda cls: cls().visit(f)),
    (V.SubstitutionTransformer, lambda cls: cls({y: FunctionApp("g", 1, (x,))}).visit(f)),
])
def test_two_classes_of_one_set_stay_cached(base, run):
    a, b = colliding_classes(base, 2)
    want_a, want_b = run(a), run(b)
    before = fills()
    for _ in range(20):
        assert run(a) == want_a and run(b) == want_b
    assert fills() == before


def substitute(cls):
    return cls({y: FunctionApp("g", 1, (x,))}).visit(f)


# A substitution whose value captures the bound variable consults the
# module's transformer and collector classes on every walk; the module's own
# classes share no set with the caller's classes, whatever their addresses.
@pytest.mark.parametrize("consulted", ["SubstitutionTransformer", "FreeVariableCollector"])
def test_classes_a_walk_consults_displace_no_caller_class(consulted):
    a, b = colliding_classes(V.SubstitutionTransformer, 2, into=getattr(V, consulted))
    want = substitute(V.SubstitutionTransformer)
    assert substitute(a) == want and substitute(b) == want
    before = fills()
    for _ in range(20):
        assert substitute(a) == want and substitute(b) == want
        assert substitute(V.SubstitutionTransformer) == want
    assert fills() == before


def test_a_module_class_and_two_subclasses_in_its_set_stay_cached():
    a, b = colliding_classes(V.SizeVisitor, 2, into=V.SizeVisitor)
    for cls in (a, b, V.SizeVisitor):
        assert cls().visit(f) == 5
    before = fills()
    for _ in range(10):
        for cls in (V.SizeVisitor, a, V.SizeVisitor, b):
            assert cls().visit(f) == 5
    assert fills() == before


def test_a_changed_module_class_is_read_again():
    own = V.SizeVisitor.__dict__["visit_constant"]
    assert V.SizeVisitor().visit(Constant("c")) == 1
    try:
        V.SizeVisitor.visit_constant = lambda self, node: 7
        assert V.SizeVisitor().visit(Constant("c")) == 7
        assert V.SizeVisitor().visit(f) == 5  # no constant in f
    finally:
        V.SizeVisitor.visit_constant = own
    assert V.SizeVisitor().visit(Constant("c")) == 1


def test_a_third_class_displaces_the_least_recently_used():
    a, b, c = colliding_classes(V.SizeVisitor, 3)
    for cls in (a, b, c, b):  # c displaces a; b was used last
        cls().visit(f)
    before = fills()
    b().visit(f)
    c().visit(f)
    assert fills() == before
    a().visit(f)
    assert fills() == before + 1


def test_a_changed_class_is_read_again():
    (a,) = colliding_classes(V.SizeVisitor, 1)
    assert a().visit(f) == 5  # Forall, its variable, P and its two arguments
    a.visit_predicate_app = lambda self, node: 100
    assert a().visit(f) == 102
    del a.visit_predicate_app
    assert a().visit(f) == 5
    assert a().visit(Constant("c")) == 1


def test_classes_spread_over_every_set():
    # Classes are objects of one size: an allocator may place them at a
    # power-of-two stride, which must not put them all into one set.
    made = [type(f"Spread{i}", (V.SizeVisitor,), {}) for i in range(128)]
    assert {set_of(cls) for cls in made} == set(range(SETS))

