// kelvara.core.ast: module definition, state and the exec step that defines
// the module's names in order.
#include "ast/state.hpp"

#include <new>

namespace kv::ast {

void create_variable_kind(PyObject* module, State* st) {
    Ref enum_mod = Ref::check(PyImport_ImportModule("enum"));
    Ref Enum = Ref::check(PyObject_GetAttrString(enum_mod.get(), "Enum"));
    Ref members = Ref::check(Py_BuildValue("[(ss)(ss)(ss)]", "INDIVIDUAL", "INDIVIDUAL", "PREDICATE", "PREDICATE",
                                           "FUNCTION", "FUNCTION"));
    Ref args = Ref::check(Py_BuildValue("(sO)", "VariableKind", members.get()));
    Ref kw = Ref::check(Py_BuildValue("{ssss}", "module", "kelvara.core.ast", "qualname", "VariableKind"));
    Ref vk = Ref::check(PyObject_Call(Enum.get(), args.get(), kw.get()));
    Ref doc = Ref::check(PyUnicode_FromString("Distinguishes variable usage in logic expressions."));
    check_int(PyObject_SetAttrString(vk.get(), "__doc__", doc.get()));
    st->variable_kind = Py_NewRef(vk.get());
    AstApi& api = st->api;
    api.vk_individual = check(PyObject_GetAttrString(vk.get(), "INDIVIDUAL"));
    api.vk_predicate = check(PyObject_GetAttrString(vk.get(), "PREDICATE"));
    api.vk_function = check(PyObject_GetAttrString(vk.get(), "FUNCTION"));
    api.init_kind_hashes();
    check_int(PyModule_AddObjectRef(module, "VariableKind", vk.get()));
}

static void add_function(PyObject* module, PyMethodDef* def) {
    Ref name = Ref::check(PyModule_GetNameObject(module));
    Ref f = Ref::check(PyCFunction_NewEx(def, module, name.get()));
    check_int(PyModule_AddObjectRef(module, def->ml_name, f.get()));
}

static int module_exec(PyObject* module) noexcept {
    return boundary<int>(-1, [&]() -> int {
        State* st = new (PyModule_GetState(module)) State();
        // Imports first, as the module body does.
        st->api.init_common();
        Ref sorts = Ref::check(PyImport_ImportModule("kelvara.core.sorts"));
        Ref sort = Ref::check(PyObject_GetAttrString(sorts.get(), "Sort"));
        check_int(PyModule_AddObjectRef(module, "Sort", sort.get()));
        check_int(PyModule_AddObjectRef(module, "Ind", st->api.ind));
        check_int(PyModule_AddObjectRef(module, "InvalidFormulaError", st->api.invalid_formula_error));
        Ref dc = Ref::check(PyImport_ImportModule("dataclasses"));
        st->frozen_error = check(PyObject_GetAttrString(dc.get(), "FrozenInstanceError"));
        Ref copyreg = Ref::check(PyImport_ImportModule("copyreg"));
        st->newobj_ex = check(PyObject_GetAttrString(copyreg.get(), "__newobj_ex__"));
        st->empty_tuple = check(PyTuple_New(0));
        // Then the definitions, in order.
        create_variable_kind(module, st);
        create_node_types(module, st);
        st->api.pool = &st->pool;
        st->pool.open();
        install_display(module, st);
        add_function(module, &free_variables_def);
        add_function(module, &bound_variables_def);
        add_function(module, &formula_depth_def);
        add_function(module, &formula_size_def);
        add_function(module, &canonicalize_def);
        return 0;
    });
}

static int module_traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = static_cast<State*>(PyModule_GetState(module));
    if (!st) return 0;
    Py_VISIT(st->variable_kind);
    Py_VISIT(st->frozen_error);
    Py_VISIT(st->newobj_ex);
    Py_VISIT(st->empty_tuple);
    return st->api.traverse(visit, arg);
}

static int module_clear(PyObject* module) {
    State* st = static_cast<State*>(PyModule_GetState(module));
    if (!st) return 0;
    Py_CLEAR(st->variable_kind);
    Py_CLEAR(st->frozen_error);
    Py_CLEAR(st->newobj_ex);
    Py_CLEAR(st->empty_tuple);
    forget_pool_module(module);
    close_pool(st);
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
    "kelvara.core.ast",
    "Abstract Syntax Tree (AST) definitions for First-Order Logic terms and formulas.",
    sizeof(State),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace kv::ast

PyMODINIT_FUNC PyInit_ast(void) {
    return PyModuleDef_Init(&kv::ast::module_def);
}
