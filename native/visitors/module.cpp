// kelvara.core.visitors: module definition, state, and the exec step that
// imports the node classes and companions and then creates the visitor
// classes in order.
//
// The classes are created with types.new_class, which resolves the generic
// bases, picks ABCMeta as metaclass and records __orig_bases__, exactly as a
// class statement would; their namespaces are filled with Method descriptors.
#include "visitors/state.hpp"

#include <new>

namespace kv::vis {

int State::traverse(visitproc visit, void* arg) {
    Py_VISIT(method_type);
    Py_VISIT(ast_visitor);
    Py_VISIT(gc_counter);
    for (PyObject* o : sol_types) Py_VISIT(o);
    for (PyObject* o : family_class) Py_VISIT(o);
    for (TypeCache& e : tcache) {
        Py_VISIT(e.table);
        for (PyObject* f : e.py_rows) Py_VISIT(f);
    }
    return api.traverse(visit, arg);
}

#define KV_STATE_STRINGS(X)                                                                              \
    X(s_visit) X(s_dispatch_table) X(s_init_subclass) X(s_init) X(s_new) X(s_dunder_dict) X(s_notation) X(s_mapping) X(s_get) X(s_items)     \
    X(s_infix) X(s_prefix) X(s_latex) X(empty_str) X(one) X(super_type)

void State::clear() {
    Py_CLEAR(method_type);
    Py_CLEAR(ast_visitor);
    for (PyObject*& o : sol_types) Py_CLEAR(o);
    for (PyObject*& o : family_class) Py_CLEAR(o);
    for (PyObject*& o : global_names) Py_CLEAR(o);
    for (PyObject*& o : handler_names) Py_CLEAR(o);
    for (TypeCache& e : tcache) {
        e.tp = nullptr;
        Py_CLEAR(e.table);
        for (PyObject*& f : e.py_rows) Py_CLEAR(f);
    }
#define X(f) Py_CLEAR(f);
    KV_STATE_STRINGS(X)
#undef X
    api.clear();
}

static PyObject* intern(const char* s) { return check(PyUnicode_InternFromString(s)); }

static void add(PyObject* module, const char* name, PyObject* value) {
    check_int(PyModule_AddObjectRef(module, name, value));
}

// Copies the prepared namespace (the function's self) into the class namespace.
static PyObject* copy_namespace(PyObject* prepared, PyObject* ns) noexcept {
    if (PyDict_Check(ns)) {
        if (PyDict_Update(ns, prepared) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(prepared, &pos, &k, &v))
        if (PyObject_SetItem(ns, k, v) < 0) return nullptr;
    Py_RETURN_NONE;
}

static PyMethodDef copy_namespace_def = {"exec_body", reinterpret_cast<PyCFunction>(copy_namespace), METH_O,
                                         nullptr};

struct ClassSpec {
    const char* name;
    const char* doc;
    const MethodDef* methods;
    int nmethods;
};

static Ref make_class(State* st, PyObject* module, PyObject* new_class, const ClassSpec& spec, PyObject* bases,
                      bool with_table) {
    Ref ns = Ref::check(PyDict_New());
    Ref modname = Ref::check(PyModule_GetNameObject(module));
    check_int(PyDict_SetItemString(ns.get(), "__module__", modname.get()));
    Ref qualname = Ref::check(PyUnicode_FromString(spec.name));
    check_int(PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()));
    Ref doc = Ref::check(PyUnicode_FromString(spec.doc));
    check_int(PyDict_SetItemString(ns.get(), "__doc__", doc.get()));
    if (with_table) {
        Ref table = Ref::check(PyDict_New());
        check_int(PyDict_SetItem(ns.get(), st->s_dispatch_table, table.get()));
    }
    for (int i = 0; i < spec.nmethods; ++i) {
        const MethodDef* d = &spec.methods[i];
        Ref m = Ref::check(new_method(st, module, d, spec.name));
        if (d->classmethod) m = Ref::check(PyClassMethod_New(m.get()));
        check_int(PyDict_SetItemString(ns.get(), d->name, m.get()));
    }
    Ref body = Ref::check(PyCFunction_New(&copy_namespace_def, ns.get()));
    Ref name = Ref::check(PyUnicode_FromString(spec.name));
    Ref cls = Ref::check(PyObject_CallFunctionObjArgs(new_class, name.get(), bases, Py_None, body.get(), nullptr));
    check_int(PyModule_AddObjectRef(module, spec.name, cls.get()));
    return cls;
}

static Ref subscript(PyObject* generic, PyObject* arg) { return Ref::check(PyObject_GetItem(generic, arg)); }

static int module_exec(PyObject* module) noexcept {
    return boundary<int>(-1, [&]() -> int {
        State* st = new (PyModule_GetState(module)) State();
        st->module_dict = PyModule_GetDict(module);
        AstApi& api = st->api;

        // Imports first: the node classes, the second-order companions, the sorts.
        Ref ast = Ref::check(PyImport_ImportModule("kelvara.core.ast"));
        api.init_from_module(ast.get());
        Ref ext = Ref::check(PyImport_ImportModule("kelvara.sol.ast_ext"));
        Ref sorts = Ref::check(PyImport_ImportModule("kelvara.core.sorts"));
        add(module, "Term", reinterpret_cast<PyObject*>(api.term_type));
        add(module, "Formula", reinterpret_cast<PyObject*>(api.formula_type));
        for (int k = 0; k < K_COUNT; ++k) add(module, kKindInfo[k].name, reinterpret_cast<PyObject*>(api.types[k]));
        static const char* const kExtNames[] = {"ForallPred", "ExistsPred", "ForallFunc",
                                                "ExistsFunc", "PredicateVariable", "FunctionVariable"};
        for (int i = 0; i < 6; ++i) {
            Ref v = Ref::check(PyObject_GetAttrString(ext.get(), kExtNames[i]));
            if (i < 4) st->sol_types[i] = Py_NewRef(v.get());
            add(module, kExtNames[i], v.get());
        }
        static const char* const kSortNames[] = {"Sort", "PrimitiveSort", "ParameterizedSort", "FunctionSort",
                                                 "Ind", "Nat", "Bool"};
        for (const char* n : kSortNames) {
            Ref v = Ref::check(PyObject_GetAttrString(sorts.get(), n));
            add(module, n, v.get());
        }
        Ref typing = Ref::check(PyImport_ImportModule("typing"));
        Ref abc = Ref::check(PyImport_ImportModule("abc"));
        Ref types = Ref::check(PyImport_ImportModule("types"));
        Ref new_class = Ref::check(PyObject_GetAttrString(types.get(), "new_class"));
        Ref type_var = Ref::check(PyObject_GetAttrString(typing.get(), "TypeVar"));
        Ref T = Ref::check(PyObject_CallFunction(type_var.get(), "s", "T"));
        add(module, "T", T.get());

        read_assertion_flag();
        start_watching(st);
        start_counting_collections(st);
        // Names and constants used by the handlers.
        for (int k = 0; k < K_COUNT; ++k) st->global_names[k] = intern(kKindInfo[k].name);
        for (int i = 0; i < 4; ++i) st->global_names[R_FORALL_PRED + i] = intern(kExtNames[i]);
        st->global_names[G_TERM] = intern("Term");
        st->global_names[G_FORMULA] = intern("Formula");
        st->global_names[G_FREE_VARIABLE_COLLECTOR] = intern("FreeVariableCollector");
        st->global_names[G_SUBSTITUTION_TRANSFORMER] = intern("SubstitutionTransformer");
        for (int r = 0; r < R_COUNT; ++r) st->handler_names[r] = intern(kVisitorMethods[2 + r].name);
        st->s_visit = intern("visit");
        st->s_dispatch_table = intern("_dispatch_table");
        st->s_init_subclass = intern("__init_subclass__");
        st->s_init = intern("__init__");
        st->s_new = intern("__new__");
        st->s_dunder_dict = intern("__dict__");
        st->s_notation = intern("notation");
        st->s_mapping = intern("mapping");
        st->s_get = intern("get");
        st->s_items = intern("items");
        st->s_infix = intern("infix");
        st->s_prefix = intern("prefix");
        st->s_latex = intern("latex");
        st->empty_str = intern("");
        st->one = check(PyLong_FromLong(1));
        st->super_type = Py_NewRef(reinterpret_cast<PyObject*>(&PySuper_Type));
        st->method_type = create_method_type(module);

        // The classes, in order.
        Ref abc_base = Ref::check(PyObject_GetAttrString(abc.get(), "ABC"));
        Ref generic = Ref::check(PyObject_GetAttrString(typing.get(), "Generic"));
        Ref generic_t = subscript(generic.get(), T.get());
        Ref bases = Ref::check(PyTuple_Pack(2, abc_base.get(), generic_t.get()));
        Ref visitor = make_class(st, module, new_class.get(),
                                 {"ASTVisitor", "Generic visitor base class for AST traversal.", kVisitorMethods,
                                  kVisitorMethodCount},
                                 bases.get(), true);
        st->ast_visitor = Py_NewRef(visitor.get());

        Ref union_ = Ref::check(PyObject_GetAttrString(typing.get(), "Union"));
        Ref node_types = Ref::check(PyTuple_Pack(2, reinterpret_cast<PyObject*>(api.term_type),
                                                 reinterpret_cast<PyObject*>(api.formula_type)));
        Ref node_union = subscript(union_.get(), node_types.get());
        Ref tr_bases = Ref::check(PyTuple_Pack(1, subscript(visitor.get(), node_union.get()).get()));
        Ref transformer = make_class(
            st, module, new_class.get(),
            {"ASTTransformer", "Visitor that returns transformed AST nodes (bottom-up structural transformation).",
             kTransformerMethods, kTransformerMethodCount},
            tr_bases.get(), false);
        st->family_class[FAM_TRANSFORMER] = Py_NewRef(transformer.get());

        Ref int_visitor = subscript(visitor.get(), reinterpret_cast<PyObject*>(&PyLong_Type));
        Ref int_bases = Ref::check(PyTuple_Pack(1, int_visitor.get()));
        st->family_class[FAM_DEPTH] = make_class(st, module, new_class.get(),
                   {"DepthVisitor", "Computes the maximum depth of an AST tree.", kDepthMethods, kDepthMethodCount},
                   int_bases.get(), false).release();
        st->family_class[FAM_SIZE] = make_class(st, module, new_class.get(),
                   {"SizeVisitor", "Computes the total number of nodes in an AST tree.", kSizeMethods,
                    kSizeMethodCount},
                   int_bases.get(), false).release();

        Ref set_alias = Ref::check(PyObject_GetAttrString(typing.get(), "Set"));
        Ref var_set = subscript(set_alias.get(), reinterpret_cast<PyObject*>(api.types[K_VARIABLE]));
        Ref fv_bases = Ref::check(PyTuple_Pack(1, subscript(visitor.get(), var_set.get()).get()));
        st->family_class[FAM_FREE_VARS] = make_class(st, module, new_class.get(),
                   {"FreeVariableCollector", "Collects all free individual variables in a term or formula.",
                    kFreeVarMethods, kFreeVarMethodCount},
                   fv_bases.get(), false).release();

        Ref sub_bases = Ref::check(PyTuple_Pack(1, transformer.get()));
        st->family_class[FAM_SUBSTITUTION] = make_class(st, module, new_class.get(),
                   {"SubstitutionTransformer",
                    "Applies variable substitutions to terms and formulas with capture avoidance.\n\n"
                    "This is a lightweight, visitor-level substitution: it checks no sorts or kinds.  The "
                    "sort-validating substitution pipeline of the package lives in kelvara.core.substitutions.",
                    kSubstitutionMethods, kSubstitutionMethodCount},
                   sub_bases.get(), false).release();
        install_subst_init(st, st->family_class[FAM_SUBSTITUTION]);

        Ref str_bases =
            Ref::check(PyTuple_Pack(1, subscript(visitor.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type)).get()));
        st->family_class[FAM_EXPORT] = make_class(st, module, new_class.get(),
                   {"ExportVisitor", "Translates AST to string in various notations ('infix', 'prefix', 'latex').",
                    kExportMethods, kExportMethodCount},
                   str_bases.get(), false).release();
        return 0;
    });
}

