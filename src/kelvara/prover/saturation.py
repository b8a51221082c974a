"""Given-clause saturation over the resolution rules.

The loop keeps two sets: *active* clauses, which have been selected and
combined with each other, and *passive* clauses, waiting to be selected.
Each round picks a passive clause (the lightest one, or every few rounds the
oldest one), moves it to active and runs every rule of the resolution
catalogue on it and the active clauses that can interact with it:

* binary resolution with active clauses that hold a complementary literal
  (found through an index by sign and predicate symbol), the given clause
  included, so that self-resolution is not missed;
* factoring of the given clause;
* paramodulation between the given clause and active clauses, in both
  directions (the rule itself tries both), whenever one of the two holds a
  positive equation; only the paramodulants of ordered inferences are kept
  (the rewriting side of the equation not smaller than the other, the
  rewritten literal eligible, only the larger side of an equation rewritten).

Inferences are produced only by ``apply_rule`` over the records of
``get_resolution_rules()``.  Equality resolution comes from the reflexivity
axiom ``X = X``, which is added to every problem that mentions equality:
resolving a negative equation against it is exactly equality resolution, and
the proof then names a catalogue rule for that step too.

New clauses are rewritten with the active unit equations that the ordering
orients (or, for unorientable ones, whose instance decreases): a
"Demodulation" step whose parents are the clause and the equations used,
with each rewrite recorded so that the proof check can replay it.  When a
unit equation becomes active it also rewrites the clauses already kept.
Clauses have their variables renamed to 0, 1, ... in order of first
occurrence, are dropped when they are tautologies or subsumed by a kept
clause (forward subsumption), and remove the kept clauses they subsume
(backward subsumption).  Subsumption is multiset matching (equations in both
orientations), with cheap filters first: an index by sign, predicate and top
symbols of the arguments, literal counts and symbol-count vectors.

A passive set that runs dry proves satisfiability only where the calculus is
known to be refutationally complete: ordered resolution with selection and
factoring, with forward and backward subsumption and tautology deletion, on
equality-free clause sets.  Where equality occurs the search answers GaveUp
when it saturates.
"""

from __future__ import annotations

import heapq
import itertools
import sys
import time
from dataclasses import dataclass, field
from typing import Callable, Iterable

from kelvara.core.ast import (
    And,
    Constant,
    Equality,
    FunctionApp,
    Not,
    Or,
    PredicateApp,
    Variable,
)
from kelvara.prover.clausifier import Clause, Literal, to_cnf
from kelvara.prover.definitional import (
    DefinitionalForm,
    DefinitionError,
    check_definitional_form,
    clause_count,
    definitional_cnf,
    formula_symbols,
)
from kelvara.core.substitutions import substitute_formula, substitute_term
from kelvara.prover.rules import (
    apply_rule,
    get_resolution_rules,
    replace_atom_subterm,
    standardize_clause_variables,
)

from .tptp import FALSE, TRUE, Problem

__all__ = [
    "ProofClause",
    "ProverConfig",
    "ProverResult",
    "ProofCheckError",
    "Saturation",
    "clausify_problem",
    "prove",
    "check_proof",
    "normalize_clause",
    "subsumes",
    "is_variant",
    "is_tautology",
    "clause_weight",
    "kbo_greater",
    "DEMODULATION",
    "rewrite_step_valid",
    "replace_in_clause",
]

EQUALITY_KEY = "="
DEMODULATION = "Demodulation"


# ---------------------------------------------------------------------------
# Clause records
# ---------------------------------------------------------------------------


class ProofClause:
    """A clause of the search together with how it was obtained.

    ``rule`` is "Axiom" or "NegatedGoal" for input clauses (``source`` names
    the input formula) and a resolution rule name for inferred ones, whose
    ``parents`` are the premises in the order they were given to the rule.
    ``raw`` is the clause exactly as the rule (or the clausifier) returned
    it; ``clause`` is its variable-normalized form that the search uses.
    """

    __slots__ = (
        "number",
        "clause",
        "raw",
        "literals",
        "rule",
        "parents",
        "source",
        "weight",
        "keys",
        "keyset",
        "has_pos_eq",
        "alive",
        "active",
        "from_goal",
        "features",
        "sig",
        "demodulator_keys",
        "rewrites",
        "defines",
        "form",
        # Computed on first use (only kept clauses need them):
        "eligible",
        "eligible_keys",
        "eligible_pos_eq",
        "symbols",
        "match_order",
        "index_key",
        "para_from",
        "para_into",
    )

    def __init__(self, number: int, clause: Clause, raw: Clause, rule: str,
                 parents: tuple["ProofClause", ...] = (), source: str | None = None) -> None:
        self.number = number
        self.clause = clause
        self.raw = raw
        literals = clause.literals
        self.literals = literals
        self.rule = rule
        self.parents = parents
        self.source = source
        self.weight = clause_weight(literals)
        keys = [literal_key(lit) for lit in literals]
        self.keys = keys
        self.keyset = frozenset(keys)
        self.has_pos_eq = (True, EQUALITY_KEY) in self.keyset
        self.alive = True
        self.active = False
        self.from_goal = rule == "NegatedGoal" or any(p.from_goal for p in parents)
        self.features = _features(literals)
        self.sig = _signature(self.features)
        self.demodulator_keys: tuple = ()
        self.rewrites: tuple = ()  # (demodulator, old, new) steps of a Demodulation record
        self.defines: str | None = None  # input clauses: the predicate whose definition this is
        self.form: DefinitionalForm | None = None  # input clauses: the definitional form they come from

    def __getattr__(self, name: str):
        # Only reached for a lazily computed slot that is not filled yet.
        if name in _LAZY_SLOTS:
            self._prepare()
            return object.__getattribute__(self, name)
        raise AttributeError(name)

    def _prepare(self, selection: str = "heaviest") -> None:
        """Compute eligibility, the subsumption order and the paramodulation symbols."""
        literals = self.literals
        self.eligible = eligible_literals(literals, selection) if literals else ()
        self.eligible_keys = frozenset(literal_key(lit) for lit in self.eligible)
        self.eligible_pos_eq = (True, EQUALITY_KEY) in self.eligible_keys
        # Function and constant symbols: a substitution only adds symbols, so
        # a clause subsumes another only if its symbols are among the other's.
        symbols: set = set()
        for lit in literals:
            atom = lit.atom
            for term in ((atom.left, atom.right) if type(atom) is Equality else atom.args):
                _symbols_of_term(term, symbols)
        self.symbols = frozenset(symbols)
        # Heaviest literals first: the most specific ones fail a match soonest.
        self.match_order = tuple(sorted(literals, key=lambda lit: -clause_weight((lit,))))
        self.index_key = fine_key(self.match_order[0]) if literals else None
        # Top symbols of the sides that may rewrite, and of the subterms that may be rewritten.
        para_from = set()
        para_into = set()
        for lit in self.eligible:
            atom = lit.atom
            if lit.positive and type(atom) is Equality:
                if not kbo_greater(atom.right, atom.left):
                    para_from.add(_top(atom.left))
                if not kbo_greater(atom.left, atom.right):
                    para_from.add(_top(atom.right))
            for term in _rewritable_sides(atom):
                for sub in _subterms_innermost(term, []):
                    para_into.add(_top(sub))
        self.para_from = frozenset(para_from)
        self.para_into = frozenset(para_into)

    @property
    def is_empty(self) -> bool:
        return not self.literals

    def __repr__(self) -> str:
        return f"ProofClause(c{self.number}, {self.rule}, {list(self.literals)!r})"


_LAZY_SLOTS = frozenset({"eligible", "eligible_keys", "eligible_pos_eq", "symbols", "match_order",
                         "index_key", "para_from", "para_into"})


