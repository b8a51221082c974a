"""Hostile callers, records: Literal, Clause and InferenceRule re-initialised
from a callback while native code is using their fields.

Like their Python twins, the records accept ``__init__`` again on a live
object; it replaces (and releases) their fields.  Native code must hold what
it uses across every call that can run Python code.  Each case arms a
callback (an atom's ``__hash__``, ``__eq__``, ``__str__``, an
attribute read, the clausifier's substitution, a rule field's ``__eq__``)
that re-initialises the record in use, with fresh objects so that the old
fields are freed at once; it runs in a child process, so that a crash fails
the test instead of ending the run.
"""

from __future__ import annotations

import pytest

from helpers import run_isolated

PRELUDE = """
import gc
from kelvara import _native
from kelvara.core.ast import Constant, PredicateApp, Variable
from kelvara.prover import clausifier
from kelvara.prover.rules import InferenceRule

Literal, Clause = _native.Literal, _native.Clause

def fresh_atom(tag):
    # A new atom each time, referenced only by what holds it.
    return PredicateApp("Fresh" + str(tag), 1, (Constant("c" + str(tag)),))

class Hook(PredicateApp):
    \"\"\"An atom whose __hash__, __eq__, symbol and free variables run `action` once armed.\"\"\"
    action = None
    result = NotImplemented
    def fire(self):
        act = self.__dict__.pop("action", None)
        if act is not None:
            act()
    def __hash__(self):
        self.fire()
        return self.h
    def __eq__(self, other):
        self.fire()
        return self.result
    @property
    def pred(self):
        self.fire()
        return "hook"
    @property
    def _free_vars(self):
        self.fire()
        return frozenset({Variable(5)})

def make_hook(h=7):
    hook = Hook("H", 0, ())
    hook.h = h
    return hook
"""

CASES = {
    # lit.negate(): hashing the atom re-initialises the literal.
    "literal_negate_hash": """
hook = make_hook()
lit = Literal(hook, True)
hook = None
atom = lit.atom
atom.action = lambda: Literal.__init__(lit, fresh_atom(1), True)
atom = None
got = lit.negate()
assert type(got) is Literal and got.positive is False
print(type(got.atom).__name__)
""",
    # lit == other: the atom's __eq__ re-initialises the literal and returns
    # NotImplemented, so the interpreter tries the reflected comparison next.
    "literal_eq": """
a, b = make_hook(), make_hook()
lit, other = Literal(a, True), Literal(b, True)
b.action = lambda: Literal.__init__(lit, fresh_atom(2), True)
a.action = lambda: Literal.__init__(other, fresh_atom(3), True)
a = b = None
print(lit == other)
""",
    "literal_str": """
lit = Literal(make_hook(), False)
lit.atom.action = lambda: Literal.__init__(lit, fresh_atom(4), True)
print(str(lit))
""",
    # clause.free_variables(): reading an atom's attribute re-initialises the
    # clause, releasing the literal tuple being walked.
    "clause_free_variables_attribute": """
hooks = [make_hook(i) for i in range(3)]
clause = Clause(frozenset(Literal(h, True) for h in hooks))
hooks[0].action = lambda: Clause.__init__(clause, frozenset({Literal(fresh_atom(6), True)}))
hooks = None
print(sorted(v.id for v in clause.free_variables()))
""",
    # clause.substitute(): the clausifier's substitution re-initialises the clause.
    "clause_substitute": """
clause = Clause(frozenset(Literal(fresh_atom(10 + i), True) for i in range(4)))
def substitute_formula(atom, mapping):
    Clause.__init__(clause, frozenset({Literal(fresh_atom(20), True)}))
    return fresh_atom(30)
clausifier.substitute_formula = substitute_formula
print(len(clause.substitute({Variable(0): Constant("a")})))
""",
    "clause_str": """
hooks = [make_hook(i) for i in range(3)]
clause = Clause(frozenset(Literal(h, True) for h in hooks))
for h in hooks:
    h.action = lambda: Clause.__init__(clause, frozenset({Literal(fresh_atom(40), True)}))
hooks = None
print(str(clause).count("|"))
""",
    # `x in clause`: the probe's __eq__ re-initialises the clause, releasing
    # the set being searched.
    "clause_contains": """
probe_atom = make_hook(1)
clause = Clause(frozenset({Literal(make_hook(1), True)}))
class Probe:
    def __hash__(self):
        return hash(Literal(probe_atom, True))
    def __eq__(self, other):
        Clause.__init__(clause, frozenset({Literal(fresh_atom(50), True)}))
        return False
print(Probe() in clause)
""",
    # rule == other: a field's __eq__ re-initialises the other rule and
    # returns NotImplemented, so the reflected comparison reads the released field.
    "rule_eq": """
class Field:
    def __init__(self):
        self.action = None
    def __eq__(self, other):
        act, self.action = self.action, None
        if act:
            act()
        return NotImplemented
    __hash__ = object.__hash__
f1, f2 = Field(), Field()
r1 = InferenceRule(f1, "d", "t", None)
r2 = InferenceRule(f2, "d", "t", None)
f1.action = lambda: InferenceRule.__init__(r2, Field(), "d", "t", None)
f2.action = lambda: InferenceRule.__init__(r1, Field(), "d", "t", None)
f1 = f2 = None
print(r1 == r2)
""",
}

EXPECTED = {
    "literal_negate_hash": "Hook",
    "literal_eq": "False",
    "literal_str": "~hook",
    "clause_free_variables_attribute": "[5]",
    "clause_substitute": "1",
    "clause_str": "2",
    "clause_contains": "False",
    "rule_eq": "False",
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_reinitialising_a_record_from_a_callback_is_harmless(name):
    r = run_isolated(PRELUDE + CASES[name] + "\ngc.collect()\nprint('survived')\n")
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stdout.split("\n")[:2] == [EXPECTED[name], "survived"]