static int module_traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = static_cast<State*>(PyModule_GetState(module));
    if (!st) return 0;
    return st->traverse(visit, arg);
}

static int module_clear(PyObject* module) {
    State* st = static_cast<State*>(PyModule_GetState(module));
    if (!st) return 0;
    st->clear();
    return 0;
}

static void module_free(void* module) {
    if (State* st = static_cast<State*>(PyModule_GetState(static_cast<PyObject*>(module)))) {
        stop_watching(st);
        stop_counting_collections(st);
    }
    module_clear(static_cast<PyObject*>(module));
}

// How many top-level visits a whole walk answered from start to end; tests
// read it to see that the whole walks run.
static PyObject* whole_walks(PyObject* module, PyObject*) noexcept {
    State* st = static_cast<State*>(PyModule_GetState(module));
    return PyLong_FromUnsignedLongLong(st->whole_walks);
}

// How many times a class's entry of the type cache was (re)filled; tests read
// it to see that classes in use stay cached.
static PyObject* type_cache_fills(PyObject* module, PyObject*) noexcept {
    State* st = static_cast<State*>(PyModule_GetState(module));
    return PyLong_FromUnsignedLongLong(st->type_cache_fills);
}

static PyMethodDef module_methods[] = {
    {"_whole_walks", whole_walks, METH_NOARGS, "Number of visits answered by a whole walk in C++ (for tests)."},
    {"_type_cache_fills", type_cache_fills, METH_NOARGS, "Number of type cache fills (for tests)."},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    KV_MOD_GIL_SLOT
    {0, nullptr},
};

static PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kelvara.core.visitors",
    "AST Visitor pattern implementations for traversal, size computation, and serialization.",
    sizeof(State),
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace kv::vis

PyMODINIT_FUNC PyInit_visitors(void) {
    return PyModuleDef_Init(&kv::vis::module_def);
}