def _rewritable_sides(atom) -> tuple:
    """The parts of an atom that ordered paramodulation may rewrite into.

    Every argument of a predicate atom; of an equation the sides that are
    not smaller than the other side (an ordering that holds before
    substitution holds after it).
    """
    if type(atom) is Equality:
        left, right = atom.left, atom.right
        if kbo_greater(left, right):
            return (left,)
        if kbo_greater(right, left):
            return (right,)
        return (left, right)
    return atom.args


def literal_key(lit) -> tuple[bool, object]:
    atom = lit.atom
    if type(atom) is Equality:
        return (lit.positive, EQUALITY_KEY)
    return (lit.positive, (atom.pred, atom.arity))


def _term_weight(term) -> int:
    kind = type(term)
    if kind is FunctionApp:
        total = 2
        for arg in term.args:
            total += _term_weight(arg)
        return total
    if kind is Variable:
        return 1
    return 2


def clause_weight(literals: Iterable) -> int:
    """Symbol count: 2 per function, constant and predicate symbol, 1 per variable."""
    total = 0
    for lit in literals:
        atom = lit.atom
        if type(atom) is Equality:
            total += 1 + _term_weight(atom.left) + _term_weight(atom.right)
        else:
            total += 2
            for arg in atom.args:
                total += _term_weight(arg)
    return total


# ---------------------------------------------------------------------------
# Term ordering and literal selection
# ---------------------------------------------------------------------------
#
# Resolution is restricted to *eligible* literals: the selected literal of a
# clause when it has one (a heaviest negative literal), otherwise the
# literals that no other literal of the clause exceeds in a Knuth-Bendix
# ordering (all symbols weigh 1, precedence by arity then name).  The
# ordering of non-ground terms is stable under substitution, so a literal
# excluded here is never maximal in an instance either: every ordered
# resolution inference with selection is still performed.


def _symbol_of(term):
    kind = type(term)
    if kind is FunctionApp:
        return (term.arity, str(term.func))
    if kind is Constant:
        return (0, term.name)
    return (0, str(term))


_KBO_INFO: dict = {}
_KBO_GREATER: dict = {}
_CACHE_LIMIT = 400_000


def _kbo_data(term, counts: dict) -> int:
    """Weight of a term; adds its variable occurrences to counts."""
    kind = type(term)
    if kind is Variable:
        counts[term] = counts.get(term, 0) + 1
        return 1
    if kind is FunctionApp:
        weight = 1
        for arg in term.args:
            weight += _kbo_data(arg, counts)
        return weight
    return 1


def _kbo_info(term) -> tuple:
    """(weight, variable occurrence counts) of a term, cached per node."""
    info = _KBO_INFO.get(term)
    if info is None:
        counts: dict = {}
        info = (_kbo_data(term, counts), counts)
        if len(_KBO_INFO) >= _CACHE_LIMIT:
            _KBO_INFO.clear()
        _KBO_INFO[term] = info
    return info


def _occurs_in(var, term) -> bool:
    if term == var:
        return True
    if type(term) is FunctionApp:
        return any(_occurs_in(var, arg) for arg in term.args)
    return False


def kbo_greater(s, t) -> bool:
    """s > t in the Knuth-Bendix ordering over terms (atoms given as terms)."""
    key = (s, t)
    result = _KBO_GREATER.get(key)
    if result is None:
        result = _kbo_greater(s, t)
        if len(_KBO_GREATER) >= _CACHE_LIMIT:
            _KBO_GREATER.clear()
        _KBO_GREATER[key] = result
    return result


def _kbo_greater(s, t) -> bool:
    if s == t:
        return False
    ws, counts_s = _kbo_info(s)
    wt, counts_t = _kbo_info(t)
    for var, count in counts_t.items():
        if counts_s.get(var, 0) < count:
            return False
    if ws != wt:
        return ws > wt
    if type(t) is Variable:
        return _occurs_in(t, s)
    if type(s) is Variable:
        return False
    fs, ft = _symbol_of(s), _symbol_of(t)
    if fs != ft:
        return fs > ft
    for a, b in zip(getattr(s, "args", ()), getattr(t, "args", ())):
        if a != b:
            return kbo_greater(a, b)
    return False


def _atom_as_term(atom):
    if type(atom) is Equality:
        # Equations rank below every predicate atom of the same weight.
        return FunctionApp("!eq", 2, (atom.left, atom.right))
    return FunctionApp("$p:" + str(atom.pred), atom.arity, atom.args)


def literal_greater(a, b) -> bool:
    ta, tb = _atom_as_term(a.atom), _atom_as_term(b.atom)
    if ta == tb:
        return (not a.positive) and b.positive
    return kbo_greater(ta, tb)


def _is_ground_literal(lit) -> bool:
    fv = getattr(lit.atom, "_free_vars", None)
    return not fv


def _select_heaviest(negatives: list):
    return max(negatives, key=lambda lit: (clause_weight((lit,)), literal_key(lit)[1] != EQUALITY_KEY))


def _select_ground_first(negatives: list):
    ground = [lit for lit in negatives if _is_ground_literal(lit)]
    return _select_heaviest(ground or negatives)


def _select_fewest_variables(negatives: list):
    return max(negatives, key=lambda lit: (-len(lit.atom._free_vars or ()), clause_weight((lit,)),
                                           literal_key(lit)[1] != EQUALITY_KEY))


def _select_none(negatives: list):
    return None


SELECTIONS = {
    "heaviest": _select_heaviest,
    "ground-first": _select_ground_first,
    "fewest-variables": _select_fewest_variables,
    "none": _select_none,
}


def eligible_literals(literals: tuple, selection: str = "heaviest") -> tuple:
    """The literals of a clause that resolution and paramodulation may use.

    A clause with a negative literal has one of them selected by the named
    strategy (``SELECTIONS``); otherwise (or with no selection) its
    maximal literals are eligible.
    """
    negatives = [lit for lit in literals if not lit.positive]
    if negatives:
        best = SELECTIONS[selection](negatives)
        if best is not None:
            return (best,)
    return tuple(lit for lit in literals if not any(literal_greater(other, lit) for other in literals
                                                     if other is not lit))


# ---------------------------------------------------------------------------
# Variable normalization, tautologies, matching
# ---------------------------------------------------------------------------


def _collect_vars(term, order: dict) -> None:
    kind = type(term)
    if kind is Variable:
        if term not in order:
            order[term] = len(order)
    elif kind is FunctionApp:
        for arg in term.args:
            _collect_vars(arg, order)


def normalize_clause(clause: Clause) -> Clause:
    """Rename the variables to ids 0, 1, ... in order of first occurrence."""
    order: dict = {}
    for lit in clause.literals:
        atom = lit.atom
        if type(atom) is Equality:
            _collect_vars(atom.left, order)
            _collect_vars(atom.right, order)
        else:
            for arg in atom.args:
                _collect_vars(arg, order)
    if all(var.id == index for var, index in order.items()):
        return clause
    mapping = {var: Variable(index, var.kind, sort=var.sort) for var, index in order.items()}
    return clause.substitute(mapping)


def is_tautology(clause: Clause) -> bool:
    """Complementary literals, or a positive equation t = t."""
    positives = set()
    negatives = set()
    for lit in clause.literals:
        atom = lit.atom
        if lit.positive:
            if type(atom) is Equality and atom.left == atom.right:
                return True
            positives.add(atom)
        else:
            negatives.add(atom)
    return not positives.isdisjoint(negatives)


def _match_term(pattern, target, binding: dict) -> bool:
    """Extend ``binding`` so that pattern instantiated equals target (one-way matching)."""
    kind = type(pattern)
    if kind is Variable:
        bound = binding.get(pattern)
        if bound is None:
            binding[pattern] = target
            return True
        return bound == target
    if kind is FunctionApp:
        if type(target) is not FunctionApp or target.func != pattern.func or target.arity != pattern.arity:
            return False
        for p_arg, t_arg in zip(pattern.args, target.args):
            if not _match_term(p_arg, t_arg, binding):
                return False
        return True
    return pattern == target


