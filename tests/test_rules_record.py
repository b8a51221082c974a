"""The rule record, the two catalogues, apply_rule and the module's layout."""

import copy
import gc
import pickle
import weakref
from dataclasses import FrozenInstanceError

import pytest
from hypothesis import given
from hypothesis import strategies as st

import kelvara.prover.rules as R
from kelvara.core.ast import Constant, PredicateApp, Variable
from kelvara.prover.clausifier import Clause, Literal
from kelvara.prover.rules import InferenceRule, SOLInstantiateRule, apply_rule

PUBLIC = [
    "InferenceRule", "standardize_clause_variables", "resolve_clauses", "factor_clause",
    "extract_subterms", "extract_atom_subterms", "replace_subterm", "replace_atom_subterm",
    "paramodulate", "get_resolution_rules", "get_reconstruction_rules", "SOLInstantiateRule",
    "apply_rule",
]
IMPORTED = [
    "Variable", "FunctionApp", "PredicateApp", "Equality", "Forall", "Implies", "free_variables",
    "unify_formulas", "unify_terms", "UnificationError", "substitute_formula", "substitute_term",
    "Clause", "Literal",
]
RECONSTRUCTION = [
    ("Axiom", "Premise or hypothesis assumption"),
    ("NegatedGoal", "Clausified negation of target theorem"),
    ("ModusPonens", "A, A \u27f9 B  \u22a2  B"),
    ("UniversalInstantiation", "\u2200x P(x)  \u22a2  P(t)"),
    ("ExistentialIntroduction", "P(t)  \u22a2  \u2203x P(x)"),
    ("AndIntroduction", "A, B  \u22a2  A \u2227 B"),
    ("AndElimination", "A \u2227 B  \u22a2  A (or B)"),
    ("OrIntroduction", "A  \u22a2  A \u2228 B"),
    ("OrElimination", "A \u2228 B, A \u27f9 C, B \u27f9 C  \u22a2  C"),
    ("DoubleNegationElimination", "\u00ac\u00acA  \u22a2  A"),
    ("Contradiction", "A, \u00acA  \u22a2  \u22a5"),
    ("ResolutionTraceStep", "CNF trace resolution inference"),
]


def op(*args, **kwargs):
    return list(args)


# ---------------------------------------------------------------- module


def test_module_names_in_definition_order():
    names = [n for n in vars(R) if not n.startswith("__")]
    assert names == IMPORTED + PUBLIC


@pytest.mark.parametrize("name,source", [
    ("Variable", "kelvara.core.ast"), ("free_variables", "kelvara.core.ast"),
    ("unify_formulas", "kelvara.core.substitutions"), ("UnificationError", "kelvara.core.substitutions"),
    ("substitute_term", "kelvara.core.substitutions"), ("Clause", "kelvara.prover.clausifier"),
    ("Literal", "kelvara.prover.clausifier"),
])
def test_companion_names_are_the_companions_objects(name, source):
    import importlib
    assert getattr(R, name) is getattr(importlib.import_module(source), name)


def test_module_doc():
    assert R.__doc__ == "Inference rules for resolution, factoring, paramodulation, and SOL instantiation."


def test_second_order_companions_not_bound_at_load():
    assert not hasattr(R, "ho_pattern_unify") and not hasattr(R, "to_cnf")


# ---------------------------------------------------------------- record


def test_fields_positional_and_keyword():
    r = InferenceRule("n", "d", "t", op)
    k = InferenceRule(apply=op, rule_type="t", description="d", name="n")
    assert (r.name, r.description, r.rule_type, r.apply) == ("n", "d", "t", op)
    assert r.apply is op
    assert r == k and hash(r) == hash(k)
    assert hash(r) == hash(("n", "d", "t", op))


