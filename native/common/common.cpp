// The table of node kinds and their fields, and the per-module AstApi:
// the node classes, interned names and shared constants each extension
// module looks up once.  Linked into every extension module; each module
// passes its own AstApi, so no state lives here.
#include "common/nodes.hpp"

#include <cstring>
#include <vector>

namespace kv {

#define OFF(T, f) static_cast<Py_ssize_t>(offsetof(T, f))

const KindInfo kKindInfo[K_COUNT] = {
    {"Variable", sizeof(VariableNode), OFF(VariableNode, sort), 3,
     {{"sort", OFF(VariableNode, sort), F_COMPARED | F_KWONLY},
      {"id", OFF(VariableNode, id), F_COMPARED | F_POSITIONAL},
      {"kind", OFF(VariableNode, vkind), F_COMPARED | F_POSITIONAL}}},
    {"Constant", sizeof(ConstantNode), OFF(ConstantNode, sort), 2,
     {{"sort", OFF(ConstantNode, sort), F_COMPARED | F_KWONLY},
      {"name", OFF(ConstantNode, name), F_COMPARED | F_POSITIONAL}}},
    {"FunctionApp", sizeof(FunctionAppNode), OFF(FunctionAppNode, sort), 7,
     {{"sort", OFF(FunctionAppNode, sort), F_COMPARED | F_KWONLY},
      {"func", OFF(FunctionAppNode, func), F_COMPARED | F_POSITIONAL},
      {"arity", OFF(FunctionAppNode, arity), F_COMPARED | F_POSITIONAL},
      {"args", OFF(FunctionAppNode, args), F_COMPARED | F_POSITIONAL},
      {"return_sort", OFF(FunctionAppNode, return_sort), F_COMPARED | F_POSITIONAL},
      {"_hash_cache", OFF(FunctionAppNode, hash), F_DERIVED},
      {"_free_vars", OFF(FunctionAppNode, free_vars), F_DERIVED}}},
    {"PredicateApp", sizeof(PredicateAppNode), OFF(PredicateAppNode, pred), 5,
     {{"pred", OFF(PredicateAppNode, pred), F_COMPARED | F_POSITIONAL},
      {"arity", OFF(PredicateAppNode, arity), F_COMPARED | F_POSITIONAL},
      {"args", OFF(PredicateAppNode, args), F_COMPARED | F_POSITIONAL},
      {"_hash_cache", OFF(PredicateAppNode, hash), F_DERIVED},
      {"_free_vars", OFF(PredicateAppNode, free_vars), F_DERIVED}}},
    {"Equality", sizeof(EqualityNode), OFF(EqualityNode, left), 4,
     {{"left", OFF(EqualityNode, left), F_COMPARED | F_POSITIONAL},
      {"right", OFF(EqualityNode, right), F_COMPARED | F_POSITIONAL},
      {"_hash_cache", OFF(EqualityNode, hash), F_DERIVED},
      {"_free_vars", OFF(EqualityNode, free_vars), F_DERIVED}}},
    {"Not", sizeof(NotNode), OFF(NotNode, operand), 2,
     {{"operand", OFF(NotNode, operand), F_COMPARED | F_POSITIONAL},
      {"_hash_cache", OFF(NotNode, hash), F_DERIVED}}},
#define KV_BINARY_INFO(N)                                                  \
    {N, sizeof(BinaryNode), OFF(BinaryNode, left), 3,                      \
     {{"left", OFF(BinaryNode, left), F_COMPARED | F_POSITIONAL},          \
      {"right", OFF(BinaryNode, right), F_COMPARED | F_POSITIONAL},        \
      {"_hash_cache", OFF(BinaryNode, hash), F_DERIVED}}}
    KV_BINARY_INFO("And"),
    KV_BINARY_INFO("Or"),
    KV_BINARY_INFO("Implies"),
    KV_BINARY_INFO("Iff"),
#define KV_QUANT_INFO(N)                                                   \
    {N, sizeof(QuantNode), OFF(QuantNode, variable), 3,                    \
     {{"variable", OFF(QuantNode, variable), F_COMPARED | F_POSITIONAL},   \
      {"body", OFF(QuantNode, body), F_COMPARED | F_POSITIONAL},           \
      {"_hash_cache", OFF(QuantNode, hash), F_DERIVED}}}
    KV_QUANT_INFO("Forall"),
    KV_QUANT_INFO("Exists"),
};

PyObject* module_by_def(PyTypeObject* tp, PyModuleDef* def) {
    PyObject* mro = tp->tp_mro;
    if (mro && PyTuple_Check(mro)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
            PyTypeObject* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
            if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) continue;
            PyObject* m = reinterpret_cast<PyHeapTypeObject*>(t)->ht_module;
            if (m && PyModule_GetDef(m) == def) return m;
        }
    }
    PyErr_Format(PyExc_TypeError, "PyType_GetModuleByDef: No superclass of '%s' has the given module",
                 tp->tp_name);
    return nullptr;
}