def _match_atom(pattern, target, binding: dict, symmetric: bool) -> dict | None:
    """A binding extending ``binding`` under which pattern equals target, or None."""
    if type(pattern) is Equality:
        if type(target) is not Equality:
            return None
        trial = dict(binding)
        if _match_term(pattern.left, target.left, trial) and _match_term(pattern.right, target.right, trial):
            return trial
        if symmetric:
            trial = dict(binding)
            if _match_term(pattern.left, target.right, trial) and _match_term(pattern.right, target.left, trial):
                return trial
        return None
    if type(target) is not PredicateApp or pattern.pred != target.pred or pattern.arity != target.arity:
        return None
    trial = dict(binding)
    for p_arg, t_arg in zip(pattern.args, target.args):
        if not _match_term(p_arg, t_arg, trial):
            return None
    return trial


def _subsumes_literals(general: tuple, specific: tuple, symmetric: bool) -> bool:
    """Injective matching: distinct literals of ``general`` go to distinct literals of ``specific``."""
    used = [False] * len(specific)
    n = len(general)

    def extend(index: int, binding: dict) -> bool:
        if index == n:
            return True
        lit = general[index]
        atom = lit.atom
        sign = lit.positive
        for position, target in enumerate(specific):
            if used[position] or target.positive is not sign:
                continue
            trial = _match_atom(atom, target.atom, binding, symmetric)
            if trial is None:
                continue
            if index + 1 == n:
                return True
            used[position] = True
            if extend(index + 1, trial):
                return True
            used[position] = False
        return False

    return extend(0, {})


def _features(literals) -> dict:
    """Counts that a substitution never lowers: literals per sign and predicate, symbol occurrences.

    Under injective matching a clause subsumes another only if each of its
    counts is at most the other's count.
    """
    counts: dict = {}
    for lit in literals:
        key = literal_key(lit)
        counts[key] = counts.get(key, 0) + 1
        atom = lit.atom
        if type(atom) is Equality:
            stack = [atom.left, atom.right]
        else:
            stack = list(atom.args)
            # The top symbol at each argument position survives substitution,
            # and a ground literal can only match itself.
            ground = True
            for position, arg in enumerate(stack):
                if type(arg) is Variable:
                    ground = False
                    continue
                if ground and type(arg) is FunctionApp and arg._free_vars:
                    ground = False
                _position_features(arg, (key, position), _PATH_DEPTH, counts)
            if ground:
                counts[lit] = counts.get(lit, 0) + 1
        while stack:
            term = stack.pop()
            kind = type(term)
            if kind is FunctionApp:
                sym = (term.func, term.arity)
                counts[sym] = counts.get(sym, 0) + 1
                stack.extend(term.args)
            elif kind is Constant:
                counts[term.name] = counts.get(term.name, 0) + 1
    return counts


_PATH_DEPTH = 6  # depth of the argument positions whose symbols are features


def _position_features(term, path: tuple, depth: int, counts: dict) -> None:
    """Count (path, symbol) for the non-variable positions of a term down to ``depth``."""
    feature = (path, _top(term))
    counts[feature] = counts.get(feature, 0) + 1
    if depth > 1 and type(term) is FunctionApp:
        for index, arg in enumerate(term.args):
            if type(arg) is not Variable:
                _position_features(arg, path + (index,), depth - 1, counts)


_FEATURE_BITS: dict = {}
_LADDER = 4  # count levels encoded in a signature


def _signature(features: dict) -> int:
    """A bit set of (feature, level) for each level below the feature's count (up to _LADDER).

    Counts never drop under a substitution, so when one clause subsumes
    another, the signature of the first is a subset of the other's.
    """
    bits = _FEATURE_BITS
    sig = 0
    for key, count in features.items():
        for level in range(count if count < _LADDER else _LADDER):
            bit = bits.get((key, level))
            if bit is None:
                bit = bits[(key, level)] = 1 << len(bits)
            sig |= bit
    return sig


def _top(term):
    kind = type(term)
    if kind is FunctionApp:
        return (term.func, term.arity)
    if kind is Constant:
        return (term.name, 0)
    return ("", -1)  # a variable: matches any top symbol


_ANY = ("", -1)


def fine_key(lit) -> tuple:
    """Sign, predicate and top symbols of a literal's (first) arguments, variables as wildcards."""
    atom = lit.atom
    if type(atom) is Equality:
        a, b = _top(atom.left), _top(atom.right)
        return (lit.positive, EQUALITY_KEY, (a, b) if a <= b else (b, a))
    return (lit.positive, atom.pred, atom.arity, _top(atom.args[0]) if atom.args else None)


def generalized_keys(lit, sign: bool | None = None) -> list:
    """The fine keys of every literal that could match onto ``lit``.

    With ``sign`` given, the keys of the literals of that sign that could
    match onto the atom of ``lit``.
    """
    atom = lit.atom
    if sign is None:
        sign = lit.positive
    if type(atom) is Equality:
        a, b = _top(atom.left), _top(atom.right)
        keys = set()
        for x in (a, _ANY):
            for y in (b, _ANY):
                keys.add((sign, EQUALITY_KEY, (x, y) if x <= y else (y, x)))
        return list(keys)
    if not atom.args:
        return [(sign, atom.pred, atom.arity, None)]
    top = _top(atom.args[0])
    if top == _ANY:
        return [(sign, atom.pred, atom.arity, _ANY)]
    return [(sign, atom.pred, atom.arity, top), (sign, atom.pred, atom.arity, _ANY)]


def subsumes(general, specific) -> bool:
    """True when some substitution maps the literals of ``general`` one-to-one into ``specific``.

    Accepts clauses or ProofClause records; equations match in both
    orientations.  This is multiset subsumption: a clause with more literals
    than the other never subsumes it (factoring covers that case).
    """
    g = general.literals
    s = specific.literals
    if len(g) > len(s):
        return False
    if isinstance(general, ProofClause) and isinstance(specific, ProofClause):
        if general.sig & specific.sig != general.sig:
            return False
        g = general.match_order
    return _subsumes_literals(g, s, True)


def is_variant(first, second) -> bool:
    """True when the two clauses are equal up to a renaming of variables."""
    a, b = first.literals, second.literals
    if len(a) != len(b):
        return False
    if not _subsumes_literals(a, b, False) or not _subsumes_literals(b, a, False):
        return False
    return _renaming_match(a, b)


def _renaming_match(a: tuple, b: tuple) -> bool:
    """Both-ways subsumption holds; check that a binding maps variables to variables one-to-one."""
    used = [False] * len(b)

    def extend(index: int, binding: dict) -> bool:
        if index == len(a):
            values = list(binding.values())
            return all(type(v) is Variable for v in values) and len(set(values)) == len(values)
        lit = a[index]
        for position, target in enumerate(b):
            if used[position] or target.positive != lit.positive:
                continue
            trial = _match_atom(lit.atom, target.atom, binding, False)
            if trial is None:
                continue
            used[position] = True
            if extend(index + 1, trial):
                return True
            used[position] = False
        return False

    return extend(0, {})


# ---------------------------------------------------------------------------
# Demodulation: rewriting with oriented unit equations
# ---------------------------------------------------------------------------
#
# A rewrite step replaces every occurrence of an instance l.s of one side of
# a unit equation l = r by the matching instance r.s of the other side.  The
# step is recorded as (equation clause, l.s, r.s), so the proof checker can
# replay it without trusting the search's rewriting strategy.


