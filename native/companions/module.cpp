// kelvara._native: module definition and state, the exec step, and the helpers
// shared by the other files (argument parsing, the call into the Python
// reference, free-variable tests on cached sets).
#include "companions/state.hpp"

#include <new>

namespace kv::native {

void parse_args(const char* fname, const char* const* names, int n, int nrequired, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, PyObject** out, bool with_self) {
    parse_arguments(fname, names, n, nrequired, with_self ? 1 : 0, args, nargs, kwnames, out);
}

PyObject* call_reference(State* st, const char* companion, PyObject* name, PyObject* const* args, Py_ssize_t n) {
    // The companion module is loaded by the time any caller can reach us
    // through it; importing it here (a sys.modules lookup) also covers a direct
    // call of this module before the companion was imported.
    Ref mod = Ref::check(PyImport_ImportModule(companion));
    Ref table = Ref::check(PyObject_GetAttr(mod.get(), st->s_python_implementation));
    Ref fn = Ref::check(PyObject_GetItem(table.get(), name));
    return check(PyObject_Vectorcall(fn.get(), args, static_cast<size_t>(n), nullptr));
}

bool fv_contains(PyObject* node, int k, PyObject* var) {
    PyObject* fv = free_vars_cache(node, k);
    if (free_vars_single(node)) return check_int(PyObject_RichCompareBool(fv, var, Py_EQ)) != 0;
    return check_int(PySet_Contains(fv, var)) != 0;
}

bool fv_disjoint(PyObject* node, int k, PyObject* mapping) {
    if (PyDict_GET_SIZE(mapping) == 0) return true;
    bool disjoint = true;
    for_each_free_var(node, k, [&](PyObject* v) {
        if (disjoint && check_int(PyDict_Contains(mapping, v))) disjoint = false;
    });
    return disjoint;
}

Ref clausifier_global(State* st, PyObject* name) {
    if (!st->clausifier_globals) {
        Ref mod = Ref::check(PyImport_ImportModule("kelvara.prover.clausifier"));
        st->clausifier_globals = Py_NewRef(check(PyModule_GetDict(mod.get())));
    }
    PyObject* v = PyDict_GetItemWithError(st->clausifier_globals, name);
    if (v) return Ref::borrow(v);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw PyErrorSet{};
}

const char kSetattrDoc[] =
    "__setattr__($self, name, value=None, /)\n--\n\nRaises FrozenInstanceError: the record is immutable.";
const char kDelattrDoc[] =
    "__delattr__($self, name, value=None, /)\n--\n\nRaises FrozenInstanceError: the record is immutable.";

void raise_frozen(State* st, const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name", "value"};
    PyObject* a[2];
    parse_args(fname, names, 2, 1, args, nargs, kwnames, a, true);
    Ref text = Ref::check(PyObject_Format(a[0], nullptr));
    PyErr_Format(st->frozen_error, "cannot assign to field '%U'", text.get());
    throw PyErrorSet{};
}

// A C-level tp_setattro would make object.__setattr__ refuse the instances
// ("can't apply this __setattr__"), and the clausifier's reference order
// writes the `_key` cache slot of any literal with object.__setattr__.  So the
// frozen classes do what a Python class defining __setattr__ does: their
// tp_setattro is the interpreter's dispatching one, which calls the
// `__setattr__`/`__delattr__` methods in the class; object.__setattr__ passes
// over it to the generic setter and reaches the cache slots' descriptors.
void make_frozen(PyTypeObject* type, State* st) {
    if (!st->dispatching_setattro) {
        Ref ns = Ref::check(Py_BuildValue("{sO}", "__setattr__", Py_None));
        Ref probe = Ref::check(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O",
                                                     "_setattr_probe", ns.get()));
        st->dispatching_setattro = reinterpret_cast<PyTypeObject*>(probe.get())->tp_setattro;
    }
    type->tp_setattro = st->dispatching_setattro;
    PyType_Modified(type);
}

static Ref add_function(PyObject* module, PyMethodDef* def) {
    Ref name = Ref::check(PyModule_GetNameObject(module));
    Ref f = Ref::check(PyCFunction_NewEx(def, module, name.get()));
    check_int(PyModule_AddObjectRef(module, def->ml_name, f.get()));
    return f;
}

static int module_exec(PyObject* module) noexcept {
    return boundary<int>(-1, [&]() -> int {
        State* st = new (PyModule_GetState(module)) State();
        Ref ast = Ref::check(PyImport_ImportModule("kelvara.core.ast"));
        st->api.init_from_module(ast.get());
        Ref exc = Ref::check(PyImport_ImportModule("kelvara.core.exceptions"));
        st->unification_error = check(PyObject_GetAttrString(exc.get(), "UnificationError"));
        st->sort_keys = check(PyDict_New());
        Ref dc = Ref::check(PyImport_ImportModule("dataclasses"));
        st->frozen_error = check(PyObject_GetAttrString(dc.get(), "FrozenInstanceError"));
#define X(n, s) st->s_##n = check(PyUnicode_InternFromString(s));
        KV_NATIVE_NAMES(X)
#undef X
        add_function(module, &unify_terms_def);
        add_function(module, &unify_formulas_def);
        add_function(module, &substitute_term_def);
        st->native_substitute_formula = add_function(module, &substitute_formula_def).release();
        add_function(module, &sort_literals_def);
        add_clause_types(module, st);
        return 0;
    });
}

static int module_traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = state_of_module(module);
    if (!st) return 0;
    Py_VISIT(st->unification_error);
    Py_VISIT(st->sort_keys);
    Py_VISIT(st->frozen_error);
    Py_VISIT(st->native_substitute_formula);
    Py_VISIT(st->clausifier_globals);
    if (int r = traverse_clause_types(st, visit, arg)) return r;
    return st->api.traverse(visit, arg);
}

static int module_clear(PyObject* module) {
    State* st = state_of_module(module);
    if (!st) return 0;
    Py_CLEAR(st->unification_error);
    Py_CLEAR(st->sort_keys);
    Py_CLEAR(st->frozen_error);
    Py_CLEAR(st->native_substitute_formula);
    Py_CLEAR(st->clausifier_globals);
    Py_CLEAR(st->literal_type);
    Py_CLEAR(st->clause_type);
#define X(n, s) Py_CLEAR(st->s_##n);
    KV_NATIVE_NAMES(X)
#undef X
    st->api.clear();
    return 0;
}

static void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

static PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    KV_MOD_GIL_SLOT
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kelvara._native",
    "Native twins of the unification, substitution and literal-ordering companions, and of the clause and literal classes.",
    sizeof(State),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace kv::native

PyMODINIT_FUNC PyInit__native(void) {
    return PyModuleDef_Init(&kv::native::module_def);
}
