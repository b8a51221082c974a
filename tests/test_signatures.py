"""inspect.signature works for every public class and function of the package,
and reports the parameters that calls really take."""

from __future__ import annotations

import importlib
import inspect

import pytest

PUBLIC_MODULES = [
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


def _public_callables():
    for name in PUBLIC_MODULES:
        module = importlib.import_module(name)
        names = getattr(module, "__all__", None) or [n for n in vars(module) if not n.startswith("_")]
        for attr in names:
            obj = getattr(module, attr)
            if not callable(obj) or getattr(obj, "__module__", "").split(".")[0] != "kelvara":
                continue
            yield f"{name}.{attr}", obj
            if inspect.isclass(obj):
                for meth, value in vars(obj).items():
                    if not meth.startswith("_") and callable(value) and not inspect.isclass(value):
                        yield f"{name}.{attr}.{meth}", getattr(obj, meth)


CALLABLES = sorted(dict(_public_callables()).items())


def test_the_walk_finds_the_api():
    names = {n for n, _ in CALLABLES}
    for expected in ("kelvara.core.ast.Variable", "kelvara.prover.clausifier.Clause", "kelvara.prover.rules.apply_rule",
                     "kelvara.core.visitors.ASTVisitor.visit", "kelvara.prover.saturation.prove",
                     "kelvara.core.exceptions.UnificationError", "kelvara.prover.clausifier.Literal.substitute"):
        assert expected in names
    assert len(CALLABLES) > 100


@pytest.mark.parametrize("name,obj", CALLABLES, ids=[n for n, _ in CALLABLES])
def test_signature(name, obj):
    sig = inspect.signature(obj)
    assert isinstance(sig, inspect.Signature)


@pytest.mark.parametrize(
    "obj,text",
    [
        ("kelvara.prover.clausifier.Clause", "(literals=())"),
        ("kelvara.prover.clausifier.Literal", "(atom, positive=True)"),
        ("kelvara.core.ast.Term", "()"),
        ("kelvara.core.ast.Formula", "()"),
        ("kelvara.core.exceptions.UnificationError", "(reason, /, *operands)"),
        ("kelvara.core.exceptions.InvalidFormulaError", "(message, /)"),
        ("kelvara.core.exceptions.KelvaraError", "(*args)"),
        ("kelvara.prover.definitional.DefinitionError", "(message, /)"),
        ("kelvara.prover.saturation.ProofCheckError", "(message, /)"),
    ],
)
def test_signature_texts(obj, text):
    module, _, attr = obj.rpartition(".")
    target = getattr(importlib.import_module(module), attr)
    assert _plain(inspect.signature(target)) == text


def _plain(sig):
    """The signature's text without annotations (the Python twins carry them, the native ones do not)."""
    params = [p.replace(annotation=inspect.Parameter.empty) for p in sig.parameters.values()]
    return str(sig.replace(parameters=params, return_annotation=inspect.Signature.empty))


@pytest.mark.parametrize("which", ["python", "native"])
def test_companion_signatures_agree(which):
    from twins import functions

    classes = functions(which)
    assert _plain(inspect.signature(classes["Clause"])) == "(literals=())"
    assert _plain(inspect.signature(classes["Literal"])) == "(atom, positive=True)"
    bound = inspect.signature(classes["Clause"]).bind()
    assert bound.arguments == {}


def test_exception_signatures_describe_the_calls():
    from kelvara.core.exceptions import UnificationError

    error = UnificationError("occurs check", 1, 2)
    inspect.signature(UnificationError).bind("occurs check", 1, 2)
    assert error.args == ("occurs check", 1, 2) and error.reason == "occurs check"
    with pytest.raises(TypeError):
        inspect.signature(UnificationError).bind(reason="x")
