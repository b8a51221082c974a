# Sphinx configuration of the kelvara documentation: narrative pages in this
# folder, the API reference built by autodoc from the installed package's
# docstrings and signatures (docs/api/).  Build: sphinx-build -W -b html docs build/docs
from __future__ import annotations

import importlib

import kelvara

# The reference documents the modules as they run: importing them here first
# keeps autodoc from loading the .pyi stubs of the extension modules in their
# place (the stubs carry types, the runtime carries the documentation texts
# and signatures).
DOCUMENTED = [
    "kelvara.core.ast",
    "kelvara.core.visitors",
    "kelvara.core.sorts",
    "kelvara.core.exceptions",
    "kelvara.core.substitutions",
    "kelvara.prover.rules",
    "kelvara.prover.clausifier",
    "kelvara.prover.definitional",
    "kelvara.prover.tptp",
    "kelvara.prover.limits",
    "kelvara.prover.argcheck",
    "kelvara.prover.saturation",
    "kelvara.prover.cli",
    "kelvara.sol.ast_ext",
    "kelvara.sol.substitutions_ext",
    "kelvara.sol.kb_ext",
]
for _name in DOCUMENTED:
    importlib.import_module(_name)

project = "kelvara"
author = "The kelvara developers"
copyright = "2026, The kelvara developers"
release = kelvara.__version__
version = ".".join(release.split(".")[:2])

extensions = ["sphinx.ext.autodoc"]
exclude_patterns = ["_build"]
root_doc = "index"
highlight_language = "python3"
pygments_style = "sphinx"

autodoc_default_options = {
    "members": True,
    "undoc-members": False,
    "show-inheritance": True,
    "member-order": "bysource",
}
autodoc_typehints = "signature"
autodoc_class_signature = "mixed"
# Docstrings are written for readers, with ``literals`` and :func: roles only.
nitpicky = False

html_theme = "alabaster"
html_title = f"kelvara {release}"
html_static_path: list[str] = []
