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

# Every name of the single module this package replaced stays importable from here.
from kelvara.prover.clausifier import Clause, Literal  # noqa: F401

from .checking import (  # noqa: F401
    _check_definitional_input,
    _check_demodulation,
    check_proof,
    extract_proof,
    ProofCheckError,
)
from .clauseform import (  # noqa: F401
    clause_formula,
    clausify_problem,
    InputClause,
    _mentions_equality,
    _rename_clause,
    _rename_term,
    _symbols_of_formula,
)
from .demodulation import (  # noqa: F401
    replace_everywhere,
    replace_in_clause,
    rewrite_step_valid,
)
from .indexes import (  # noqa: F401
    _FEATURE_BITS,
    _features,
    fine_key,
    generalized_keys,
    _LADDER,
    _PATH_DEPTH,
    _position_features,
    _signature,
)
from .loop import (  # noqa: F401
    default_progress,
    prove,
    Saturation,
)
from .ordering import (  # noqa: F401
    _atom_as_term,
    _CACHE_LIMIT,
    eligible_literals,
    _is_ground_literal,
    _kbo_data,
    _KBO_GREATER,
    kbo_greater,
    _kbo_greater,
    _KBO_INFO,
    _kbo_info,
    literal_greater,
    _occurs_in,
    _rewritable_sides,
    _select_fewest_variables,
    _select_ground_first,
    _select_heaviest,
    _select_none,
    SELECTIONS,
    _symbol_of,
)
from .records import (  # noqa: F401
    DEMODULATION,
    _LAZY_SLOTS,
    ProofClause,
    ProverConfig,
    ProverResult,
)
from .restrictions import (  # noqa: F401
    _explains,
    _may_paramodulate,
    _may_superpose,
    _merged_eligible,
    _occurs,
    _ordered_factor,
    _paramodulation_views,
    _unifiable,
    _walk,
)
from .subsumption import (  # noqa: F401
    is_tautology,
    is_variant,
    _match_atom,
    normalize_clause,
    _renaming_match,
    subsumes,
    _subsumes_literals,
)
from .terms import (  # noqa: F401
    _ANY,
    clause_weight,
    _collect_vars,
    EQUALITY_KEY,
    literal_key,
    _match_term,
    _subterms_innermost,
    _symbols_of_term,
    _term_vars,
    _term_weight,
    _top,
)

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

