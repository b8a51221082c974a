"""Shared hypothesis strategies for random terms and formulas.

Everything is built from a small fixed vocabulary so that random values
collide often (which is what exercises equality, unification and merging):

* sorts: ``Ind`` and ``Nat`` (``SORTS``);
* variables: ids 0..``MAX_VAR_ID`` over those sorts, kind INDIVIDUAL;
* constants: ``a``, ``b``, ``c`` over those sorts;
* functions: ``f`` (unary) and ``g`` (binary), each with a random return sort;
* predicates: ``R`` (nullary), ``P`` (unary), ``Q`` (binary);
* equality atoms, the five connectives and both first-order quantifiers.

Use ``terms()``, ``atoms()`` and ``formulas()`` with their keyword arguments
to restrict the vocabulary (e.g. ``sorts=(Ind,)`` for single-sorted terms,
``quantifiers=False`` for quantifier-free formulas).
"""

from __future__ import annotations

from hypothesis import strategies as st

from kelvara.core.ast import (
    And,
    Constant,
    Equality,
    Exists,
    Forall,
    FunctionApp,
    Iff,
    Implies,
    Not,
    Or,
    PredicateApp,
    Variable,
)
from kelvara.core.sorts import Ind, Nat

SORTS = (Ind, Nat)
MAX_VAR_ID = 4
CONSTANT_NAMES = ("a", "b", "c")
FUNCTIONS = (("f", 1), ("g", 2))
PREDICATES = (("R", 0), ("P", 1), ("Q", 2))


def sorts(choices=SORTS):
    """One of the given sorts."""
    return st.sampled_from(choices)


def variables(sorts_=SORTS, max_id=MAX_VAR_ID):
    """Individual variables with ids in 0..max_id and a sort from ``sorts_``."""
    return st.builds(lambda i, s: Variable(i, sort=s), st.integers(0, max_id), st.sampled_from(sorts_))


def constants(sorts_=SORTS, names=CONSTANT_NAMES):
    """Constants named from ``names`` with a sort from ``sorts_``."""
    return st.builds(lambda n, s: Constant(n, sort=s), st.sampled_from(names), st.sampled_from(sorts_))


def terms(sorts_=SORTS, max_id=MAX_VAR_ID, max_leaves=8, ground=False):
    """Random terms: variables (unless ``ground``), constants and nested f/g applications."""
    leaves = constants(sorts_) if ground else st.one_of(variables(sorts_, max_id), constants(sorts_))

    def extend(children):
        return st.builds(
            lambda fn, ret, args: FunctionApp(fn[0], fn[1], tuple(args[: fn[1]]), ret),
            st.sampled_from(FUNCTIONS),
            st.sampled_from(sorts_),
            st.lists(children, min_size=2, max_size=2),
        )

    return st.recursive(leaves, extend, max_leaves=max_leaves)


def atoms(term_strategy=None, equality=True):
    """Predicate applications of R/0, P/1, Q/2 over ``term_strategy``, and equalities."""
    ts = terms() if term_strategy is None else term_strategy
    preds = st.builds(
        lambda p, args: PredicateApp(p[0], p[1], tuple(args[: p[1]])),
        st.sampled_from(PREDICATES),
        st.lists(ts, min_size=2, max_size=2),
    )
    if not equality:
        return preds
    return st.one_of(preds, st.builds(Equality, ts, ts))


def formulas(atom_strategy=None, quantifiers=True, max_leaves=8, max_id=MAX_VAR_ID):
    """Random first-order formulas over ``atom_strategy`` with all connectives.

    Quantifiers (when enabled) bind variables drawn like the ones in atoms, so
    bound and free occurrences of the same variable mix freely.
    """
    base = atoms() if atom_strategy is None else atom_strategy

    def extend(children):
        options = [
            st.builds(Not, children),
            st.builds(And, children, children),
            st.builds(Or, children, children),
            st.builds(Implies, children, children),
            st.builds(Iff, children, children),
        ]
        if quantifiers:
            options.append(st.builds(Forall, variables(max_id=max_id), children))
            options.append(st.builds(Exists, variables(max_id=max_id), children))
        return st.one_of(options)

    return st.recursive(base, extend, max_leaves=max_leaves)


def propositional_atoms(names=("A", "B", "C")):
    """Nullary predicate applications named from ``names``."""
    return st.builds(lambda n: PredicateApp(n, 0, ()), st.sampled_from(names))


def substitutions(keys=None, values=None, max_size=3):
    """Sort-respecting substitutions: dicts Variable -> term of the variable's sort."""
    ks = variables() if keys is None else keys
    vs = terms(max_leaves=4) if values is None else values

    def build(pairs):
        return {k: v for k, v in pairs if v.sort is k.sort}

    return st.lists(st.tuples(ks, vs), max_size=max_size).map(build)
