// Display methods shared by the native Literal and Clause: __format__ with the
// export notations, _repr_pretty_ (IPython) and _repr_latex_ (notebooks).  The
// text is made by the same helpers of kelvara.prover.clausifier that the Python
// classes call, so both implementations print alike.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kv::native {

PyObject* display_format(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept;
PyObject* display_pretty(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept;
PyObject* display_latex(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;

}  // namespace kv::native

// Method table entries (the tables of literal.cpp and clause.cpp).
#define KV_DISPLAY_METHODS(what)                                                                          \
    {"__format__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kv::native::display_format)), \
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,                                                         \
     "__format__($self, format_spec, /)\n--\n\nThe " what " in an export notation: "                      \
     "``f\"{x:infix}\"``, ``:prefix`` or ``:latex``; ``str`` for an empty spec."},                         \
    {"_repr_pretty_", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kv::native::display_pretty)), \
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,                                                         \
     "_repr_pretty_($self, p, cycle, /)\n--\n\nIPython's display: the " what " in infix notation."},     \
    {"_repr_latex_", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kv::native::display_latex)), \
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,                                                         \
     "_repr_latex_($self, /)\n--\n\nNotebook display: the " what " typeset from its LaTeX text."},
