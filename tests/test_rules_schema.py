"""SOLInstantiateRule: record fields, companion imports, the matching attempts and the fallback."""

import gc
import sys
import types
import weakref

import pytest

import kelvara.prover.rules as R
from kelvara.core.ast import And, Constant, Forall, FunctionApp, Implies, PredicateApp, Variable
from kelvara.core.sorts import Nat
from kelvara.prover.clausifier import Clause, to_cnf
from kelvara.prover.rules import InferenceRule, SOLInstantiateRule, apply_rule
from kelvara.sol.ast_ext import ForallPred, PredicateVariable
from kelvara.sol.kb_ext import instantiate_induction
from kelvara.sol.substitutions_ext import ho_pattern_unify, substitute_predicate

DOC = (
    "Inference rule that attempts to instantiate SOL quantified axioms (e.g. Peano Induction)\n"
    "against target goal clauses or formulas using higher-order pattern matching.\n"
    "Generates ground FOL clauses for the CNF resolution solver."
)

Pv = PredicateVariable(0, 1, "P")
n, m, xv = Variable(1, sort=Nat), Variable(2, sort=Nat), Variable(3, sort=Nat)
zero = Constant("0", sort=Nat)


def s(t):
    return FunctionApp("s", 1, (t,), Nat)


def Pa(t):
    return PredicateApp(Pv, 1, (t,))


def phi(t):
    return PredicateApp("Even", 1, (t,))


INDUCTION = ForallPred(Pv, Implies(And(Pa(zero), Forall(m, Implies(Pa(m), Pa(s(m))))), Forall(n, Pa(n))))
GOAL = Forall(xv, phi(xv))


# ---------------------------------------------------------------- record


def test_fields_and_type():
    r = SOLInstantiateRule()
    assert isinstance(r, InferenceRule) and type(r) is SOLInstantiateRule
    assert (r.name, r.description, r.rule_type) == (
        "SOLInstantiate", "Second-order logic template instantiation via higher-order pattern matching",
        "resolution")
    assert r.apply == r.match_and_instantiate and r.apply.__self__ is r
    assert SOLInstantiateRule.__doc__ == DOC


def test_two_instances_never_compare_equal():
    r1, r2 = SOLInstantiateRule(), SOLInstantiateRule()
    assert r1 != r2 and r1 == r1
    assert hash(r1) == hash(r1)
    assert InferenceRule(r1.name, r1.description, r1.rule_type, r1.apply) != r1  # class-exact


@pytest.mark.parametrize("args,kwargs,message", [
    ((1,), {}, "SOLInstantiateRule.__init__() takes 1 positional argument but 2 were given"),
    ((), {"name": "x"}, "SOLInstantiateRule.__init__() got an unexpected keyword argument 'name'"),
])
def test_constructor_takes_no_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        SOLInstantiateRule(*args, **kwargs)
    assert str(info.value) == message


def test_frozen_and_repr_does_not_recurse():
    from dataclasses import FrozenInstanceError

    r = SOLInstantiateRule()
    with pytest.raises(FrozenInstanceError):
        r.apply = None
    text = repr(r)
    assert text.startswith("SOLInstantiateRule(name='SOLInstantiate', description=")
    assert "match_and_instantiate" in text


def test_subclass_overriding_the_operation():
    class Mine(SOLInstantiateRule):
        def match_and_instantiate(self, sol_axiom, target_goal, signature=None):
            return ["mine", signature]

    r = Mine()
    assert apply_rule(r, [1, 2], {"signature": "s"}) == ["mine", "s"]


def test_dropped_instance_is_collected():
    refs = [weakref.ref(SOLInstantiateRule()) for _ in range(10)]
    gc.collect()
    assert all(ref() is None for ref in refs)


# ---------------------------------------------------------------- with stand-in companions


class Log:
    def __init__(self):
        self.events = []


class FakeModule(types.ModuleType):
    """A module that logs each attribute read."""

    def __init__(self, name, log, **attrs):
        super().__init__(name)
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "_attrs", attrs)

    def __getattribute__(self, attr):
        if attr.startswith("_") or attr in ("__dict__", "__name__", "__spec__", "__file__", "__path__"):
            return object.__getattribute__(self, attr)
        object.__getattribute__(self, "_log").events.append(("import", attr))
        attrs = object.__getattribute__(self, "_attrs")
        if attr in attrs:
            return attrs[attr]
        raise AttributeError(attr)


