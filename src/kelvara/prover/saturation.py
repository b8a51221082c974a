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
  positive equation.

Inferences are produced only by ``apply_rule`` over the records of
``get_resolution_rules()``.  Equality resolution comes from the reflexivity
axiom ``X = X``, which is added to every problem that mentions equality:
resolving a negative equation against it is exactly equality resolution, and
the proof then names a catalogue rule for that step too.

New clauses have their variables renamed to 0, 1, ... in order of first
occurrence, are dropped when they are tautologies or subsumed by a kept
clause (forward subsumption), and remove the kept clauses they subsume
(backward subsumption).  Subsumption matches equations in both orientations.
The calculus (unrestricted resolution, factoring, paramodulation, equality
resolution) is refutationally complete, so a passive set that runs dry means
the clause set is satisfiable.
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
from kelvara.core.substitutions import substitute_formula
from kelvara.prover.rules import apply_rule, get_resolution_rules, standardize_clause_variables

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
]

EQUALITY_KEY = "="


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
        "eligible",
        "eligible_keys",
        "eligible_pos_eq",
        "symbols",
    )

    def __init__(self, number: int, clause: Clause, raw: Clause, rule: str,
                 parents: tuple["ProofClause", ...] = (), source: str | None = None) -> None:
        self.number = number
        self.clause = clause
        self.raw = raw
        self.literals = clause.literals
        self.rule = rule
        self.parents = parents
        self.source = source
        self.weight = clause_weight(self.literals)
        keys = [literal_key(lit) for lit in self.literals]
        self.keys = keys
        self.keyset = frozenset(keys)
        self.has_pos_eq = (True, EQUALITY_KEY) in self.keyset
        self.alive = True
        self.active = False
        self.from_goal = rule == "NegatedGoal" or any(p.from_goal for p in parents)
        self.eligible = eligible_literals(self.literals) if self.literals else ()
        self.eligible_keys = frozenset(literal_key(lit) for lit in self.eligible)
        self.eligible_pos_eq = (True, EQUALITY_KEY) in self.eligible_keys
        # Function and constant symbols: a substitution only adds symbols, so
        # a clause subsumes another only if its symbols are among the other's.
        symbols: set = set()
        for lit in self.literals:
            atom = lit.atom
            for term in ((atom.left, atom.right) if type(atom) is Equality else atom.args):
                _symbols_of_term(term, symbols)
        self.symbols = frozenset(symbols)

    @property
    def is_empty(self) -> bool:
        return not self.literals

    def __repr__(self) -> str:
        return f"ProofClause(c{self.number}, {self.rule}, {list(self.literals)!r})"


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


def _occurs_in(var, term) -> bool:
    if term == var:
        return True
    if type(term) is FunctionApp:
        return any(_occurs_in(var, arg) for arg in term.args)
    return False


def kbo_greater(s, t) -> bool:
    """s > t in the Knuth-Bendix ordering over terms (atoms given as terms)."""
    if s == t:
        return False
    counts_s: dict = {}
    counts_t: dict = {}
    ws = _kbo_data(s, counts_s)
    wt = _kbo_data(t, counts_t)
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


def eligible_literals(literals: tuple) -> tuple:
    """The literals of a clause that resolution and paramodulation may use."""
    negatives = [lit for lit in literals if not lit.positive]
    if negatives:
        best = max(negatives, key=lambda lit: (clause_weight((lit,)), literal_key(lit)[1] != EQUALITY_KEY))
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


def _subsumes_literals(general: tuple, specific: tuple, symmetric: bool, injective: bool) -> bool:
    used = [False] * len(specific)

    def extend(index: int, binding: dict) -> bool:
        if index == len(general):
            return True
        lit = general[index]
        for position, target in enumerate(specific):
            if target.positive != lit.positive or (injective and used[position]):
                continue
            trial = _match_atom(lit.atom, target.atom, binding, symmetric)
            if trial is None:
                continue
            used[position] = True
            if extend(index + 1, trial):
                return True
            used[position] = False
        return False

    return extend(0, {})


def subsumes(general, specific) -> bool:
    """True when some substitution maps every literal of ``general`` into ``specific``.

    Accepts clauses or ProofClause records.  Clauses with more literals than
    the other never subsume it (factoring covers that case).
    """
    g = general.literals
    s = specific.literals
    if len(g) > len(s):
        return False
    return _subsumes_literals(g, s, True, False)