def replace_everywhere(term, old, new):
    """``term`` with every occurrence of ``old`` replaced by ``new``."""
    if term == old:
        return new
    if type(term) is FunctionApp:
        args = tuple(replace_everywhere(arg, old, new) for arg in term.args)
        if any(x is not y for x, y in zip(args, term.args)):
            return FunctionApp(term.func, term.arity, args, term.return_sort)
    return term


def replace_in_clause(clause: Clause, old, new) -> Clause:
    literals = []
    for lit in clause.literals:
        atom = lit.atom
        if type(atom) is Equality:
            new_atom = Equality(replace_everywhere(atom.left, old, new), replace_everywhere(atom.right, old, new))
        else:
            new_atom = PredicateApp(atom.pred, atom.arity, tuple(replace_everywhere(a, old, new) for a in atom.args))
        literals.append(Literal(atom=new_atom, positive=lit.positive))
    return Clause(frozenset(literals))


def _term_vars(term, out: set) -> set:
    kind = type(term)
    if kind is Variable:
        out.add(term)
    elif kind is FunctionApp:
        for arg in term.args:
            _term_vars(arg, out)
    return out


def _subterms_innermost(term, out: list) -> list:
    """Non-variable subterms, arguments before the term itself."""
    kind = type(term)
    if kind is FunctionApp:
        for arg in term.args:
            _subterms_innermost(arg, out)
        out.append(term)
    elif kind is Constant:
        out.append(term)
    return out


def rewrite_step_valid(equation: Clause, old, new) -> bool:
    """True when old = new is an instance of the unit equation (either orientation)."""
    lits = equation.literals
    if len(lits) != 1 or not lits[0].positive or type(lits[0].atom) is not Equality:
        return False
    atom = lits[0].atom
    for lhs, rhs in ((atom.left, atom.right), (atom.right, atom.left)):
        binding: dict = {}
        if _match_term(lhs, old, binding) and _match_term(rhs, new, binding) \
                and _term_vars(rhs, set()) <= _term_vars(lhs, set()):
            return True
    return False


# ---------------------------------------------------------------------------
# Clausification
# ---------------------------------------------------------------------------


def _symbols_of_term(term, out: set) -> None:
    kind = type(term)
    if kind is FunctionApp:
        out.add(term.func)
        for arg in term.args:
            _symbols_of_term(arg, out)
    elif kind is Constant:
        out.add(term.name)


def _symbols_of_formula(formula, out: set) -> None:
    stack = [formula]
    while stack:
        node = stack.pop()
        kind = type(node)
        if kind is PredicateApp:
            for arg in node.args:
                _symbols_of_term(arg, out)
        elif kind is Equality:
            _symbols_of_term(node.left, out)
            _symbols_of_term(node.right, out)
        elif kind is Not:
            stack.append(node.operand)
        elif hasattr(node, "body"):
            stack.append(node.body)
        elif hasattr(node, "left"):
            stack.append(node.left)
            stack.append(node.right)


def _rename_term(term, mapping: dict):
    kind = type(term)
    if kind is FunctionApp:
        args = tuple(_rename_term(arg, mapping) for arg in term.args)
        func = mapping.get(term.func, term.func)
        if func is term.func and all(a is b for a, b in zip(args, term.args)):
            return term
        return FunctionApp(func, term.arity, args, term.return_sort)
    if kind is Constant and term.name in mapping:
        return Constant(mapping[term.name], sort=term.sort)
    return term


def _rename_clause(clause: Clause, mapping: dict) -> Clause:
    literals = []
    for lit in clause.literals:
        atom = lit.atom
        if type(atom) is Equality:
            new_atom = Equality(_rename_term(atom.left, mapping), _rename_term(atom.right, mapping))
        else:
            new_atom = PredicateApp(atom.pred, atom.arity, tuple(_rename_term(a, mapping) for a in atom.args))
        literals.append(Literal(atom=new_atom, positive=lit.positive))
    return Clause(frozenset(literals))


@dataclass
class InputClause:
    """A clause obtained from one input statement.

    Statements clausified with definitions carry their ``form``; ``defines``
    names the predicate whose definition the clause comes from (None for a
    clause of the statement itself).
    """

    clause: Clause
    role: str  # "Axiom" or "NegatedGoal"
    source: str
    defines: str | None = None
    form: DefinitionalForm | None = None


def _mentions_equality(clauses: Iterable[Clause]) -> bool:
    return any(type(lit.atom) is Equality for c in clauses for lit in c.literals)


def clausify_problem(problem: Problem, definitions_above: int | None = 64,
                     definition_threshold: int = 8) -> tuple[list[InputClause], bool]:
    """Clause form of a problem; the second value tells whether it has a conjecture.

    Conjectures are conjoined and negated.  Symbols that the clausifier
    introduces (Skolem functions) are renamed so that the ones of different
    statements never share a name.  A statement whose plain clause form would
    have more than ``definitions_above`` clauses (None: never) is clausified
    with definitions (see :mod:`kelvara.prover.definitional`), naming the
    operands of products of more than ``definition_threshold`` clauses.
    """
    input_symbols: set = set()
    for statement in problem.formulas:
        _symbols_of_formula(statement.formula, input_symbols)
    all_symbols: set = set(input_symbols)
    for statement in problem.formulas:
        formula_symbols(statement.formula, all_symbols)
    used = set(input_symbols)
    counter = itertools.count()

    def fresh_name() -> str:
        while True:
            candidate = f"sk{next(counter)}"
            if candidate not in used:
                used.add(candidate)
                return candidate

    jobs: list[tuple[object, str, str]] = []
    conjectures = [s for s in problem.formulas if s.role == "conjecture"]
    for statement in problem.formulas:
        if statement.role == "conjecture":
            continue
        role = "NegatedGoal" if statement.role == "negated_conjecture" else "Axiom"
        jobs.append((statement.formula, role, statement.name))
    if conjectures:
        goal = None
        for statement in conjectures:
            formula = statement.formula
            if formula is TRUE:
                continue
            if formula is FALSE:
                goal = FALSE
                break
            goal = formula if goal is None else And(goal, formula)
        names = ",".join(s.name for s in conjectures)
        if goal is None:  # every conjecture is $true: its negation is $false
            jobs.append((FALSE, "NegatedGoal", names))
        elif goal is not FALSE:  # a $false conjecture negates to $true: nothing to add
            jobs.append((Not(goal), "NegatedGoal", names))

    result: list[InputClause] = []
    for formula, role, source in jobs:
        if formula is TRUE:
            continue
        if formula is FALSE:
            result.append(InputClause(Clause(frozenset()), role, source))
            continue
        if definitions_above is not None and clause_count(formula) > definitions_above:
            avoid = used | all_symbols
            form = definitional_cnf(formula, avoid, threshold=definition_threshold)
            if form.definitions:
                used |= avoid - all_symbols
                for index, (_, _, clauses) in enumerate(form.pieces):
                    definition = form.piece_of(index)
                    for clause in clauses:
                        result.append(InputClause(clause, role, source,
                                                  None if definition is None else definition.name, form))
                continue
        # The clausifier avoids the names it is given for its Skolem symbols;
        # should it reuse one all the same, the clauses are renamed here.
        clauses = list(to_cnf(formula, signature=frozenset(used)))
        introduced: set = set()
        for clause in clauses:
            for lit in clause.literals:
                atom = lit.atom
                terms = (atom.left, atom.right) if type(atom) is Equality else atom.args
                for term in terms:
                    _symbols_of_term(term, introduced)
        introduced -= input_symbols
        clashing = introduced & used
        if clashing:
            mapping = {name: fresh_name() for name in sorted(clashing, key=str)}
            clauses = [_rename_clause(c, mapping) for c in clauses]
        used |= introduced
        for clause in clauses:
            result.append(InputClause(clause, role, source))
    return result, bool(conjectures)