@pytest.fixture
def fakes(monkeypatch):
    log = Log()
    behaviour = {"unify": [None, None], "cnf": lambda inst: [("clause", inst)]}

    def ho(template, target, **kwargs):
        log.events.append(("ho", template, target, kwargs))
        return behaviour["unify"].pop(0)

    def subst_pred(formula, mapping):
        log.events.append(("subst", formula, mapping))
        return ("instance", formula)

    def induction(body, var):
        log.events.append(("induction", body, var))
        return ("induction", body, var)

    def cnf(formula, **kwargs):
        log.events.append(("cnf", formula, kwargs))
        return iter(behaviour["cnf"](formula))

    real_ast_ext = sys.modules["kelvara.sol.ast_ext"]
    mods = {
        "kelvara.sol.ast_ext": FakeModule("kelvara.sol.ast_ext", log, ForallPred=ForallPred,
                                          ExistsPred=real_ast_ext.ExistsPred,
                                          PredicateVariable=PredicateVariable),
        "kelvara.sol.substitutions_ext": FakeModule("kelvara.sol.substitutions_ext", log, ho_pattern_unify=ho,
                                                    substitute_predicate=subst_pred),
        "kelvara.sol.kb_ext": FakeModule("kelvara.sol.kb_ext", log, instantiate_induction=induction),
        "kelvara.prover.clausifier": FakeModule("kelvara.prover.clausifier", log, to_cnf=cnf),
    }
    for name, mod in mods.items():
        monkeypatch.setitem(sys.modules, name, mod)
    return log, behaviour


IMPORTS = [("import", n) for n in ("ForallPred", "ExistsPred", "PredicateVariable", "ho_pattern_unify",
                                   "substitute_predicate", "instantiate_induction", "to_cnf")]


def calls(log):
    return [e for e in log.events if e[0] != "import"]


def test_imports_on_every_call_in_order(fakes):
    log, _ = fakes
    rule = SOLInstantiateRule()
    assert rule.match_and_instantiate(1, 2) == []
    assert rule.match_and_instantiate(1, 2) == []
    assert log.events == IMPORTS + IMPORTS


def test_first_attempt_matches_under_the_binder(fakes):
    log, behaviour = fakes
    matched = phi(n)
    behaviour["unify"] = [{Pv: ((n,), matched)}]
    out = SOLInstantiateRule().match_and_instantiate(INDUCTION, GOAL, signature="sig")
    body = INDUCTION.body
    binding = {Pv: ((n,), matched)}
    assert calls(log) == [
        ("ho", Pa(n), phi(xv), {"bound_vars": {n}}),
        ("subst", body, binding),
        ("cnf", ("instance", body), {"signature": "sig"}),
    ]
    assert out == [("clause", ("instance", body))]


@pytest.mark.parametrize("entry,value", [
    (("anything", phi(n)), phi(n)),      # a tuple: element 1 is the body
    (phi(n), phi(n)),                    # otherwise used directly
])
def test_first_attempt_value(fakes, entry, value):
    log, behaviour = fakes
    behaviour["unify"] = [{Pv: entry}]
    SOLInstantiateRule().match_and_instantiate(INDUCTION, GOAL)
    [subst] = [e for e in calls(log) if e[0] == "subst"]
    assert subst[2] == {Pv: ((n,), value)}
    assert calls(log)[-1][2] == {"signature": None}


@pytest.mark.parametrize("first", [None, {}, {"other": 1}, 0])
def test_second_attempt_matches_the_whole_template(fakes, first):
    log, behaviour = fakes
    behaviour["unify"] = [first, {Pv: "entry", n: zero}]
    out = SOLInstantiateRule().match_and_instantiate(INDUCTION, GOAL)
    template = INDUCTION.body.right
    assert calls(log)[1] == ("ho", template, GOAL, {})
    assert calls(log)[2] == ("subst", INDUCTION.body, {Pv: "entry"})
    assert calls(log)[3] == ("cnf", ("instance", INDUCTION.body), {"signature": None})
    assert len(out) == 1


def test_first_attempt_skipped_unless_both_are_forall(fakes):
    log, behaviour = fakes
    behaviour["unify"] = [None]
    goal = phi(zero)
    assert SOLInstantiateRule().match_and_instantiate(INDUCTION, goal) == []
    assert calls(log) == [("ho", INDUCTION.body.right, goal, {})]


