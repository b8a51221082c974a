// kelvara.prover.rules: module definition and state, the exec step that imports
// the companions and defines the module's names in order, and the helpers
// shared by the other files (argument parsing, global-name lookup).
#include "rules/state.hpp"

#include <new>

namespace kv::rules {

State* state_of_type(PyTypeObject* tp) {
    PyObject* m = module_by_def(tp, &module_def);
    if (!m) throw PyErrorSet{};
    return state_of_module(m);
}

Ref global(PyObject* module, PyObject* name) {
    PyObject* d = PyModule_GetDict(module);
    PyObject* v = PyDict_GetItemWithError(d, name);
    if (!v) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        v = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
        if (!v) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            throw PyErrorSet{};
        }
    }
    return Ref::borrow(v);
}

void parse_args(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    parse_arguments(p.fname, p.names, p.n, p.nrequired, p.nself, args, nargs, kwnames, out);
}

// Binds `names` from module `from` into `module`, as `from <from> import ...`.
static void import_names(PyObject* module, const char* from, std::initializer_list<const char*> names) {
    Ref src = Ref::check(PyImport_ImportModule(from));
    for (const char* n : names) {
        Ref v = Ref::check(PyObject_GetAttrString(src.get(), n));
        check_int(PyModule_AddObjectRef(module, n, v.get()));
    }
}

static void add_function(PyObject* module, PyMethodDef* def) {
    Ref name = Ref::check(PyModule_GetNameObject(module));
    Ref f = Ref::check(PyCFunction_NewEx(def, module, name.get()));
    check_int(PyModule_AddObjectRef(module, def->ml_name, f.get()));
}

// The native clause classes and what the fast paths compare against; nothing
// when kelvara._native is not built (the Python twins are then in use).
static void load_native_records(State* st) {
    Ref native = Ref::steal(PyImport_ImportModule("kelvara._native"));
    if (!native) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw PyErrorSet{};
        PyErr_Clear();
        return;
    }
    Ref clausifier = Ref::check(PyImport_ImportModule("kelvara.prover.clausifier"));
    st->clausifier_dict = Py_NewRef(check(PyModule_GetDict(clausifier.get())));
    st->native_substitute_formula = check(PyObject_GetAttrString(native.get(), "substitute_formula"));
    st->native_unify_formulas = check(PyObject_GetAttrString(native.get(), "unify_formulas"));
    Ref exceptions = Ref::check(PyImport_ImportModule("kelvara.core.exceptions"));
    st->unification_error = check(PyObject_GetAttrString(exceptions.get(), "UnificationError"));
    Ref clause = Ref::check(PyObject_GetAttrString(native.get(), "Clause"));
    Ref literal = Ref::check(PyObject_GetAttrString(native.get(), "Literal"));
    if (!PyType_Check(clause.get()) || !PyType_Check(literal.get())) return;
    auto own = [](PyObject* type, PyObject* name) {
        PyObject* v = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(type)->tp_dict, name);
        if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_AttributeError, "%R has no attribute %R", type, name);
        return Py_NewRef(check(v));
    };
    st->clause_attrs[0] = own(clause.get(), st->s_free_variables);
    st->clause_attrs[1] = own(clause.get(), st->s_substitute);
    st->clause_attrs[2] = own(clause.get(), st->s_literals);
    st->literal_attrs[0] = own(literal.get(), st->s_atom);
    st->literal_attrs[1] = own(literal.get(), st->s_positive);
    st->clause_type = reinterpret_cast<PyTypeObject*>(clause.release());
    st->literal_type = reinterpret_cast<PyTypeObject*>(literal.release());
}

static PyObject* intern(const char* s) { return check(PyUnicode_InternFromString(s)); }

static int module_exec(PyObject* module) noexcept {
    return boundary<int>(-1, [&]() -> int {
        State* st = new (PyModule_GetState(module)) State();
        // Imports first, in the order of the module body.
        Ref ast = Ref::check(PyImport_ImportModule("kelvara.core.ast"));
        st->api.init_from_module(ast.get());
        import_names(module, "kelvara.core.ast",
                     {"Variable", "FunctionApp", "PredicateApp", "Equality", "Forall", "Implies", "free_variables"});
        import_names(module, "kelvara.core.substitutions",
                     {"unify_formulas", "unify_terms", "UnificationError", "substitute_formula", "substitute_term"});
        import_names(module, "kelvara.prover.clausifier", {"Clause", "Literal"});
        Ref dc = Ref::check(PyImport_ImportModule("dataclasses"));
        st->frozen_error = check(PyObject_GetAttrString(dc.get(), "FrozenInstanceError"));
#define X(n) st->s_##n = intern(#n);
        KV_RULES_NAMES(X)
#undef X
        st->kw_atom_positive = check(PyTuple_Pack(2, st->s_atom, st->s_positive));
        st->kw_signature = check(PyTuple_Pack(1, st->s_signature));
        st->kw_bound_vars = check(PyTuple_Pack(1, st->s_bound_vars));
        st->one = check(PyLong_FromLong(1));
        st->str_resolution = intern("resolution");
        st->str_reconstruction = intern("reconstruction");
        load_native_records(st);
        // Then the definitions, in order.
        create_record_types(module, st);
        add_function(module, &standardize_def);
        add_function(module, &resolve_clauses_def);
        add_function(module, &factor_clause_def);
        add_function(module, &extract_subterms_def);
        add_function(module, &extract_atom_subterms_def);
        add_function(module, &replace_subterm_def);
        add_function(module, &replace_atom_subterm_def);
        add_function(module, &paramodulate_def);
        add_function(module, &get_resolution_rules_def);
        add_function(module, &get_reconstruction_rules_def);
        create_sol_rule_type(module, st);
        add_function(module, &apply_rule_def);
        return 0;
    });
}

#define KV_STATE_OBJECTS(X)                                                                  \
    X(rule_type) X(sol_rule_type) X(placeholder_type) X(frozen_error) X(kw_atom_positive)    \
    X(kw_signature) X(kw_bound_vars) X(one) X(str_resolution) X(str_reconstruction) X(clause_type)        \
    X(literal_type) X(clause_attrs[0]) X(clause_attrs[1]) X(clause_attrs[2]) X(literal_attrs[0])          \
    X(literal_attrs[1]) X(clausifier_dict) X(native_substitute_formula)        \
    X(native_unify_formulas) X(unification_error)

static int module_traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = state_of_module(module);
    if (!st) return 0;
#define X(f) Py_VISIT(st->f);
    KV_STATE_OBJECTS(X)
#undef X
    return st->api.traverse(visit, arg);
}

static int module_clear(PyObject* module) {
    State* st = state_of_module(module);
    if (!st) return 0;
#define X(f) Py_CLEAR(st->f);
    KV_STATE_OBJECTS(X)
#undef X
#define X(n) Py_CLEAR(st->s_##n);
    KV_RULES_NAMES(X)
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
    "kelvara.prover.rules",
    "Inference rules for resolution, factoring, paramodulation, and SOL instantiation.",
    sizeof(State),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace kv::rules

PyMODINIT_FUNC PyInit_rules(void) {
    return PyModuleDef_Init(&kv::rules::module_def);
}