# ---------------------------------------------------------------------------
# The loop
# ---------------------------------------------------------------------------


@dataclass
class ProverConfig:
    time_limit: float | None = 10.0
    max_clauses: int | None = None
    pick_given_ratio: int = 4  # lightest clauses picked per oldest clause picked
    axiom_weight_factor: float = 1.5  # weight penalty of clauses unrelated to the goal
    progress: Callable[[dict], None] | None = None
    progress_interval: float = 1.0
    demodulation: bool = True  # rewrite with oriented active unit equations
    ordered_paramodulation: bool = True  # keep only the paramodulants of ordered inferences
    max_rewrites: int = 1000  # rewrite steps per clause
    selection: str = "heaviest"  # literal selection, a key of SELECTIONS
    literal_penalty: float = 0.0  # added to a clause's priority per literal beyond the first
    definitions_above: int | None = 64  # name subformulas of statements with more plain clauses (None: never)
    definition_threshold: int = 8  # ... splitting products of more clauses than this


@dataclass
class ProverResult:
    status: str  # SZS status
    proof: list[ProofClause] | None = None
    given: int = 0
    kept: int = 0
    generated: int = 0
    seconds: float = 0.0
    reason: str = ""
    stats: dict = field(default_factory=dict)


class ProofCheckError(Exception):
    """A derivation step could not be reproduced from its parents."""