def test_body_that_is_not_an_implication_is_the_template(fakes):
    log, behaviour = fakes
    axiom = ForallPred(Pv, Forall(n, Pa(n)))
    behaviour["unify"] = [None, None]
    SOLInstantiateRule().match_and_instantiate(axiom, GOAL)
    assert calls(log)[0] == ("ho", Pa(n), phi(xv), {"bound_vars": {n}})
    assert calls(log)[1] == ("ho", axiom.body, GOAL, {})


def test_both_attempts_fail_then_induction_fallback(fakes):
    log, behaviour = fakes
    behaviour["unify"] = [None, {}]
    out = SOLInstantiateRule().match_and_instantiate(INDUCTION, GOAL, "sig")
    assert calls(log)[2:] == [
        ("induction", phi(xv), xv),
        ("cnf", ("induction", phi(xv), xv), {"signature": "sig"}),
    ]
    assert out == [("clause", ("induction", phi(xv), xv))]


@pytest.mark.parametrize("axiom", ["junk", phi(zero), GOAL])
def test_not_a_forall_pred_goes_straight_to_the_fallback(fakes, axiom):
    log, _ = fakes
    SOLInstantiateRule().match_and_instantiate(axiom, GOAL)
    assert [e[0] for e in calls(log)] == ["induction", "cnf"]


def test_nothing_applies(fakes):
    log, _ = fakes
    assert SOLInstantiateRule().match_and_instantiate(phi(zero), phi(zero)) == []
    assert calls(log) == []


def test_errors_of_the_services_propagate(fakes):
    _, behaviour = fakes

    def boom(inst):
        raise LookupError("cnf failed")

    behaviour["cnf"] = boom
    with pytest.raises(LookupError, match="cnf failed"):
        SOLInstantiateRule().match_and_instantiate("x", GOAL)


def test_missing_companion_module_or_name(monkeypatch):
    monkeypatch.setitem(sys.modules, "kelvara.sol.kb_ext", None)
    with pytest.raises(ImportError):
        SOLInstantiateRule().match_and_instantiate(phi(zero), phi(zero))
    monkeypatch.setitem(sys.modules, "kelvara.sol.kb_ext", types.ModuleType("kelvara.sol.kb_ext"))
    with pytest.raises(ImportError, match="cannot import name 'instantiate_induction' from 'kelvara.sol.kb_ext'"):
        SOLInstantiateRule().match_and_instantiate(phi(zero), phi(zero))


def test_through_apply_rule_with_signature(fakes):
    log, behaviour = fakes
    behaviour["unify"] = [{Pv: ((n,), phi(n))}]
    out = apply_rule(SOLInstantiateRule(), [INDUCTION, GOAL], {"signature": {"Even": 1}})
    assert calls(log)[-1][2] == {"signature": {"Even": 1}}
    assert len(out) == 1


@pytest.mark.parametrize("args,kwargs,message", [
    ((1,), {}, "SOLInstantiateRule.match_and_instantiate() missing 1 required positional argument: "
               "'target_goal'"),
    ((1, 2, 3, 4), {}, "SOLInstantiateRule.match_and_instantiate() takes from 3 to 4 positional arguments "
                       "but 5 were given"),
    ((1, 2), {"sig": 1}, "SOLInstantiateRule.match_and_instantiate() got an unexpected keyword argument 'sig'"),
])
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        SOLInstantiateRule().match_and_instantiate(*args, **kwargs)
    assert str(info.value) == message


# ---------------------------------------------------------------- with the real companions


def test_induction_schema_against_a_goal():
    goal = Forall(n, phi(n))
    out = SOLInstantiateRule().match_and_instantiate(INDUCTION, goal)
    match = ho_pattern_unify(Pa(n), phi(n), bound_vars={n})
    assert match and Pv in match
    value = match[Pv][1] if isinstance(match[Pv], tuple) else match[Pv]
    instance = substitute_predicate(INDUCTION.body, {Pv: ((n,), value)})
    assert out == to_cnf(instance, signature=None)
    assert out and all(type(c) is Clause for c in out)
    assert any(lit.atom == phi(zero) for c in out for lit in c.literals)


def test_fallback_with_the_real_companions():
    out = SOLInstantiateRule().match_and_instantiate(phi(zero), GOAL, signature=["sk0"])
    assert out == to_cnf(instantiate_induction(GOAL.body, GOAL.variable), signature=["sk0"])