// ---------------------------------------------------------------- AstApi

static bool type_name_is(PyTypeObject* tp, const char* name) {
    const char* n = tp->tp_name;
    const char* dot = std::strrchr(n, '.');
    if (dot) n = dot + 1;
    return std::strcmp(n, name) == 0;
}

bool AstApi::is_sol_quantifier(PyObject* o) const {
    PyTypeObject* tp = Py_TYPE(o);
    return type_name_is(tp, "ForallPred") || type_name_is(tp, "ExistsPred") ||
           type_name_is(tp, "ForallFunc") || type_name_is(tp, "ExistsFunc");
}

#define KV_API_OBJECTS(X)                                                                      \
    X(invalid_formula_error) X(ind) X(vk_individual) X(vk_predicate) X(vk_function)           \
    X(empty_frozenset) X(zero) X(sort_types) X(s_index) X(s_arity) X(s_name) X(s_free_vars)   \
    X(s_body) X(s_variable) X(s_operand) X(s_left) X(s_right) X(s_args) X(s_id) X(s_sort)      \
    X(s_kind) X(s_func) X(s_pred) X(s_return_sort) X(s_ForallPred) X(s_ExistsPred)             \
    X(s_ForallFunc) X(s_ExistsFunc) X(pool_owner)

int AstApi::traverse(visitproc visit, void* arg) {
    for (auto* t : types) Py_VISIT(t);
    Py_VISIT(term_type);
    Py_VISIT(formula_type);
#define X(f) Py_VISIT(f);
    KV_API_OBJECTS(X)
#undef X
    return 0;
}

void AstApi::clear() {
    pool = nullptr;  // before pool_owner goes
    for (auto*& t : types) Py_CLEAR(t);
    Py_CLEAR(term_type);
    Py_CLEAR(formula_type);
#define X(f) Py_CLEAR(f);
    KV_API_OBJECTS(X)
#undef X
}

static PyObject* intern(const char* s) { return check(PyUnicode_InternFromString(s)); }

void AstApi::init_common() {
    Ref sorts = Ref::check(PyImport_ImportModule("kelvara.core.sorts"));
    Ref exc = Ref::check(PyImport_ImportModule("kelvara.core.exceptions"));
    invalid_formula_error = check(PyObject_GetAttrString(exc.get(), "InvalidFormulaError"));
    ind = check(PyObject_GetAttrString(sorts.get(), "Ind"));
    Ref p = Ref::check(PyObject_GetAttrString(sorts.get(), "PrimitiveSort"));
    Ref q = Ref::check(PyObject_GetAttrString(sorts.get(), "ParameterizedSort"));
    Ref f = Ref::check(PyObject_GetAttrString(sorts.get(), "FunctionSort"));
    sort_types = check(PyTuple_Pack(3, p.get(), q.get(), f.get()));
    empty_frozenset = check(PyFrozenSet_New(nullptr));
    zero = check(PyLong_FromLong(0));
    s_index = intern("index");
    s_arity = intern("arity");
    s_name = intern("name");
    s_free_vars = intern("_free_vars");
    s_body = intern("body");
    s_variable = intern("variable");
    s_operand = intern("operand");
    s_left = intern("left");
    s_right = intern("right");
    s_args = intern("args");
    s_id = intern("id");
    s_sort = intern("sort");
    s_kind = intern("kind");
    s_func = intern("func");
    s_pred = intern("pred");
    s_return_sort = intern("return_sort");
    s_ForallPred = intern("ForallPred");
    s_ExistsPred = intern("ExistsPred");
    s_ForallFunc = intern("ForallFunc");
    s_ExistsFunc = intern("ExistsFunc");
}

