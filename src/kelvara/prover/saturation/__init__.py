"""The saturation prover: clause form, the search and the proof check.

One module per concern:

* ``terms``: weights, literal keys, top symbols, subterms, matching;
* ``ordering``: the Knuth-Bendix ordering and literal selection;
* ``indexes``: index keys and the feature signatures of subsumption;
* ``records``: ``ProofClause``, ``ProverConfig``, ``ProverResult``;
* ``subsumption``: variable normalization, tautologies, subsumption, variants;
* ``demodulation``: rewrite steps with unit equations and their check;
* ``clauseform``: the clause form of a problem and clauses as formulas;
* ``restrictions``: the ordering restrictions of the inferences;
* ``loop``: the given-clause loop of the Python engine and ``prove``;
* ``checking``: proof extraction and the replay of every step.
"""

from __future__ import annotations

# Everything below stays importable from kelvara.prover.saturation.
from kelvara.prover.clausifier import Clause, Literal  # noqa: F401

from .checking import (  # noqa: F401
    ProofCheckError,
    _check_definitional_input,
    _check_demodulation,
    check_proof,
    extract_proof,
)
from .clauseform import InputClause, clause_formula, clausify_problem  # noqa: F401
from .demodulation import replace_everywhere, replace_in_clause, rewrite_step_valid  # noqa: F401
from .indexes import fine_key, generalized_keys  # noqa: F401
from .loop import Saturation, default_progress, prove  # noqa: F401
from .ordering import SELECTIONS, eligible_literals, kbo_greater, literal_greater  # noqa: F401
from .records import DEMODULATION, ProofClause, ProverConfig, ProverResult  # noqa: F401
from .restrictions import (  # noqa: F401
    _explains,
    _may_paramodulate,
    _may_superpose,
    _ordered_factor,
    _paramodulation_views,
    _unifiable,
)
from .subsumption import is_tautology, is_variant, normalize_clause, subsumes  # noqa: F401
from .terms import EQUALITY_KEY, clause_weight, literal_key  # noqa: F401

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

