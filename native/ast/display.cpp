// Readable text of nodes: __format__ with the export notations and the display
// hooks of IPython (_repr_pretty_) and notebooks (_repr_latex_).  They live on
// the abstract bases Term and Formula, so every node class has them, the
// second-order ones of kelvara.sol included; repr and str stay untouched.  The
// exporter is in kelvara.core.visitors, which imports this module, so it is
// imported when a node is first formatted, never at load.
#include "ast/state.hpp"

namespace kv::ast {

static const char kDisplaySource[] = R"PY(
_NOTATIONS = ("infix", "prefix", "latex")


def __format__(self, format_spec, /):
    """The node in an export notation: ``f"{node:infix}"``, ``:prefix`` or ``:latex``.

    An empty format spec gives ``str(node)``, as for any object.
    """
    if type(format_spec) is not str:
        raise TypeError(f"format spec must be str, not {type(format_spec).__name__}")
    if not format_spec:
        return str(self)
    if format_spec not in _NOTATIONS:
        raise ValueError(f"Unknown format spec {format_spec!r} for {type(self).__name__}: "
                         "expected 'infix', 'prefix' or 'latex'")
    from kelvara.core.visitors import ExportVisitor
    return ExportVisitor(format_spec).visit(self)


def _repr_pretty_(self, p, cycle):
    """IPython's display: the node in infix notation."""
    p.text(__format__(self, "infix"))


def _repr_latex_(self):
    """Notebook display: the node typeset from its LaTeX export."""
    return "$" + __format__(self, "latex") + "$"


def install(*bases):
    for base in bases:
        for f in (__format__, _repr_pretty_, _repr_latex_):
            type.__setattr__(base, f.__name__, f)
)PY";

void install_display(PyObject* module, State* st) {
    Ref globals = Ref::check(PyDict_New());
    Ref name = Ref::check(PyModule_GetNameObject(module));
    check_int(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()));
    check_int(PyDict_SetItemString(globals.get(), "__name__", name.get()));
    Ref code = Ref::check(PyRun_String(kDisplaySource, Py_file_input, globals.get(), globals.get()));
    PyObject* install = PyDict_GetItemString(globals.get(), "install");  // borrowed, globals kept alive
    if (!install) throw PyErrorSet{};
    Ref r = Ref::check(PyObject_CallFunctionObjArgs(install, reinterpret_cast<PyObject*>(st->api.term_type),
                                                    reinterpret_cast<PyObject*>(st->api.formula_type), nullptr));
}

}  // namespace kv::ast
