// The descriptor type that carries the C++ methods of the visitor classes:
// callable through vectorcall, bound to an instance by __get__ like a Python
// function, and exposing __name__, __qualname__, __doc__, __module__,
// __text_signature__ and __isabstractmethod__ so that ABCMeta, inspect and
// help() see ordinary methods.
#include "visitors/state.hpp"

#include <structmember.h>

#include <string>

namespace kv::vis {

static Method* as_method(PyObject* o) { return reinterpret_cast<Method*>(o); }

static int param_index(const MethodDef* d, PyObject* key) {
    for (int i = 0; i < d->nparams; ++i)
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, d->params[i]) == 0) return i;
    return -1;
}

// Parses vectorcall arguments into argv (borrowed) and, for **kwargs methods,
// a dict of the remaining keywords; messages follow the interpreter's own.
static void parse_args(const Method* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** argv,
                       Ref& kwargs) {
    const MethodDef* d = m->def;
    // Keyword errors first, then too many positional arguments, as the interpreter checks.
    for (int i = 0; i < d->nparams; ++i) argv[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        for (Py_ssize_t j = 0, nk = PyTuple_GET_SIZE(kwnames); j < nk; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            int idx = param_index(d, key);
            if (idx >= 0) {
                if (argv[idx]) {
                    PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%s'", m->qualname,
                                 d->params[idx]);
                    throw PyErrorSet{};
                }
                argv[idx] = args[nargs + j];
            } else if (d->varkw) {
                if (!kwargs) kwargs = Ref::check(PyDict_New());
                check_int(PyDict_SetItem(kwargs.get(), key, args[nargs + j]));
            } else {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", m->qualname, key);
                throw PyErrorSet{};
            }
        }
    }
    if (nargs > d->nparams) {
        if (d->nparams == d->nrequired)
            PyErr_Format(PyExc_TypeError, "%U() takes %d positional argument%s but %zd were given", m->qualname,
                         d->nparams, d->nparams == 1 ? "" : "s", nargs);
        else
            PyErr_Format(PyExc_TypeError, "%U() takes from %d to %d positional arguments but %zd were given",
                         m->qualname, d->nrequired, d->nparams, nargs);
        throw PyErrorSet{};
    }
    int missing = 0;
    for (int i = 0; i < d->nrequired; ++i)
        if (!argv[i]) ++missing;
    if (missing) {
        std::string names;
        int seen = 0;
        for (int i = 0; i < d->nrequired; ++i) {
            if (argv[i]) continue;
            ++seen;
            if (seen > 1) names += (seen == missing) ? (missing > 2 ? ", and " : " and ") : ", ";
            names += "'";
            names += d->params[i];
            names += "'";
        }
        PyErr_Format(PyExc_TypeError, "%U() missing %d required positional argument%s: %s", m->qualname, missing,
                     missing == 1 ? "" : "s", names.c_str());
        throw PyErrorSet{};
    }
}

static PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        const Method* m = as_method(callable);
        const MethodDef* d = m->def;
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        // The common case, a handler called with (self, node) positionally.
        if (d->role != ROLE_OTHER && nargs == 2 && !kwnames) return d->handler(m->st, args[0], args[1]);
        PyObject* argv[3];
        Ref kwargs;
        parse_args(m, args, nargs, kwnames, argv, kwargs);
        if (d->role != ROLE_OTHER) return d->handler(m->st, argv[0], argv[1]);
        return d->call(m->st, argv, kwargs.get());
    });
}

static PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject* type) noexcept {
    (void)type;
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

static void method_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Method* m = as_method(self);
    Py_CLEAR(m->module);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    tp->tp_free(self);
    Py_DECREF(tp);
}

bool is_method(PyObject* o) { return Py_TYPE(o)->tp_dealloc == method_dealloc; }

static int method_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_method(self)->module);
    return 0;
}

static int method_clear(PyObject* self) noexcept {
    Py_CLEAR(as_method(self)->module);
    return 0;
}

static PyObject* method_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U>", as_method(self)->qualname);
}

static PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_method(self)->name); }
static PyObject* get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_method(self)->qualname); }
static PyObject* get_doc(PyObject* self, void*) noexcept {
    const char* doc = as_method(self)->def->doc;
    if (!doc) Py_RETURN_NONE;
    return PyUnicode_FromString(doc);
}
static PyObject* get_text_signature(PyObject* self, void*) noexcept {
    const char* sig = as_method(self)->def->text_signature;
    if (!sig) Py_RETURN_NONE;
    return PyUnicode_FromString(sig);
}
static PyObject* get_abstract(PyObject* self, void*) noexcept {
    return PyBool_FromLong(as_method(self)->def->abstract);
}
static PyObject* get_module(PyObject* self, void*) noexcept {
    PyObject* m = as_method(self)->module;
    if (!m) Py_RETURN_NONE;
    return PyModule_GetNameObject(m);
}

static PyGetSetDef method_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__isabstractmethod__", get_abstract, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMemberDef method_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(Method, vectorcall)), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject* create_method_type(PyObject* module) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
        {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(method_descr_get)},
        {Py_tp_getset, method_getset},
        {Py_tp_members, method_members},
        {Py_tp_doc, const_cast<char*>("A method of a visitor class implemented in C++.")},
        {0, nullptr},
    };
    PyType_Spec spec = {
        "kelvara.core.visitors.visitor_method",
        sizeof(Method),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromModuleAndSpec(module, &spec, nullptr)));
}

PyObject* new_method(State* st, PyObject* module, const MethodDef* def, const char* cls_name) {
    Ref name = Ref::check(PyUnicode_InternFromString(def->name));
    Ref qualname = Ref::check(PyUnicode_FromFormat("%s.%s", cls_name, def->name));
    Method* m = PyObject_GC_New(Method, st->method_type);
    if (!m) throw PyErrorSet{};
    m->vectorcall = method_vectorcall;
    m->def = def;
    m->st = st;
    m->module = Py_NewRef(module);
    m->name = name.release();
    m->qualname = qualname.release();
    PyObject_GC_Track(reinterpret_cast<PyObject*>(m));
    return reinterpret_cast<PyObject*>(m);
}

}  // namespace kv::vis
