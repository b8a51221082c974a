"""Second-order extensions: predicate and function quantifiers, pattern unification, induction."""
