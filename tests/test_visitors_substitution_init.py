"""Creating a SubstitutionTransformer: the class's own __init__ slot must do
exactly what the generic slot of a subclass does (same instances, same
errors), and give way to an __init__ assigned to the class."""

from __future__ import annotations

from collections import OrderedDict

import pytest

from kelvara.core.ast import Constant, PredicateApp, Variable
from kelvara.core.visitors import SubstitutionTransformer

x = Variable(1)
c = Constant("c")


class Plain(SubstitutionTransformer):
    """No __init__ of its own: created through the interpreter's generic slot."""


def outcome(cls, args, kwargs):
    try:
        t = cls(*args, **kwargs)
    except Exception as e:  # noqa: BLE001 - the exception is the outcome compared
        return type(e), str(e)
    return type(t).__mro__[1:], vars(t)


M = {x: c}


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((M,), {}),
        ((), {"mapping": M}),
        ((), {}),
        ((M, M), {}),
        ((M,), {"mapping": M}),
        ((), {"mapping": M, "other": 1}),
        ((M,), {"other": 1}),
        (([],), {}),
        ((OrderedDict(),), {}),
        ((type("D", (dict,), {})(),), {}),
        ((None,), {}),
        ((), {"mapping": []}),
    ],
    ids=lambda v: repr(v)[:40],
)
def test_creation_matches_the_generic_slot(args, kwargs):
    mine = outcome(SubstitutionTransformer, args, kwargs)
    generic = outcome(Plain, args, kwargs)
    if isinstance(mine[0], type) and issubclass(mine[0], Exception):
        assert mine == generic
    else:  # the same instance dict, from an instance one class further down
        assert mine[1] == generic[1] == {"mapping": M}
        assert mine[0] == generic[0][1:]


def test_the_mapping_is_the_object_passed():
    m = {}
    t = SubstitutionTransformer(m)
    assert type(t) is SubstitutionTransformer and t.mapping is m and vars(t) == {"mapping": m}
    m[x] = c
    assert t.visit(PredicateApp("P", 1, (x,))) == PredicateApp("P", 1, (c,))


def test_an_init_assigned_to_the_class_is_the_one_called(monkeypatch):
    seen = []

    def init(self, *args, **kwargs):
        seen.append((args, kwargs))
        self.mapping = {}

    monkeypatch.setattr(SubstitutionTransformer, "__init__", init)
    t = SubstitutionTransformer([1], key=2)
    assert seen == [(([1],), {"key": 2})] and t.mapping == {}
    SubstitutionTransformer(M)
    assert seen[-1] == ((M,), {})
    monkeypatch.undo()
    # The original __init__ again, with its checks.
    assert SubstitutionTransformer(M).mapping is M
    with pytest.raises(TypeError, match="expected dict, got list"):
        SubstitutionTransformer([1])


def test_an_init_returning_a_value_is_refused_as_for_any_class(monkeypatch):
    monkeypatch.setattr(SubstitutionTransformer, "__init__", lambda self, m: 1)
    with pytest.raises(TypeError) as mine:
        SubstitutionTransformer(M)
    with pytest.raises(TypeError) as generic:
        Plain(M)
    assert str(mine.value) == str(generic.value) == "__init__() should return None, not 'int'"
