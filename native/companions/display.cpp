// __format__, _repr_pretty_ and _repr_latex_ of the native Literal and Clause:
// argument checks here, the text from kelvara.prover.clausifier's display
// helpers (imported on first use; the clausifier imports this module).
#include "companions/display.hpp"

#include "common/ref.hpp"

namespace kv::native {

namespace {

// Calls kelvara.prover.clausifier.<helper>(self, *args) after checking that
// exactly `want` positional arguments and no keywords were given.
PyObject* call_helper(const char* method, const char* helper, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t want) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        if (kwnames && PyTuple_GET_SIZE(kwnames)) {
            PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", method);
            throw PyErrorSet{};
        }
        if (nargs != want) {
            PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd argument%s (%zd given)", method, want,
                         want == 1 ? "" : "s", nargs);
            throw PyErrorSet{};
        }
        Ref module = Ref::check(PyImport_ImportModule("kelvara.prover.clausifier"));
        Ref fn = Ref::check(PyObject_GetAttrString(module.get(), helper));
        PyObject* call_args[3] = {self, nargs > 0 ? args[0] : nullptr, nargs > 1 ? args[1] : nullptr};
        return check(PyObject_Vectorcall(fn.get(), call_args, static_cast<size_t>(1 + nargs), nullptr));
    });
}

}  // namespace

PyObject* display_format(PyObject* self, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return call_helper("__format__", "display_format", self, args, nargs, kwnames, 1);
}

PyObject* display_pretty(PyObject* self, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return call_helper("_repr_pretty_", "display_pretty", self, args, nargs, kwnames, 2);
}

PyObject* display_latex(PyObject* self, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return call_helper("_repr_latex_", "display_latex", self, args, nargs, kwnames, 0);
}

}  // namespace kv::native
