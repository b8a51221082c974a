"""kelvara: the core of a sorted first-order logic prover with second-order extensions."""

__version__ = "0.1.0"
