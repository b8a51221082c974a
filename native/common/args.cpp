// Argument parsing for native functions and methods with positional-or-keyword
// parameters, raising the interpreter's own TypeError messages in the
// interpreter's order: keyword errors (unknown name, a value given twice)
// before too many positional arguments, then missing required ones.
#include "common/ref.hpp"

#include <string>

namespace kv {

void parse_arguments(const char* fname, const char* const* names, int n, int nrequired, int nself,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    for (int i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        for (Py_ssize_t j = 0, nk = PyTuple_GET_SIZE(kwnames); j < nk; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            int idx = -1;
            for (int i = 0; i < n; ++i)
                if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
                    idx = i;
                    break;
                }
            if (idx < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
                throw PyErrorSet{};
            }
            if (out[idx]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, names[idx]);
                throw PyErrorSet{};
            }
            out[idx] = args[nargs + j];
        }
    }
    if (nargs > n) {
        int total = n + nself;
        Py_ssize_t given = nargs + nself;
        if (n == nrequired)
            PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given", fname, total,
                         total == 1 ? "" : "s", given, given == 1 ? "was" : "were");
        else
            PyErr_Format(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd were given", fname,
                         nrequired + nself, total, given);
        throw PyErrorSet{};
    }
    int missing = 0;
    for (int i = 0; i < nrequired; ++i)
        if (!out[i]) ++missing;
    if (missing) {
        std::string text;
        int seen = 0;
        for (int i = 0; i < nrequired; ++i) {
            if (out[i]) continue;
            ++seen;
            if (seen > 1) text += (seen == missing) ? (missing > 2 ? ", and " : " and ") : ", ";
            text += "'";
            text += names[i];
            text += "'";
        }
        PyErr_Format(PyExc_TypeError, "%s() missing %d required positional argument%s: %s", fname, missing,
                     missing == 1 ? "" : "s", text.c_str());
        throw PyErrorSet{};
    }
}

TupleCall::TupleCall(PyObject* args, PyObject* kwds) {
    nargs_ = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwds ? PyDict_GET_SIZE(kwds) : 0;
    size_t total = static_cast<size_t>(nargs_ + nkw);
    if (total > sizeof(small_) / sizeof(small_[0])) {
        big_.resize(total);
        data_ = big_.data();
    }
    for (Py_ssize_t i = 0; i < nargs_; ++i) data_[i] = PyTuple_GET_ITEM(args, i);
    if (!nkw) return;
    kwnames_ = Ref::check(PyTuple_New(nkw));
    Py_ssize_t pos = 0, j = 0;
    PyObject *key, *value;
    while (j < nkw && PyDict_Next(kwds, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames_.get(), j, Py_NewRef(key));
        data_[nargs_ + j] = value;
        ++j;
    }
}

}  // namespace kv
