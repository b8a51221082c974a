"""Term and formula model, visitors, sorts and substitutions."""