class Saturation:
    """One run of the given-clause loop over a fixed set of input clauses."""

    def __init__(self, inputs: list[InputClause], config: ProverConfig | None = None) -> None:
        self.config = config or ProverConfig()
        rules = {rule.name: rule for rule in get_resolution_rules()}
        self.resolution = rules["BinaryResolution"]
        self.factoring = rules["Factoring"]
        self.paramodulation = rules["Paramodulation"]
        self.inputs = inputs
        self.numbers = itertools.count(1)
        self.passive_by_weight: list = []
        self.passive_by_age: list = []
        self.active: dict[int, ProofClause] = {}
        self.active_by_key: dict = {}
        self.active_pos_eq: dict[int, ProofClause] = {}
        # Forward subsumption: each kept clause filed under the fine key of one
        # literal and then under its feature signature; exact duplicates by value.
        self.subsumer_index: dict = {}
        self.kept_clauses: dict = {}
        # Unit simplification: kept unit clauses by the fine key of their literal.
        self.units: dict = {}
        self.unit_deletions = 0
        # Backward subsumption: each kept clause filed under all of its keys.
        self.key_index: dict = {}
        # Demodulation: active unit equations by the top symbol of the side that rewrites.
        self.demodulators: dict = {}
        self.kept = 0
        self.generated = 0
        self.rewrites = 0
        self.given_count = 0
        self.passive_count = 0
        self.empty: ProofClause | None = None
        self.refl: ProofClause | None = None
        self.deadline: float | None = None
        # Saturation proves satisfiability only for a calculus known to be
        # complete: ordered resolution with selection and factoring on
        # equality-free clauses.  With equality the paramodulation and
        # rewriting restrictions are not known to keep completeness.
        self.complete = True

    # -- bookkeeping ------------------------------------------------------
    def _make(self, raw: Clause, rule: str, parents=(), source=None) -> ProofClause:
        return ProofClause(next(self.numbers), normalize_clause(raw), raw, rule, tuple(parents), source)

    def _forward_subsumed(self, record: ProofClause) -> bool:
        if record.clause in self.kept_clauses:
            return True
        size = len(record.literals)
        sig = record.sig
        literals = record.literals
        index = self.subsumer_index
        seen = set()
        for lit in literals:
            for key in generalized_keys(lit):
                if key in seen:
                    continue
                seen.add(key)
                bucket = index.get(key)
                if not bucket:
                    continue
                for other_sig, group in bucket.items():
                    if other_sig & sig != other_sig:
                        continue
                    for other in group.values():
                        if len(other.literals) <= size and _subsumes_literals(other.match_order, literals, True):
                            return True
        return False

    def _backward_subsume(self, record: ProofClause) -> None:
        if not record.keys:
            return
        buckets = [self.key_index.get(key) for key in record.keyset]
        if any(not b for b in buckets):
            return
        smallest = min(buckets, key=len)
        size = len(record.literals)
        sig = record.sig
        order = record.match_order
        victims = [other for other in smallest.values()
                   if other.sig & sig == sig and len(other.literals) >= size and other is not self.refl
                   and _subsumes_literals(order, other.literals, True)]
        for victim in victims:
            self._remove(victim)

    def _remove(self, record: ProofClause) -> None:
        record.alive = False
        for key in record.keyset:
            self.key_index[key].pop(record.number, None)
        groups = self.subsumer_index[record.index_key]
        group = groups.get(record.sig)
        if group is not None:
            group.pop(record.number, None)
            if not group:
                del groups[record.sig]
        if self.kept_clauses.get(record.clause) is record:
            del self.kept_clauses[record.clause]
        if len(record.literals) == 1:
            self.units[fine_key(record.literals[0])].pop(record.number, None)
        if record.active:
            del self.active[record.number]
            for key in record.eligible_keys:
                self.active_by_key[key].pop(record.number, None)
            self.active_pos_eq.pop(record.number, None)
            for entry in record.demodulator_keys:
                self.demodulators[entry].pop(record.number, None)
                self.demodulators[entry].pop(-record.number, None)
        else:
            self.passive_count -= 1

    def _file(self, record: ProofClause) -> None:
        record._prepare(self.config.selection)
        self.kept += 1
        self.passive_count += 1
        self.subsumer_index.setdefault(record.index_key, {}).setdefault(record.sig, {})[record.number] = record
        self.kept_clauses[record.clause] = record
        if len(record.literals) == 1:
            self.units.setdefault(fine_key(record.literals[0]), {})[record.number] = record
        for key in record.keyset:
            self.key_index.setdefault(key, {})[record.number] = record

    def _keep(self, record: ProofClause) -> None:
        """File a new clause as passive (after the redundancy checks)."""
        self._file(record)
        heapq.heappush(self.passive_by_weight, (self._priority(record), record.number, record))
        heapq.heappush(self.passive_by_age, (record.number, record))

    def _priority(self, record: ProofClause) -> float:
        """Weight, with clauses that descend from the negated goal preferred."""
        config = self.config
        weight = record.weight + config.literal_penalty * (len(record.literals) - 1)
        return weight if record.from_goal else weight * config.axiom_weight_factor

    def _consider(self, record: ProofClause) -> bool:
        """Simplify a new clause and run the redundancy checks; True when it was the empty clause."""
        if self.demodulators and record.literals:
            record = self._demodulate(record)
        if self.units and record.literals:
            record = self._unit_simplify(record)
        if record.is_empty:
            self.empty = record
            return True
        if is_tautology(record.clause):
            return False
        if self._forward_subsumed(record):
            return False
        self._backward_subsume(record)
        self._keep(record)
        return False

    # -- unit simplification ----------------------------------------------
    def _unit_simplify(self, record: ProofClause) -> ProofClause:
        """Delete the literals of a clause that a kept unit clause contradicts.

        A literal L goes when a unit clause {M} has the opposite sign and M
        matches L (an instance of M is L, the clause's own variables left
        alone).  Each deletion is the binary resolvent of the clause and the
        unit, taken from the rule's results; it subsumes the clause it
        replaces, which is checked before the replacement.
        """
        units = self.units
        limit = self.config.max_rewrites
        steps = 0
        while record.literals and steps < limit:
            found = None
            for lit in record.literals:
                atom = lit.atom
                for key in generalized_keys(lit, not lit.positive):
                    bucket = units.get(key)
                    if not bucket:
                        continue
                    for unit in bucket.values():
                        if unit is record:
                            continue
                        if _match_atom(unit.literals[0].atom, atom, {}, False) is not None:
                            found = (lit, unit)
                            break
                    if found:
                        break
                if found:
                    break
            if found is None:
                return record
            lit, unit = found
            simplified = None
            wanted = len(record.literals) - 1
            for result in apply_rule(self.resolution, [record.clause, unit.clause]):
                clause = result[0]
                if result[2][0] == lit and len(clause.literals) == wanted and subsumes(clause, record.clause):
                    simplified = clause
                    break
            if simplified is None:
                return record
            steps += 1
            self.unit_deletions += 1
            record = self._make(simplified, self.resolution.name, (record, unit))
        return record

    # -- demodulation -----------------------------------------------------
    def _rewrite_once(self, clause: Clause, skip: ProofClause | None = None):
        """One reducible subterm of the clause: (demodulator, old, new), or None.

        ``skip`` is the record of the clause itself, which never rewrites itself.
        """
        demodulators = self.demodulators
        for lit in clause.literals:
            atom = lit.atom
            terms = (atom.left, atom.right) if type(atom) is Equality else atom.args
            for top_term in terms:
                for sub in _subterms_innermost(top_term, []):
                    bucket = demodulators.get(_top(sub))
                    if not bucket:
                        continue
                    for record, lhs, rhs, oriented in bucket.values():
                        if record is skip:
                            continue
                        binding: dict = {}
                        if not _match_term(lhs, sub, binding):
                            continue
                        new = substitute_term(rhs, binding) if binding else rhs
                        if oriented or kbo_greater(sub, new):
                            return record, sub, new
        return None

    def _demodulate(self, record: ProofClause) -> ProofClause:
        clause = record.clause
        steps = []
        while len(steps) < self.config.max_rewrites:
            found = self._rewrite_once(clause, record)
            if found is None:
                break
            demodulator, old, new = found
            clause = replace_in_clause(clause, old, new)
            steps.append((demodulator, old, new))
        if not steps:
            return record
        self.rewrites += len(steps)
        parents = [record]
        for demodulator, _, _ in steps:
            if demodulator not in parents:
                parents.append(demodulator)
        result = self._make(clause, DEMODULATION, parents)
        result.rewrites = tuple(steps)
        return result

    def _add_demodulator(self, record: ProofClause) -> None:
        """Make an active positive unit equation available for rewriting, both ways if unoriented."""
        atom = record.literals[0].atom
        left, right = atom.left, atom.right
        entries = []
        for lhs, rhs in ((left, right), (right, left)):
            if type(lhs) is Variable or not _term_vars(rhs, set()) <= _term_vars(lhs, set()):
                continue
            if kbo_greater(rhs, lhs):
                continue
            entries.append((lhs, rhs, kbo_greater(lhs, rhs)))
        keys = []
        for lhs, rhs, oriented in entries:
            key = _top(lhs)
            bucket = self.demodulators.setdefault(key, {})
            # Unoriented equations file one entry per direction under distinct ids.
            ident = record.number if not bucket.get(record.number) else -record.number
            bucket[ident] = (record, lhs, rhs, oriented)
            keys.append(key)
        record.demodulator_keys = tuple(keys)
        if keys:
            self._backward_demodulate(record, [_top(e[0]) for e in entries])

    def _backward_demodulate(self, demodulator: ProofClause, tops: list) -> None:
        names = {name for name, _ in tops}
        victims = []
        for store in (self.key_index,):
            seen = set()
            for bucket in store.values():
                for other in bucket.values():
                    if other.number in seen or other is demodulator or other is self.refl or not other.alive:
                        continue
                    seen.add(other.number)
                    if names & other.symbols and self._rewrite_once(other.clause, other) is not None:
                        victims.append(other)
        for victim in victims:
            if not victim.alive:
                continue
            self._remove(victim)
            if self._consider(self._demodulate(victim)):
                return

    # -- selection --------------------------------------------------------
    def _activate(self, record: ProofClause) -> None:
        record.active = True
        self.passive_count -= 1
        self.active[record.number] = record
        for key in record.eligible_keys:
            self.active_by_key.setdefault(key, {})[record.number] = record
        if record.eligible_pos_eq and record is not self.refl:
            self.active_pos_eq[record.number] = record
        if (self.config.demodulation and len(record.literals) == 1 and record.has_pos_eq
                and record is not self.refl):
            self._add_demodulator(record)

    def _select(self) -> ProofClause | None:
        ratio = self.config.pick_given_ratio
        use_age = ratio <= 0 or self.given_count % (ratio + 1) == ratio
        heaps = (self.passive_by_age, self.passive_by_weight) if use_age else (
            self.passive_by_weight, self.passive_by_age)
        for heap in heaps:
            while heap:
                record = heapq.heappop(heap)[-1]
                if record.alive and not record.active:
                    return record
        return None

    # -- inference --------------------------------------------------------
    def _partners_for_resolution(self, given: ProofClause) -> list[ProofClause]:
        found: dict[int, ProofClause] = {}
        for positive, symbol in given.eligible_keys:
            bucket = self.active_by_key.get((not positive, symbol))
            if bucket:
                found.update(bucket)
        return [found[n] for n in sorted(found)]

    def _partners_for_paramodulation(self, given: ProofClause) -> list[ProofClause]:
        if given is self.refl:
            return []
        if given.eligible_pos_eq:
            candidates = [c for n, c in sorted(self.active.items()) if c is not self.refl]
        else:
            candidates = [self.active_pos_eq[n] for n in sorted(self.active_pos_eq)]
        return [c for c in candidates if _may_paramodulate(given, c) or _may_paramodulate(c, given)]

    def _generate(self, given: ProofClause):
        if len(given.literals) > 1 and given.eligible[0].positive:
            # Ordered factoring: only clauses without a selected literal, and
            # only factors that merge an eligible literal with another positive one.
            for result in apply_rule(self.factoring, [given.clause]):
                if _ordered_factor(given, result[1]):
                    yield result[0], self.factoring.name, (given,)
        for partner in self._partners_for_resolution(given):
            results = apply_rule(self.resolution, [given.clause, partner.clause])
            if not results:
                continue
            renaming = standardize_clause_variables(given.clause, partner.clause)[2]
            if renaming:
                allowed = {Literal(atom=substitute_formula(lit.atom, renaming), positive=lit.positive)
                           for lit in partner.eligible}
            else:
                allowed = set(partner.eligible)
            mine = set(given.eligible)
            for result in results:
                first, second = result[2]
                if (first in mine and second in allowed) or _merged_eligible(result[1], first, second, mine, allowed):
                    yield result[0], self.resolution.name, (given, partner)
        ordered = self.config.ordered_paramodulation
        for partner in self._partners_for_paramodulation(given):
            if ordered and not (_may_superpose(given, partner) or _may_superpose(partner, given)):
                continue  # no ordered paramodulant: the rule's results would all be dropped
            results = apply_rule(self.paramodulation, [given.clause, partner.clause])
            if not results:
                continue
            if ordered:
                views = _paramodulation_views(given, partner)
                results = [r for r in results if any(_explains(view, r[0], r[1]) for view in views)]
            for result in results:
                yield result[0], self.paramodulation.name, (given, partner)

    # -- driver -----------------------------------------------------------
    def run(self) -> ProverResult:
        config = self.config
        start = time.monotonic()
        deadline = None if config.time_limit is None else start + config.time_limit
        self.deadline = deadline
        next_report = start + config.progress_interval

        def finish(status: str, reason: str = "") -> ProverResult:
            proof = extract_proof(self.empty) if self.empty is not None else None
            return ProverResult(status=status, proof=proof, given=self.given_count, kept=self.kept,
                                generated=self.generated, seconds=time.monotonic() - start, reason=reason,
                                stats={"rewrites": self.rewrites, "unit_deletions": self.unit_deletions,
                                       "complete": self.complete})

        inputs = self.inputs
        if _mentions_equality(ic.clause for ic in inputs):
            self.complete = False
            refl_var = Variable(0)
            refl = Clause(frozenset([Literal(atom=Equality(refl_var, refl_var), positive=True)]))
            inputs = inputs + [InputClause(refl, "Axiom", "reflexivity")]
        for item in inputs:
            record = self._make(item.clause, item.role, (), item.source)
            record.defines = item.defines
            record.form = item.form
            if item.source == "reflexivity" and item is inputs[-1]:
                self.refl = record
                self._file(record)
                heapq.heappush(self.passive_by_weight, (record.weight, record.number, record))
                heapq.heappush(self.passive_by_age, (record.number, record))
                continue
            if self._consider(record):
                return finish("Unsatisfiable")

        while True:
            now = time.monotonic()
            if deadline is not None and now >= deadline:
                return finish("Timeout", "time limit reached")
            if config.progress is not None and now >= next_report:
                config.progress(self.statistics(now - start))
                next_report = now + config.progress_interval
            given = self._select()
            if given is None:
                if self.complete:
                    return finish("Satisfiable", "saturated")
                return finish("GaveUp", "saturated, but the calculus run is not known to be complete "
                                        "with equality")
            if self.units and len(given.literals) > 1:
                # Units kept since the clause was filed may shorten it now.
                simplified = self._unit_simplify(given)
                if simplified is not given:
                    self._remove(given)
                    if self._consider(simplified):
                        return finish("Unsatisfiable")
                    continue
            self.given_count += 1
            self._activate(given)
            if self.empty is not None:
                return finish("Unsatisfiable")
            if not given.alive:
                continue
            for raw, rule, parents in self._generate(given):
                self.generated += 1
                record = self._make(raw, rule, parents)
                if self._consider(record):
                    return finish("Unsatisfiable")
                if config.max_clauses is not None and self.kept > config.max_clauses:
                    return finish("GaveUp", f"more than {config.max_clauses} clauses kept")
                if deadline is not None and (self.generated & 15) == 0 and time.monotonic() >= deadline:
                    return finish("Timeout", "time limit reached")
                if not given.alive:
                    # A new clause subsumed the given clause: its remaining
                    # inferences are redundant.
                    break

    def statistics(self, elapsed: float) -> dict:
        return {
            "given": self.given_count,
            "kept": self.kept,
            "generated": self.generated,
            "active": len(self.active),
            "passive": self.passive_count,
            "seconds": elapsed,
            "rate": self.generated / elapsed if elapsed > 0 else 0.0,
        }


