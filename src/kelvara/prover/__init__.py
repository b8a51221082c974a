"""Clausifier, inference rules and the saturation prover."""
