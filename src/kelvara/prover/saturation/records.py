"""The records of a search: clauses with their derivations, the settings, the result."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Callable

from kelvara.core.ast import Equality
from kelvara.prover.argcheck import expect, type_name
from kelvara.prover.clausifier import Clause
from kelvara.prover.definitional import DefinitionalForm
from kelvara.prover.limits import Budget

from .indexes import _features, _signature, fine_key
from .ordering import _rewritable_sides, eligible_literals, kbo_greater
from .terms import EQUALITY_KEY, _subterms_innermost, _symbols_of_term, _top, clause_weight, literal_key

DEMODULATION = "Demodulation"
# Steps of the native engine that are no catalogue rule, each with its own check.
EQUALITY_FACTORING = "EqualityFactoring"
SIMPLIFICATION = "Simplification"
SUBSUMPTION_RESOLUTION = "SubsumptionResolution"


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

    from_goal: bool

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
            for term in ((atom.left, atom.right) if isinstance(atom, Equality) else atom.args):
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
            if lit.positive and isinstance(atom, Equality):
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


@dataclass
class ProverConfig:
    """The knobs of one prover run; every field has a default.

    Built with wrong types (a text for a number, say), it raises TypeError
    naming the field, the expected and the received type.
    """

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
    memory_limit: int | None = None  # bytes of resident memory (None: no limit)
    # The clock and memory bound of the whole run; prove() makes one from
    # time_limit and memory_limit when it is None (the clock then starts there).
    budget: Budget | None = None

    def make_budget(self) -> Budget:
        return self.budget if self.budget is not None else Budget(self.time_limit, self.memory_limit)
    engine: str = "native"  # "native": the C++ engine; "python": the reference loop of this package
    engine_options: dict = field(default_factory=dict)  # further options of the native engine

    def __post_init__(self) -> None:
        where = "ProverConfig"
        number, integer = (int, float), "an int or a float"
        expect(where, "time_limit", self.time_limit, number, integer + " or None", none=True, numbers=True)
        expect(where, "max_clauses", self.max_clauses, int, "an int or None", none=True, numbers=True)
        expect(where, "pick_given_ratio", self.pick_given_ratio, int, "an int", numbers=True)
        expect(where, "axiom_weight_factor", self.axiom_weight_factor, number, integer, numbers=True)
        if self.progress is not None and not callable(self.progress):
            raise TypeError(f"{where}: progress must be callable or None, not {type_name(self.progress)}")
        expect(where, "progress_interval", self.progress_interval, number, integer, numbers=True)
        expect(where, "demodulation", self.demodulation, bool, "a bool")
        expect(where, "ordered_paramodulation", self.ordered_paramodulation, bool, "a bool")
        expect(where, "max_rewrites", self.max_rewrites, int, "an int", numbers=True)
        expect(where, "selection", self.selection, str, "a str")
        expect(where, "literal_penalty", self.literal_penalty, number, integer, numbers=True)
        expect(where, "definitions_above", self.definitions_above, int, "an int or None", none=True, numbers=True)
        expect(where, "definition_threshold", self.definition_threshold, int, "an int", numbers=True)
        expect(where, "memory_limit", self.memory_limit, int, "an int or None", none=True, numbers=True)
        expect(where, "engine", self.engine, str, "a str")
        expect(where, "engine_options", self.engine_options, dict, "a dict")


@dataclass
class ProverResult:
    """What a run found: the SZS ``status``, the ``proof`` steps (or None),
    the clause counts, the time taken and, for an early stop, the ``reason``."""

    status: str  # SZS status
    proof: list[ProofClause] | None = None
    given: int = 0
    kept: int = 0
    generated: int = 0
    seconds: float = 0.0
    reason: str = ""
    stats: dict = field(default_factory=dict)