def is_variant(first, second) -> bool:
    """True when the two clauses are equal up to a renaming of variables."""
    a, b = first.literals, second.literals
    if len(a) != len(b):
        return False
    if not _subsumes_literals(a, b, False, True) or not _subsumes_literals(b, a, False, True):
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
    """A clause obtained from one input statement."""

    clause: Clause
    role: str  # "Axiom" or "NegatedGoal"
    source: str


def _mentions_equality(clauses: Iterable[Clause]) -> bool:
    return any(type(lit.atom) is Equality for c in clauses for lit in c.literals)


def clausify_problem(problem: Problem) -> tuple[list[InputClause], bool]:
    """Clause form of a problem; the second value tells whether it has a conjecture.

    Conjectures are conjoined and negated.  Symbols that the clausifier
    introduces (Skolem functions) are renamed so that the ones of different
    statements never share a name.
    """
    input_symbols: set = set()
    for statement in problem.formulas:
        _symbols_of_formula(statement.formula, input_symbols)
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
        # Forward subsumption: each kept clause filed under one of its keys.
        self.subsumer_index: dict = {}
        # Backward subsumption: each kept clause filed under all of its keys.
        self.key_index: dict = {}
        self.kept = 0
        self.generated = 0
        self.given_count = 0
        self.passive_count = 0
        self.empty: ProofClause | None = None
        self.refl: ProofClause | None = None

    # -- bookkeeping ------------------------------------------------------
    def _make(self, raw: Clause, rule: str, parents=(), source=None) -> ProofClause:
        return ProofClause(next(self.numbers), normalize_clause(raw), raw, rule, tuple(parents), source)

    def _forward_subsumed(self, record: ProofClause) -> bool:
        keyset = record.keyset
        size = len(record.literals)
        seen = set()
        for key in keyset:
            bucket = self.subsumer_index.get(key)
            if not bucket:
                continue
            for other in bucket.values():
                if other.number in seen:
                    continue
                seen.add(other.number)
                if (len(other.literals) <= size and other.keyset <= keyset
                        and other.symbols <= record.symbols and subsumes(other, record)):
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
        victims = [other for other in smallest.values()
                   if len(other.literals) >= size and record.keyset <= other.keyset
                   and record.symbols <= other.symbols and subsumes(record, other)]
        for victim in victims:
            self._remove(victim)

    def _remove(self, record: ProofClause) -> None:
        record.alive = False
        for key in record.keyset:
            self.key_index[key].pop(record.number, None)
        self.subsumer_index[record.keys[0]].pop(record.number, None)
        if record.active:
            del self.active[record.number]
            for key in record.eligible_keys:
                self.active_by_key[key].pop(record.number, None)
            self.active_pos_eq.pop(record.number, None)
        else:
            self.passive_count -= 1

    def _keep(self, record: ProofClause) -> None:
        """File a new clause as passive (after the redundancy checks)."""
        self.kept += 1
        self.passive_count += 1
        self.subsumer_index.setdefault(record.keys[0], {})[record.number] = record
        for key in record.keyset:
            self.key_index.setdefault(key, {})[record.number] = record
        heapq.heappush(self.passive_by_weight, (self._priority(record), record.number, record))
        heapq.heappush(self.passive_by_age, (record.number, record))

    def _priority(self, record: ProofClause) -> float:
        """Weight, with clauses that descend from the negated goal preferred."""
        return record.weight if record.from_goal else record.weight * self.config.axiom_weight_factor

    def _consider(self, record: ProofClause) -> bool:
        """Run the redundancy checks on a new clause; True when it was the empty clause."""
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

    def _activate(self, record: ProofClause) -> None:
        record.active = True
        self.passive_count -= 1
        self.active[record.number] = record
        for key in record.eligible_keys:
            self.active_by_key.setdefault(key, {})[record.number] = record
        if record.eligible_pos_eq and record is not self.refl:
            self.active_pos_eq[record.number] = record

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
            partners = [c for n, c in sorted(self.active.items()) if c is not self.refl]
        else:
            partners = [self.active_pos_eq[n] for n in sorted(self.active_pos_eq)]
        return partners

    def _generate(self, given: ProofClause):
        if len(given.literals) > 1:
            for result in apply_rule(self.factoring, [given.clause]):
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
                if first in mine and second in allowed:
                    yield result[0], self.resolution.name, (given, partner)
        for partner in self._partners_for_paramodulation(given):
            for result in apply_rule(self.paramodulation, [given.clause, partner.clause]):
                yield result[0], self.paramodulation.name, (given, partner)

    # -- driver -----------------------------------------------------------
    def run(self) -> ProverResult:
        config = self.config
        start = time.monotonic()
        deadline = None if config.time_limit is None else start + config.time_limit
        next_report = start + config.progress_interval

        def finish(status: str, reason: str = "") -> ProverResult:
            proof = extract_proof(self.empty) if self.empty is not None else None
            return ProverResult(status=status, proof=proof, given=self.given_count, kept=self.kept,
                                generated=self.generated, seconds=time.monotonic() - start, reason=reason)

        inputs = self.inputs
        if _mentions_equality(ic.clause for ic in inputs):
            refl_var = Variable(0)
            refl = Clause(frozenset([Literal(atom=Equality(refl_var, refl_var), positive=True)]))
            inputs = inputs + [InputClause(refl, "Axiom", "reflexivity")]
        for item in inputs:
            record = self._make(item.clause, item.role, (), item.source)
            if item.source == "reflexivity" and item is inputs[-1]:
                self.refl = record
                self.kept += 1
                self.passive_count += 1
                self.subsumer_index.setdefault(record.keys[0], {})[record.number] = record
                for key in record.keyset:
                    self.key_index.setdefault(key, {})[record.number] = record
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
                return finish("Satisfiable", "saturated")
            self.given_count += 1
            self._activate(given)
            for raw, rule, parents in self._generate(given):
                self.generated += 1
                record = self._make(raw, rule, parents)
                if self._consider(record):
                    return finish("Unsatisfiable")
                if config.max_clauses is not None and self.kept > config.max_clauses:
                    return finish("GaveUp", f"more than {config.max_clauses} clauses kept")
                if deadline is not None and (self.generated & 63) == 0 and time.monotonic() >= deadline:
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
    of the clause form of its statement.
    """
    rules = {rule.name: rule for rule in get_resolution_rules()}
    numbers = {record.number for record in proof}
    if not proof or proof[-1].literals:
        raise ProofCheckError("the proof does not end with the empty clause")
    for record in proof:
        if not is_variant(record.raw, record.clause):
            raise ProofCheckError(f"c{record.number} is not a renaming of the clause it was derived as")
        if record.rule in ("Axiom", "NegatedGoal"):
            if record.parents:
                raise ProofCheckError(f"input clause c{record.number} has parents")
            if inputs is not None and record.source != "reflexivity":
                if not any(ic.source == record.source and ic.role == record.rule and is_variant(ic.clause, record.raw)
                           for ic in inputs):
                    raise ProofCheckError(f"c{record.number} is not in the clause form of {record.source}")
            if record.source == "reflexivity":
                lits = record.raw.literals
                if not (len(lits) == 1 and lits[0].positive and type(lits[0].atom) is Equality
                        and type(lits[0].atom.left) is Variable and lits[0].atom.left == lits[0].atom.right):
                    raise ProofCheckError(f"c{record.number} is not the reflexivity axiom")
            continue
        rule = rules.get(record.rule)
        if rule is None:
            raise ProofCheckError(f"c{record.number} names an unknown rule {record.rule}")
        for parent in record.parents:
            if parent.number not in numbers or parent.number >= record.number:
                raise ProofCheckError(f"c{record.number} depends on c{parent.number}, which does not precede it")
        results = apply_rule(rule, [parent.clause for parent in record.parents])
        if not any(result[0] == record.raw for result in results):
            if not any(is_variant(result[0], record.raw) for result in results):
                raise ProofCheckError(f"c{record.number} does not follow from "
                                      + ", ".join(f"c{p.number}" for p in record.parents) + f" by {record.rule}")


def prove(problem: Problem, config: ProverConfig | None = None) -> tuple[ProverResult, list[InputClause]]:
    """Clausify and saturate a problem; the status is mapped to the SZS vocabulary."""
    inputs, has_conjecture = clausify_problem(problem)
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
