"""Hostile callers, argument parsing: a call with too many positional
arguments and a bad keyword at once.

The interpreter checks keywords before it counts positional arguments, so
such a call names the keyword (unknown, or given twice).  Every native entry
point must raise the same TypeError as a Python function with its signature.
"""

from __future__ import annotations

import pytest

from kelvara import _native
from kelvara.core import visitors
from kelvara.core.ast import Constant, Not, PredicateApp, Variable, canonicalize_bound_variables, free_variables
from kelvara.prover import rules

a = Constant("a")
P = PredicateApp("P", 0, ())
lit = _native.Literal(P, True)


def twin(qualname: str, params: str):
    """A Python function named `qualname` with parameter list `params`."""
    ns: dict = {}
    exec(f"def f({params}):\n    pass", ns)
    f = ns["f"]
    code = f.__code__
    if hasattr(code, "co_qualname"):
        code = code.replace(co_name=qualname.rsplit(".", 1)[-1], co_qualname=qualname)
    else:  # older interpreters name the function by co_name only
        code = code.replace(co_name=qualname)
    f.__code__ = code
    f.__name__, f.__qualname__ = qualname.rsplit(".", 1)[-1], qualname
    return f


# (callable, its Python twin, self passed to the twin or None, positional
# arguments: one more than the signature takes)
CALLS = {
    "unify_terms": (_native.unify_terms, twin("unify_terms", "t1, t2, subst=None"), None, (a, a, None, 4)),
    "substitute_formula": (_native.substitute_formula, twin("substitute_formula", "formula, mapping"), None,
                           (P, {}, 3)),
    "sort_literals": (_native.sort_literals, twin("sort_literals", "literals"), None, (frozenset(), 2)),
    "Literal": (_native.Literal, twin("Literal.__init__", "self, atom, positive=True"), object(), (P, True, 3)),
    "Literal.negate": (lit.negate, twin("Literal.negate", "self"), lit, (3,)),
    "Clause": (_native.Clause, twin("Clause.__init__", "self, literals=frozenset()"), object(), (frozenset(), 3)),
    "InferenceRule": (rules.InferenceRule, twin("InferenceRule.__init__", "self, name, description, rule_type, apply"),
                      object(), (1, 2, 3, 4, 5)),
    "resolve_clauses": (rules.resolve_clauses, twin("resolve_clauses", "c1, c2"), None, (1, 2, 3)),
    "extract_subterms": (rules.extract_subterms, twin("extract_subterms", "term"), None, (a, 2)),
    "apply_rule": (rules.apply_rule, twin("apply_rule", "rule, premises, context=None"), None, (1, 2, 3, 4)),
    "get_resolution_rules": (rules.get_resolution_rules, twin("get_resolution_rules", ""), None, (1,)),
    "SOLInstantiateRule": (rules.SOLInstantiateRule, twin("SOLInstantiateRule.__init__", "self"), object(), (1,)),
    "free_variables": (free_variables, twin("free_variables", "node"), None, (a, 2)),
    "canonicalize_bound_variables": (canonicalize_bound_variables, twin("canonicalize_bound_variables", "formula"),
                                     None, (a, 2)),
    "Not": (Not, twin("Not.__init__", "self, operand"), object(), (P, P)),
    "Variable": (Variable, twin("Variable.__init__", "self, id, kind=None, *, sort=None"), object(), (0, None, 1)),
    "SubstitutionTransformer": (visitors.SubstitutionTransformer,
                                twin("SubstitutionTransformer.__init__", "self, mapping"), object(), ({}, 2)),
    "ASTVisitor.visit": (visitors.ExportVisitor("infix").visit, twin("ASTVisitor.visit", "self, node"), object(),
                         (a, 2)),
}


def message(fn, *args, **kwargs) -> str:
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


def _params(name):
    code = CALLS[name][1].__code__
    params = code.co_varnames[: code.co_argcount + code.co_kwonlyargcount]
    return params[1:] if CALLS[name][2] is not None else params


CASES = [(name, "bogus") for name in sorted(CALLS)] + [(name, "first") for name in sorted(CALLS) if _params(name)]


@pytest.mark.parametrize("name, keyword", CASES)
def test_keyword_error_is_reported_before_the_positional_count(name, keyword):
    native, reference, self_arg, args = CALLS[name]
    ref_args = args if self_arg is None else (self_arg, *args)
    if keyword == "first":
        keyword = _params(name)[0]  # given positionally as well: "multiple values"
    expected = message(reference, *ref_args, **{keyword: 1})
    assert "positional" not in expected  # the case under test: the keyword is named
    assert message(native, *args, **{keyword: 1}) == expected


# Subclasses are called through the tuple-and-dict slots, which must parse
# any number of arguments as the exact classes' vectorcalls do.
SUBCLASSED = ["Variable", "Not", "Literal", "Clause", "InferenceRule"]
MANY = tuple(range(20))


@pytest.mark.parametrize("name", SUBCLASSED)
@pytest.mark.parametrize("args, kwargs", [
    (MANY, {}),
    (MANY, {"bogus": 1}),
    ((0,), {f"k{i}": i for i in range(20)}),
    (MANY[:3], {f"k{i}": i for i in range(9)}),
])
def test_subclass_calls_with_many_arguments_raise_the_twins_error(name, args, kwargs):
    native, reference, self_arg, _ = CALLS[name]
    sub = type(f"Sub{name}", (native,), {})
    expected = message(reference, self_arg, *args, **kwargs)
    assert message(sub, *args, **kwargs) == expected
    assert message(native, *args, **kwargs) == expected