void AstApi::init_from_module(PyObject* m) {
    init_common();
    for (int k = 0; k < K_COUNT; ++k) {
        PyObject* t = check(PyObject_GetAttrString(m, kKindInfo[k].name));
        if (!PyType_Check(t)) {
            Py_DECREF(t);
            PyErr_Format(PyExc_ImportError, "kelvara.core.ast.%s is not a class", kKindInfo[k].name);
            throw PyErrorSet{};
        }
        types[k] = reinterpret_cast<PyTypeObject*>(t);
    }
    term_type = reinterpret_cast<PyTypeObject*>(check(PyObject_GetAttrString(m, "Term")));
    formula_type = reinterpret_cast<PyTypeObject*>(check(PyObject_GetAttrString(m, "Formula")));
    Ref vk = Ref::check(PyObject_GetAttrString(m, "VariableKind"));
    vk_individual = check(PyObject_GetAttrString(vk.get(), "INDIVIDUAL"));
    vk_predicate = check(PyObject_GetAttrString(vk.get(), "PREDICATE"));
    vk_function = check(PyObject_GetAttrString(vk.get(), "FUNCTION"));
    init_kind_hashes();
    node_dealloc = types[0]->tp_dealloc;
    node_richcompare = types[0]->tp_richcompare;
    // The ast module's state starts with its AstApi; its pool is shared when
    // `m` is that module and made every node class found on it (a pooled
    // object is reused for the class of its layout, at that class's size).
    PyModuleDef* def = PyModule_Check(m) ? PyModule_GetDef(m) : nullptr;
    bool own_classes = def && def->m_name && std::strcmp(def->m_name, "kelvara.core.ast") == 0 &&
                       def->m_size >= static_cast<Py_ssize_t>(sizeof(AstApi));
    for (int k = 0; own_classes && k < K_COUNT; ++k) {
        PyTypeObject* t = types[k];
        own_classes = (t->tp_flags & Py_TPFLAGS_HEAPTYPE) && reinterpret_cast<PyHeapTypeObject*>(t)->ht_module == m &&
                      t->tp_dealloc == node_dealloc && t->tp_basicsize == kKindInfo[k].basicsize;
    }
    if (own_classes) {
        auto* owner = static_cast<AstApi*>(PyModule_GetState(m));
        if (owner && owner->pool) {
            pool = owner->pool;
            pool_owner = Py_NewRef(m);
        }
    }
}

void AstApi::init_kind_hashes() {
    PyObject* m[3] = {vk_individual, vk_predicate, vk_function};
    for (int i = 0; i < 3; ++i) {
        vk_hash[i] = PyObject_Hash(m[i]);
        if (vk_hash[i] == -1) throw PyErrorSet{};
    }
}

[[noreturn]] void raise_invalid(const AstApi& api, PyObject* msg) {
    if (msg) {
        PyErr_SetObject(api.invalid_formula_error, msg);
        Py_DECREF(msg);
    }
    throw PyErrorSet{};
}
[[noreturn]] void raise_invalid(const AstApi& api, const char* msg) {
    PyErr_SetString(api.invalid_formula_error, msg);
    throw PyErrorSet{};
}

}  // namespace kv
