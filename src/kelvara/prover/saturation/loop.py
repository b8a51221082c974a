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

import dataclasses
import heapq
import itertools
import sys
import time

from kelvara.core.ast import Equality, Term, Variable
from kelvara.core.substitutions import substitute_formula, substitute_term
from kelvara.prover.argcheck import expect
from kelvara.prover.clausifier import Clause, Literal
from kelvara.prover.rules import apply_rule, get_resolution_rules, standardize_clause_variables

from ..limits import LimitReached
from ..provenance import InternalSource
from ..tptp import Problem
from .checking import extract_proof
from .clauseform import InputClause, _mentions_equality, clausify_problem
from .demodulation import replace_in_clause
from .indexes import fine_key, generalized_keys
from .ordering import kbo_greater
from .records import DEMODULATION, ProofClause, ProverConfig, ProverResult
from .restrictions import (
    _may_paramodulate,
    _may_superpose,
    _merged_eligible,
    _ordered_factor,
    _paramodulation_views,
    _explains,
)
from .subsumption import _match_atom, _subsumes_literals, is_tautology, normalize_clause, subsumes
from .terms import _match_term, _subterms_innermost, _term_vars, _top

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
        smallest = min([b for b in buckets if b], key=len)
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
            for result in apply_rule(self.resolution, [record.clause, unit.clause]) or ():
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
            terms = (atom.left, atom.right) if isinstance(atom, Equality) else atom.args
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
        steps: list[tuple[ProofClause, Term, Term]] = []
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
        assert isinstance(atom, Equality)  # a demodulator is a positive unit equation
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
            for result in apply_rule(self.factoring, [given.clause]) or ():
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
        budget = config.make_budget()
        budget.stage = "searching"
        deadline = budget.deadline
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
            inputs = inputs + [InputClause(refl, "Axiom", InternalSource.REFLEXIVITY)]
        for item in inputs:
            record = self._make(item.clause, item.role, (), item.source)
            record.defines = item.defines
            record.form = item.form
            if item.source is InternalSource.REFLEXIVITY and item is inputs[-1]:
                self.refl = record
                self._file(record)
                heapq.heappush(self.passive_by_weight, (record.weight, record.number, record))
                heapq.heappush(self.passive_by_age, (record.number, record))
                continue
            if self._consider(record):
                return finish("Unsatisfiable")

        while True:
            now = time.monotonic()
            try:
                budget.check()
            except LimitReached as exc:
                return finish(exc.status, exc.message)
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
                    return finish("ResourceOut", f"more than {config.max_clauses} clauses kept")
                if (self.generated & 15) == 0:
                    try:
                        budget.check()
                    except LimitReached as exc:
                        return finish(exc.status, exc.message)
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


ENGINES = ("native", "python")


def prove(problem: Problem, config: ProverConfig | None = None) -> tuple[ProverResult, list[InputClause]]:
    """Clausify and saturate a problem; the status is mapped to the SZS vocabulary.

    The time and memory limits of ``config`` cover the clause form and the
    search (and, when ``config.budget`` was started before the problem was
    read, the reading too); a limit reached in the clause form ends the run
    with no input clauses.
    """
    expect("prove()", "problem", problem, Problem, "a Problem (from parse_problem or parse_file)")
    expect("prove()", "config", config, ProverConfig, "a ProverConfig or None", none=True)
    config = config or ProverConfig()
    if config.engine not in ENGINES:
        raise ValueError(f"unknown engine {config.engine!r} (known: {', '.join(ENGINES)})")
    if config.budget is None:
        config = dataclasses.replace(config, budget=config.make_budget())
    budget = config.budget
    assert budget is not None
    budget.stage = "computing the clause form"
    try:
        inputs, has_conjecture = clausify_problem(problem, config.definitions_above, config.definition_threshold,
                                                  check=budget)
    except LimitReached as exc:
        return ProverResult(status=exc.status, reason=exc.message, seconds=budget.elapsed()), []
    if config.engine == "native":
        from .native import run_native

        try:
            result = run_native(inputs, config)
        except (TypeError, ValueError) as exc:
            # Clauses the engine cannot represent: the Python loop takes them.
            result = Saturation(inputs, config).run()
            result.stats["fallback"] = f"the native engine refused the input: {exc}"
    else:
        result = Saturation(inputs, config).run()
    if has_conjecture:
        result.status = {"Unsatisfiable": "Theorem", "Satisfiable": "CounterSatisfiable"}.get(
            result.status, result.status)
    return result, inputs


def default_progress(stats: dict) -> None:
    print(
        f"% [{stats['seconds']:6.1f}s] given {stats['given']}, kept {stats['kept']}, "
        f"active {stats['active']}, passive {stats['passive']}, "
        f"{stats['rate']:.0f} clauses/s",
        file=sys.stderr,
        flush=True,
    )