@pytest.mark.parametrize("args,kwargs,message", [
    (("n", "d", "t"), {}, "InferenceRule.__init__() missing 1 required positional argument: 'apply'"),
    (("n",), {}, "InferenceRule.__init__() missing 3 required positional arguments: "
                 "'description', 'rule_type', and 'apply'"),
    ((), {"name": "n", "apply": op}, "InferenceRule.__init__() missing 2 required positional arguments: "
                                     "'description' and 'rule_type'"),
    (("n", "d", "t", op, 5), {}, "InferenceRule.__init__() takes 5 positional arguments but 6 were given"),
    (("n", "d", "t", op), {"extra": 1}, "InferenceRule.__init__() got an unexpected keyword argument 'extra'"),
    (("n", "d", "t", op), {"name": "m"}, "InferenceRule.__init__() got multiple values for argument 'name'"),
])
def test_constructor_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        InferenceRule(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("field", ["name", "description", "rule_type", "apply", "other"])
def test_frozen(field):
    r = InferenceRule("n", "d", "t", op)
    with pytest.raises(FrozenInstanceError, match=f"cannot assign to field '{field}'"):
        setattr(r, field, 1)
    with pytest.raises(FrozenInstanceError, match=f"cannot delete field '{field}'"):
        delattr(r, field)
    assert r.name == "n"


def test_no_instance_dict():
    r = InferenceRule("n", "d", "t", op)
    assert not hasattr(r, "__dict__")


@pytest.mark.parametrize("i", range(4))
def test_equality_over_each_field(i):
    base = ["n", "d", "t", op]
    other = list(base)
    other[i] = "changed"
    assert InferenceRule(*base) != InferenceRule(*other)
    assert not (InferenceRule(*base) == InferenceRule(*other))


def test_equality_is_class_exact():
    class Sub(InferenceRule):
        pass

    a, b = InferenceRule("n", "d", "t", op), Sub("n", "d", "t", op)
    assert a != b and b != a
    assert a != ("n", "d", "t", op)
    with pytest.raises(TypeError):
        a < a  # noqa: B015


def test_python_subclass_keeps_record_behaviour_and_gets_a_dict():
    class Sub(InferenceRule):
        pass

    s = Sub("n", "d", "t", op)
    s.extra = 1
    assert s.extra == 1
    with pytest.raises(FrozenInstanceError):
        s.name = "m"
    assert repr(s).startswith("test_python_subclass_keeps_record_behaviour_and_gets_a_dict.<locals>.Sub(name='n'")


@given(st.text(), st.text(), st.text())
def test_hash_equality_law(n, d, t):
    a, b = InferenceRule(n, d, t, op), InferenceRule(n, d, t, op)
    assert a == b and hash(a) == hash(b) == hash((n, d, t, op))
    assert len({a, b}) == 1


def test_repr_like_a_dataclass():
    r = InferenceRule("n", "d'x", "t", 3)
    assert repr(r) == "InferenceRule(name='n', description=\"d'x\", rule_type='t', apply=3)"


def test_uninitialised_record_raises_attribute_error():
    r = InferenceRule.__new__(InferenceRule)
    with pytest.raises(AttributeError):
        r.name
    with pytest.raises(AttributeError):
        hash(r)


def test_match_args_pickle_copy():
    r = get_rule("BinaryResolution")
    assert InferenceRule.__match_args__ == ("name", "description", "rule_type", "apply")
    match r:
        case InferenceRule(name, _, kind, _):
            assert (name, kind) == ("BinaryResolution", "resolution")
    assert pickle.loads(pickle.dumps(r)) == r
    assert copy.copy(r) == r and copy.copy(r) is not r


def test_apply_is_stored_as_a_plain_value():
    calls = []
    r = InferenceRule("n", "d", "t", lambda *a, **k: calls.append((a, k)) or [])
    r.apply(1, 2, x=3)
    assert calls == [((1, 2), {"x": 3})]


def test_a_self_referencing_record_is_collected():
    rule = SOLInstantiateRule()
    assert rule.apply.__self__ is rule
    ref = weakref.ref(rule)
    del rule
    gc.collect()
    assert ref() is None


def test_a_record_in_a_cycle_through_apply_is_collected():
    box = []
    r = InferenceRule("n", "d", "t", box)
    box.append(r)
    ref = weakref.ref(r)
    del r, box
    gc.collect()
    assert ref() is None


# ---------------------------------------------------------------- catalogues


def get_rule(name):
    return next(r for r in R.get_resolution_rules() if r.name == name)


def test_resolution_catalogue():
    rules = R.get_resolution_rules()
    assert [(r.name, r.description, r.rule_type) for r in rules] == [
        ("BinaryResolution", "Resolve complementary literals", "resolution"),
        ("Factoring", "Merge unifiable literals in same clause", "resolution"),
        ("Paramodulation", "Equality subterm rewriting", "resolution"),
    ]
    assert [r.apply for r in rules] == [R.resolve_clauses, R.factor_clause, R.paramodulate]
    assert all(type(r) is InferenceRule for r in rules)
    again = R.get_resolution_rules()
    assert again == rules and again is not rules and again[0] is not rules[0]


def test_resolution_catalogue_reads_the_module_functions_each_time(monkeypatch):
    monkeypatch.setattr(R, "factor_clause", op)
    assert R.get_resolution_rules()[1].apply is op
    monkeypatch.delattr(R, "paramodulate")
    with pytest.raises(NameError, match="name 'paramodulate' is not defined"):
        R.get_resolution_rules()


def test_reconstruction_catalogue():
    rules = R.get_reconstruction_rules()
    assert [(r.name, r.description) for r in rules] == RECONSTRUCTION
    assert {r.rule_type for r in rules} == {"reconstruction"}
    assert len({id(r.apply) for r in rules}) == 12
    again = R.get_reconstruction_rules()
    assert all(a != b for a, b in zip(rules, again))
    assert all(a.apply is not b.apply for a, b in zip(rules, again))


@pytest.mark.parametrize("index", range(12))
@pytest.mark.parametrize("premises", [[], [1], [None, "x", Clause()], list(range(20))])
def test_placeholders_return_a_new_empty_list(index, premises):
    rule = R.get_reconstruction_rules()[index]
    first = apply_rule(rule, premises)
    second = rule.apply(*premises)
    assert first == [] and second == [] and first is not second
    assert apply_rule(rule, premises, {}) == []
    assert apply_rule(rule, premises, None) == []


@pytest.mark.parametrize("kwargs,first", [({"x": 1}, "x"), ({"signature": 1, "b": 2}, "signature")])
def test_placeholders_refuse_keywords(kwargs, first):
    rule = R.get_reconstruction_rules()[0]
    with pytest.raises(TypeError, match=f"unexpected keyword argument '{first}'"):
        apply_rule(rule, [], kwargs)
    with pytest.raises(TypeError, match=f"unexpected keyword argument '{first}'"):
        rule.apply(**kwargs)


@pytest.mark.parametrize("fn", ["get_resolution_rules", "get_reconstruction_rules"])
def test_catalogues_take_no_arguments(fn):
    with pytest.raises(TypeError, match=rf"{fn}\(\) takes 0 positional arguments but 1 was given"):
        getattr(R, fn)(1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        getattr(R, fn)(x=1)


# ---------------------------------------------------------------- apply_rule


def P(t):
    return PredicateApp("P", 1, (t,))


def test_apply_rule_on_binary_resolution():
    c1 = Clause([Literal(P(Variable(1)))])
    c2 = Clause([Literal(P(Constant("a")), False)])
    out = apply_rule(get_rule("BinaryResolution"), [c1, c2])
    assert out == R.resolve_clauses(c1, c2)
    assert len(out) == 1 and out[0][0] == Clause()


def test_apply_rule_passes_premises_and_a_copy_of_the_context():
    seen = []

    def apply(*args, **kwargs):
        seen.append((args, dict(kwargs)))
        kwargs["added"] = True
        return result

    result = []
    rule = InferenceRule("n", "d", "t", apply)
    context = {"signature": "sig", "k": 2}
    out = apply_rule(rule, [1, 2, 3], context)
    assert out is result
    assert seen == [((1, 2, 3), {"signature": "sig", "k": 2})]
    assert context == {"signature": "sig", "k": 2}


@pytest.mark.parametrize("context", [None, {}])
def test_apply_rule_passes_no_keywords_without_context(context):
    seen = []
    rule = InferenceRule("n", "d", "t", lambda *a, **k: seen.append(k) or [])
    apply_rule(rule, [], context)
    assert seen == [{}]


def test_apply_rule_accepts_any_object_with_apply():
    class Duck:
        apply = staticmethod(lambda *a: [a])

    assert apply_rule(Duck(), [1], context=None) == [(1,)]
    assert apply_rule(rule=Duck(), premises=[2]) == [(2,)]


@pytest.mark.parametrize("premises,name", [((1,), "tuple"), (None, "NoneType"), ({1: 2}, "dict"),
                                           (type("L", (list,), {})(), "L")])
def test_apply_rule_premises_must_be_exactly_a_list(premises, name):
    class NoApply:
        @property
        def apply(self):
            raise AssertionError("apply looked up")

    with pytest.raises(TypeError) as info:
        apply_rule(NoApply(), premises)
    assert str(info.value) == f"Argument 'premises' has incorrect type (expected list, got {name})"


@pytest.mark.parametrize("context,name", [([], "list"), (0, "int"), (type("D", (dict,), {})(), "D")])
def test_apply_rule_context_must_be_none_or_exactly_a_dict(context, name):
    with pytest.raises(TypeError) as info:
        apply_rule(object(), [], context)
    assert str(info.value) == f"Argument 'context' has incorrect type (expected dict, got {name})"


@pytest.mark.parametrize("value,name", [((), "tuple"), (0, "int"), (type("L", (list,), {})(), "L")])
def test_apply_rule_result_must_be_a_list_or_none(value, name):
    rule = InferenceRule("n", "d", "t", lambda *a: value)
    with pytest.raises(TypeError) as info:
        apply_rule(rule, [])
    assert str(info.value) == f"Expected list, got {name}"


def test_apply_rule_returns_none_unchanged():
    assert apply_rule(InferenceRule("n", "d", "t", lambda: None), []) is None


def test_apply_rule_propagates_operation_errors():
    with pytest.raises(TypeError, match=r"resolve_clauses\(\) missing 1 required positional argument: 'c2'"):
        apply_rule(get_rule("BinaryResolution"), [Clause()])

    def boom(*a):
        raise KeyError("mine")

    with pytest.raises(KeyError, match="mine"):
        apply_rule(InferenceRule("n", "d", "t", boom), [])
    with pytest.raises(AttributeError):
        apply_rule(object(), [])


def test_apply_rule_non_string_context_key():
    with pytest.raises(TypeError, match="keywords must be strings"):
        apply_rule(InferenceRule("n", "d", "t", op), [], {1: 2})


@pytest.mark.parametrize("args,kwargs,message", [
    ((), {}, "apply_rule() missing 2 required positional arguments: 'rule' and 'premises'"),
    ((1, [], None, 4), {}, "apply_rule() takes from 2 to 3 positional arguments but 4 were given"),
    ((1, []), {"rule": 1}, "apply_rule() got multiple values for argument 'rule'"),
    ((1, []), {"ctx": 1}, "apply_rule() got an unexpected keyword argument 'ctx'"),
])
def test_apply_rule_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        apply_rule(*args, **kwargs)
    assert str(info.value) == message


def test_stub_matches_the_module():
    stubtest = pytest.importorskip("mypy.stubtest")
    from helpers import run_isolated

    proc = run_isolated(
        "import sys\nfrom mypy.stubtest import test_stubs, parse_options\n"
        "sys.exit(test_stubs(parse_options(['kelvara.prover.rules'])))\n"
    )
    assert stubtest and proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-2000:]
