"""Hostile callers, C stack: deep inputs with the recursion limit raised.

With ``sys.setrecursionlimit(10**6)`` the interpreter's counter no longer
stops a native recursion before the C stack runs out; every recursive native
function must still raise RecursionError (and stay usable afterwards).  Each
case runs in a child process, so that a crash fails the test instead of
ending the run.
"""

from __future__ import annotations

import pytest

from helpers import run_isolated

PRELUDE = """
import sys, threading
sys.setrecursionlimit(10**6)
from kelvara.core.ast import (Variable, Constant, FunctionApp, PredicateApp, Equality, Not, Forall,
                              canonicalize_bound_variables)
from kelvara.prover import rules
from kelvara import _native
N = {depth}
x, a = Variable(0), Constant("a")

def spine(n, leaf):
    t = leaf
    for _ in range(n):
        t = FunctionApp("f", 1, (t,))
    return t

def quantified(n):
    f = PredicateApp("P", 1, (Variable(n + 1),))
    for i in range(n):
        f = Forall(Variable(i), f) if i % 2 else Not(f)
    return f

deep_term = spine(N, x)
deep_atom = PredicateApp("P", 1, (deep_term,))
"""

# name -> (call on the deep input, call on a shallow input, expected shallow result,
#          the message's tail)
CASES = {
    "canonicalize_bound_variables": (
        "canonicalize_bound_variables(quantified(N))",
        "canonicalize_bound_variables(Forall(Variable(7), PredicateApp('P', 1, (Variable(7),))))",
        "Forall(Variable(0), PredicateApp('P', 1, (Variable(0),)))",
        " in canonicalize_bound_variables",
    ),
    "replace_subterm": (
        "rules.replace_subterm(deep_term, x, a)",
        "rules.replace_subterm(spine(2, x), x, a)",
        "[spine(2, a)]",
        " while replacing a subterm",
    ),
    "extract_subterms": (
        "rules.extract_subterms(deep_term)",
        "rules.extract_subterms(spine(1, x))",
        "[spine(1, x), x]",
        " while listing subterms",
    ),
    "extract_atom_subterms": (
        "rules.extract_atom_subterms(deep_atom)",
        "rules.extract_atom_subterms(Equality(spine(1, x), a))",
        "[spine(1, x), x, a]",
        " while listing subterms",
    ),
    "replace_atom_subterm": (
        "rules.replace_atom_subterm(deep_atom, x, a)",
        "rules.replace_atom_subterm(Equality(spine(1, x), x), x, a)",
        "[Equality(spine(1, a), x), Equality(spine(1, x), a)]",
        " while replacing a subterm",
    ),
    "substitute_formula": (
        "_native.substitute_formula(deep_atom, {x: a})",
        "_native.substitute_formula(PredicateApp('P', 1, (spine(2, x),)), {x: a})",
        "PredicateApp('P', 1, (spine(2, a),))",
        " while substituting into a term",
    ),
    "substitute_term": (
        "_native.substitute_term(deep_term, {x: a})",
        "_native.substitute_term(spine(2, x), {x: a})",
        "spine(2, a)",
        " while substituting into a term",
    ),
    "sort_literals": (
        "_native.sort_literals(frozenset([_native.Literal(deep_atom, True),"
        " _native.Literal(PredicateApp('P', 1, (spine(1, deep_term),)), True)]))",
        "_native.sort_literals(frozenset([_native.Literal(PredicateApp('Q', 0, ()), True),"
        " _native.Literal(PredicateApp('P', 0, ()), True)]))",
        "(_native.Literal(PredicateApp('P', 0, ()), True), _native.Literal(PredicateApp('Q', 0, ()), True))",
        " while ordering literals",
    ),
    "repr": ("repr(deep_term)", "repr(spine(1, a))",
             "'FunctionApp(sort=Ind, func=\\'f\\', arity=1, args=(' + repr(a) + ',), return_sort=Ind)'",
             " while getting the repr of a node"),
}


# From 3.12 on the interpreter counts C levels against a limit of its own that
# sys.setrecursionlimit does not raise, and its own check in a call nested in a
# level (a comparison, a repr, entering a Python function such as a sort's
# __repr__) can be the first to trip: then the error is the interpreter's, with
# its own tail.
INTERPRETER_TAILS = (" in comparison", " while getting the repr of an object", "")


def _script(deep: str, shallow: str, expected: str, tail: str, depth: int) -> str:
    return PRELUDE.format(depth=depth) + f"""
try:
    {deep}
except RecursionError as e:
    tails = ({tail!r},) + ({INTERPRETER_TAILS!r} if sys.version_info >= (3, 12) else ())
    assert str(e) in ["maximum recursion depth exceeded" + t for t in tails], str(e)
else:
    raise SystemExit("no RecursionError")
# The guard left the interpreter's counter balanced: the same call works again.
got = {shallow}
assert got == {expected}, got
print("survived")
"""


@pytest.mark.parametrize("name", sorted(CASES))
def test_deep_input_raises_recursion_error_with_raised_limit(name):
    deep, shallow, expected, tail = CASES[name]
    r = run_isolated(_script(deep, shallow, expected, tail, 200_000), timeout=300)
    assert r.returncode == 0, r.stderr[-2000:]
    assert r.stdout.strip() == "survived"


@pytest.mark.parametrize("name", ["canonicalize_bound_variables", "replace_subterm", "substitute_formula"])
def test_deep_input_in_a_thread_with_a_small_stack(name):
    # A thread's stack is much smaller than the main thread's: the guard must
    # measure the running thread, not assume the main thread's stack.
    deep, shallow, expected, tail = CASES[name]
    body = _script(deep, shallow, expected, tail, 20_000).split("\n")
    prelude_end = body.index("deep_atom = PredicateApp(\"P\", 1, (deep_term,))") + 1
    head, rest = body[:prelude_end], body[prelude_end:]
    code = "\n".join(head) + "\nout = []\ndef work():\n" + "\n".join(
        "    " + line for line in rest if line) + "\n    out.append(1)\n"
    code += "threading.stack_size(512 * 1024)\nt = threading.Thread(target=work)\nt.start(); t.join()\n"
    code += "assert out == [1]\n"
    r = run_isolated(code, timeout=300)
    assert r.returncode == 0, r.stderr[-2000:]
    assert r.stdout.strip() == "survived"


@pytest.mark.parametrize("shape", ["spine", "quantified", "atom"])
def test_freeing_a_deep_tree_in_a_thread_with_a_small_stack(shape):
    # Freeing is recursive too; the interpreter's own bound on it (3.13: a
    # count of C levels) is far more than a 512 KiB thread stack holds.
    build = {"spine": "spine(N, x)", "quantified": "quantified(N)",
             "atom": "PredicateApp('P', 1, (spine(N, x),))"}[shape]
    code = PRELUDE.format(depth=1) + f"""
N = 100_000
out = []
def work():
    t = {build}
    del t
    out.append(Variable(3) == Variable(3))
threading.stack_size(512 * 1024)
th = threading.Thread(target=work)
th.start(); th.join()
assert out == [True], out
print("freed")
"""
    r = run_isolated(code, timeout=300)
    assert r.returncode == 0, r.stderr[-2000:]
    assert r.stdout.strip() == "freed"
