"""Where a clause of a proof comes from: its rule and, for inputs, its source.

Rules are :class:`Rule` members; each knows its TSTP name.  The source of an
input clause is the name of the statement it comes from (a tuple of names
for the negated conjunction of the conjectures) or an :class:`InternalSource`
member for the axioms the prover adds itself.  Enum members never compare
equal to a string, so no statement name of a problem can pass for an
internal source (a statement named ``reflexivity`` is just a statement).
"""

from __future__ import annotations

import enum

__all__ = ["Rule", "InternalSource", "is_input_rule"]


class Rule(enum.Enum):
    """Rules of proof records; the value is the name the prover's records use."""

    AXIOM = "Axiom"
    NEGATED_GOAL = "NegatedGoal"
    RESOLUTION = "BinaryResolution"
    FACTORING = "Factoring"
    PARAMODULATION = "Paramodulation"
    DEMODULATION = "Demodulation"
    SUPERPOSITION = "Superposition"
    EQUALITY_RESOLUTION = "EqualityResolution"
    EQUALITY_FACTORING = "EqualityFactoring"
    SUBSUMPTION_RESOLUTION = "SubsumptionResolution"
    SIMPLIFICATION = "Simplification"

    @property
    def tstp(self) -> str:
        """The rule's name in TSTP inference records."""
        return _TSTP_NAMES[self]


_TSTP_NAMES = {
    Rule.AXIOM: "input",
    Rule.NEGATED_GOAL: "input",
    Rule.RESOLUTION: "resolution",
    Rule.FACTORING: "factoring",
    Rule.PARAMODULATION: "paramodulation",
    Rule.DEMODULATION: "rewriting",
    Rule.SUPERPOSITION: "superposition",
    Rule.EQUALITY_RESOLUTION: "equality_resolution",
    Rule.EQUALITY_FACTORING: "equality_factoring",
    Rule.SUBSUMPTION_RESOLUTION: "subsumption_resolution",
    Rule.SIMPLIFICATION: "simplification",
}


class InternalSource(enum.Enum):
    """Axioms the prover adds to a problem itself."""

    REFLEXIVITY = "reflexivity of equality"
    DISTINCT_OBJECTS = "distinct objects and numbers"


def is_input_rule(rule) -> bool:
    """True for the rules of input clauses (given a Rule or its value)."""
    return Rule(rule) in (Rule.AXIOM, Rule.NEGATED_GOAL)