# ---------------------------------------------------------------------------
# Ordering restrictions of paramodulation
# ---------------------------------------------------------------------------
#
# The rule paramodulates from every equation, both ways, into every
# non-variable subterm of every literal.  The search keeps only the
# paramodulants that an ordered inference yields: the equation is an
# eligible literal of its clause, its rewriting side is not smaller than the
# other side under the unifier, the rewritten literal is eligible in its
# clause, and inside an equation only the side that is not smaller is
# rewritten.


def _merged_eligible(sigma: dict, first, second, mine: set, allowed: set) -> bool:
    """True when the unifier also resolves an eligible pair, merged into the pair the rule reports.

    The rule reports each distinct resolvent once; when an eligible literal
    and the resolved literal become equal under the unifier, the ordered
    inference has this same resolvent.
    """
    if not sigma:
        return False
    target_first = first.substitute(sigma)
    target_second = second.substitute(sigma)
    return (any(lit.substitute(sigma) == target_first for lit in mine)
            and any(lit.substitute(sigma) == target_second for lit in allowed))


def _ordered_factor(record: ProofClause, sigma: dict) -> bool:
    """True when the unifier merges an eligible literal of the clause with another positive literal."""
    positives = [lit for lit in record.literals if lit.positive]
    images = {lit: lit.substitute(sigma) for lit in positives}
    for lit in record.eligible:
        image = images.get(lit)
        if image is None:
            continue
        if any(other is not lit and other != lit and images[other] == image for other in positives):
            return True
    return False


def _walk(term, side: int, binding: dict):
    while type(term) is Variable:
        bound = binding.get((side, term))
        if bound is None:
            break
        term, side = bound
    return term, side


def _occurs(var, vside: int, term, side: int, binding: dict) -> bool:
    term, side = _walk(term, side, binding)
    if type(term) is Variable:
        return term == var and side == vside
    if type(term) is FunctionApp:
        return any(_occurs(var, vside, arg, side, binding) for arg in term.args)
    return False


def _unifiable(s, s_side: int, t, t_side: int, binding: dict) -> bool:
    """Robinson unification of two terms whose variables live apart (by side)."""
    s, s_side = _walk(s, s_side, binding)
    t, t_side = _walk(t, t_side, binding)
    if type(s) is Variable:
        if type(t) is Variable and s == t and s_side == t_side:
            return True
        if _occurs(s, s_side, t, t_side, binding):
            return False
        binding[(s_side, s)] = (t, t_side)
        return True
    if type(t) is Variable:
        return _unifiable(t, t_side, s, s_side, binding)
    if type(s) is FunctionApp:
        if type(t) is not FunctionApp or s.func != t.func or s.arity != t.arity:
            return False
        return all(_unifiable(x, s_side, y, t_side, binding) for x, y in zip(s.args, t.args))
    return s == t


def _may_superpose(eq_clause: ProofClause, target: ProofClause) -> bool:
    """True when a side of an eligible equation that is not smaller unifies with a rewritable subterm.

    A necessary condition for an ordered paramodulant from ``eq_clause``
    into ``target``; the two clauses' variables are kept apart.
    """
    sides = []
    for lit in eq_clause.eligible:
        atom = lit.atom
        if lit.positive and type(atom) is Equality:
            if not kbo_greater(atom.right, atom.left):
                sides.append(atom.left)
            if not kbo_greater(atom.left, atom.right):
                sides.append(atom.right)
    if not sides:
        return False
    for lit in target.eligible:
        for term in _rewritable_sides(lit.atom):
            for sub in _subterms_innermost(term, []):
                for side in sides:
                    if _unifiable(side, 0, sub, 1, {}):
                        return True
    return False


def _may_paramodulate(eq_clause: ProofClause, target: ProofClause) -> bool:
    """Cheap test: could some rewriting side of eq_clause unify with a subterm of target?"""
    tops = eq_clause.para_from
    if not tops:
        return False
    into = target.para_into
    if not into:
        return False
    return _ANY in tops or not tops.isdisjoint(into)


def _paramodulation_views(given: ProofClause, partner: ProofClause) -> list:
    """(equation literals, eligible ones, target literals, eligible ones) as the rule renamed them."""
    views = []
    for eq_rec, target_rec in ((given, partner), (partner, given)):
        if not eq_rec.eligible_pos_eq:
            continue
        renaming = standardize_clause_variables(eq_rec.clause, target_rec.clause)[2]
        if renaming:
            def ren(lit, renaming=renaming):
                return Literal(atom=substitute_formula(lit.atom, renaming), positive=lit.positive)
            target_lits = tuple(ren(lit) for lit in target_rec.literals)
            target_elig = tuple(ren(lit) for lit in target_rec.eligible)
        else:
            target_lits, target_elig = target_rec.literals, target_rec.eligible
        eq_elig = tuple(lit for lit in eq_rec.eligible if lit.positive and type(lit.atom) is Equality)
        views.append((eq_rec.literals, eq_elig, target_lits, target_elig))
    return views


def _explains(view, para: Clause, sigma: dict) -> bool:
    eq_lits, eq_elig, target_lits, target_elig = view
    produced = set(para.literals)

    def inst(lit):
        return lit.substitute(sigma)

    for e in eq_elig:
        left = substitute_term(e.atom.left, sigma)
        right = substitute_term(e.atom.right, sigma)
        if left == right:
            continue
        sides = []
        if not kbo_greater(right, left):
            sides.append((left, right))
        if not kbo_greater(left, right):
            sides.append((right, left))
        if not sides:
            continue
        rest_eq = {inst(lit) for lit in eq_lits if lit != e}
        if not rest_eq <= produced:
            continue
        for target in target_elig:
            rest = rest_eq | {inst(lit) for lit in target_lits if lit != target}
            if not rest <= produced:
                continue
            extra = produced - rest
            if len(extra) > 1:
                continue
            if not extra:
                return True
            new_lit = next(iter(extra))
            if new_lit.positive is not target.positive:
                continue
            atom = inst(target).atom
            if type(atom) is Equality:
                if type(new_lit.atom) is not Equality:
                    continue
                u, v = atom.left, atom.right
                if kbo_greater(u, v) and new_lit.atom.right != v:
                    continue
                if kbo_greater(v, u) and new_lit.atom.left != u:
                    continue
            for source, replacement in sides:
                if new_lit.atom in replace_atom_subterm(atom, source, replacement):
                    return True
    return False


def extract_proof(empty: ProofClause) -> list[ProofClause]:
    """The clauses that the empty clause depends on, in order of creation."""
    seen: dict[int, ProofClause] = {}
    stack = [empty]
    while stack:
        record = stack.pop()
        if record.number in seen:
            continue
        seen[record.number] = record
        stack.extend(record.parents)
    return [seen[n] for n in sorted(seen)]


def check_proof(proof: list[ProofClause], inputs: list[InputClause] | None = None) -> None:
    """Re-derive every step of a proof; raise ProofCheckError on the first that fails.

    An inferred step must be among the results of its rule applied to its
    parents (in the recorded order), and the clause used in the search must
    be a variant of that result.  An input step must be a variant of a clause
    of the clause form of its statement; for a statement clausified with
    definitions, the recorded form is verified (fresh names, polarities, the
    statement given back by expanding the definitions, each piece's clauses
    recomputed) and the step must be a variant of a clause of the piece it
    names: the rewritten statement, or the definition of ``defines``.
    """
    rules = {rule.name: rule for rule in get_resolution_rules()}
    numbers = {record.number for record in proof}
    checked_forms: set = set()
    if not proof or proof[-1].literals:
        raise ProofCheckError("the proof does not end with the empty clause")
    for record in proof:
        if not is_variant(record.raw, record.clause):
            raise ProofCheckError(f"c{record.number} is not a renaming of the clause it was derived as")
        if record.rule in ("Axiom", "NegatedGoal"):
            if record.parents:
                raise ProofCheckError(f"input clause c{record.number} has parents")
            if inputs is not None and record.source != "reflexivity":
                if not any(ic.source == record.source and ic.role == record.rule and ic.defines == record.defines
                           and ic.form is record.form and is_variant(ic.clause, record.raw)
                           for ic in inputs):
                    raise ProofCheckError(f"c{record.number} is not in the clause form of {record.source}")
            if record.form is not None or record.defines is not None:
                _check_definitional_input(record, checked_forms)
            if record.source == "reflexivity":
                lits = record.raw.literals
                if not (len(lits) == 1 and lits[0].positive and type(lits[0].atom) is Equality
                        and type(lits[0].atom.left) is Variable and lits[0].atom.left == lits[0].atom.right):
                    raise ProofCheckError(f"c{record.number} is not the reflexivity axiom")
            continue
        for parent in record.parents:
            if parent.number not in numbers or parent.number >= record.number:
                raise ProofCheckError(f"c{record.number} depends on c{parent.number}, which does not precede it")
        if record.rule == DEMODULATION:
            _check_demodulation(record)
            continue
        rule = rules.get(record.rule)
        if rule is None:
            raise ProofCheckError(f"c{record.number} names an unknown rule {record.rule}")
        results = apply_rule(rule, [parent.clause for parent in record.parents])
        if not any(result[0] == record.raw for result in results):
            if not any(is_variant(result[0], record.raw) for result in results):
                raise ProofCheckError(f"c{record.number} does not follow from "
                                      + ", ".join(f"c{p.number}" for p in record.parents) + f" by {record.rule}")


def _check_definitional_input(record: ProofClause, checked_forms: set) -> None:
    form = record.form
    if form is None:
        raise ProofCheckError(f"c{record.number} claims to define {record.defines} without a definitional form")
    if id(form) not in checked_forms:
        try:
            check_definitional_form(form)
        except DefinitionError as exc:
            raise ProofCheckError(f"c{record.number}: the definitions of {record.source} do not hold up: {exc}")
        checked_forms.add(id(form))
    names = [None] + [d.name for d in form.definitions]
    if record.defines not in names:
        raise ProofCheckError(f"c{record.number} names {record.defines}, which {record.source} does not define")
    _, signature, _ = form.pieces[names.index(record.defines)]
    piece = form.abstracted if record.defines is None else form.definitions[names.index(record.defines) - 1].defining_formula()
    if not any(is_variant(c, record.raw) for c in to_cnf(piece, signature=signature)):
        what = "the rewritten statement" if record.defines is None else f"the definition of {record.defines}"
        raise ProofCheckError(f"c{record.number} is not in the clause form of {what} ({record.source})")


def _check_demodulation(record: ProofClause) -> None:
    """Replay the rewrites of a Demodulation step from its first parent.

    Each rewrite must replace an occurring instance of one side of a unit
    equation among the other parents by the same instance of its other side;
    the clause reached must be the recorded one.
    """
    if len(record.parents) < 2 or not record.rewrites:
        raise ProofCheckError(f"c{record.number} is a Demodulation step without a clause and an equation")
    clause = record.parents[0].clause
    equations = record.parents[1:]
    for demodulator, old, new in record.rewrites:
        if not any(demodulator is eq for eq in equations):
            raise ProofCheckError(f"c{record.number} rewrites with c{demodulator.number}, which is not a parent")
        if not rewrite_step_valid(demodulator.clause, old, new):
            raise ProofCheckError(f"c{record.number}: {old} = {new} is not an instance of c{demodulator.number}")
        rewritten = replace_in_clause(clause, old, new)
        if rewritten == clause:
            raise ProofCheckError(f"c{record.number}: {old} does not occur in the clause it rewrites")
        clause = rewritten
    if clause != record.raw and not is_variant(clause, record.raw):
        raise ProofCheckError(f"c{record.number} is not what its rewrites lead to")


def prove(problem: Problem, config: ProverConfig | None = None) -> tuple[ProverResult, list[InputClause]]:
    """Clausify and saturate a problem; the status is mapped to the SZS vocabulary."""
    config = config or ProverConfig()
    inputs, has_conjecture = clausify_problem(problem, config.definitions_above, config.definition_threshold)
    result = Saturation(inputs, config).run()
    if has_conjecture:
        result.status = {"Unsatisfiable": "Theorem", "Satisfiable": "CounterSatisfiable"}.get(
            result.status, result.status)
    return result, inputs


def clause_formula(clause):
    """The clause as a formula (a disjunction of literals), for printing; None if empty."""
    formula = None
    for lit in clause.literals:
        part = lit.atom if lit.positive else Not(lit.atom)
        formula = part if formula is None else Or(formula, part)
    return formula


def default_progress(stats: dict) -> None:
    print(
        f"% [{stats['seconds']:6.1f}s] given {stats['given']}, kept {stats['kept']}, "
        f"active {stats['active']}, passive {stats['passive']}, "
        f"{stats['rate']:.0f} clauses/s",
        file=sys.stderr,
        flush=True,
    )
