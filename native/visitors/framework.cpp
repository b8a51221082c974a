// Dispatch (ASTVisitor.visit and the shortcuts the built-in handlers take to
// reach their children), the shared helpers of the handlers, and the method
// tables of ASTVisitor and ASTTransformer.
//
// Python semantics are the reference: visit reads `_dispatch_table` through
// the visitor, looks up the node's exact class, then binds the handler by name
// and calls it.  Where ordinary attribute lookup would land on one of our own
// descriptors (no override in the class chain, nothing in the instance
// __dict__, no custom __getattribute__), the bound method is skipped and the
// C++ handler is called directly: the outcome is the same, minus the bound
// method and the argument tuple.
#include "visitors/state.hpp"

#include <cstdint>

namespace kv::vis {

// ---------------------------------------------------------------- depth limits

// The most C stack one level of dispatch takes, with a wide margin (the
// visitor tests measure the real figure against it).
#if defined(__SANITIZE_ADDRESS__)
static constexpr uintptr_t kDispatchFrameBound = 16384;
#else
static constexpr uintptr_t kDispatchFrameBound = 2048;
#endif

long walk_depth_limit() {
    long budget = recursion_budget();
    char probe;
    uintptr_t here = reinterpret_cast<uintptr_t>(&probe);
    uintptr_t floor = stack_floor();
    long stack = here > floor ? static_cast<long>((here - floor) / kDispatchFrameBound) : 0;
    return budget < stack ? budget : stack;
}

// ---------------------------------------------------------------- helpers

Ref attr(PyObject* o, PyObject* name) { return Ref::check(PyObject_GetAttr(o, name)); }

PyObject* global(State* st, int g) {
    PyObject* name = st->global_names[g];
    PyObject* v = PyDict_GetItemWithError(st->module_dict, name);
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw PyErrorSet{};
    }
    return v;
}

bool is_instance_of_global(State* st, PyObject* obj, int g) {
    PyObject* cls = global(st, g);
    Py_INCREF(cls);
    int r = PyObject_IsInstance(obj, cls);
    Py_DECREF(cls);
    return check_int(r) != 0;
}

// sys.flags.optimize is fixed at startup; read once when the module loads.
bool g_assertions = true;

void read_assertion_flag() {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (!flags) return;
    Ref opt = Ref::check(PyObject_GetAttrString(flags, "optimize"));
    long level = PyLong_AsLong(opt.get());
    if (level == -1 && PyErr_Occurred()) throw PyErrorSet{};
    g_assertions = level == 0;
}

[[noreturn]] void raise_assertion() {
    PyErr_SetNone(PyExc_AssertionError);
    throw PyErrorSet{};
}

PyObject* check_result(PyObject* r, PyTypeObject* tp, const char* name) {
    if (Py_IS_TYPE(r, tp) || r == Py_None) return r;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", name, Py_TYPE(r)->tp_name);
    Py_DECREF(r);
    throw PyErrorSet{};
}

// ---------------------------------------------------------------- ASTVisitor

static PyObject* visitor_init_subclass(State* st, PyObject** argv, PyObject* kwargs) {
    PyObject* cls = argv[0];
    // The parent hook first, with the keyword arguments unchanged.
    Ref sup = Ref::check(PyObject_CallFunctionObjArgs(st->super_type, st->ast_visitor, cls, nullptr));
    Ref parent = attr(sup.get(), st->s_init_subclass);
    Ref empty = Ref::check(PyTuple_New(0));
    Ref r = Ref::check(PyObject_Call(parent.get(), empty.get(), kwargs));
    // Then a fresh table of the sixteen rows, with the classes as the module
    // names them now.
    Ref table = Ref::check(PyDict_New());
    for (int row = 0; row < R_COUNT; ++row) {
        PyObject* node_cls = global(st, row);
        Py_INCREF(node_cls);
        int rc = PyDict_SetItem(table.get(), node_cls, st->handler_names[row]);
        Py_DECREF(node_cls);
        check_int(rc);
    }
    check_int(PyObject_SetAttr(cls, st->s_dispatch_table, table.get()));
    Py_RETURN_NONE;
}

static PyObject* abstract_handler(State*, PyObject*, PyObject*) { Py_RETURN_NONE; }

static PyObject* not_implemented_handler(State*, PyObject*, PyObject*) {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw PyErrorSet{};
}

const MethodDef kVisitorMethods[] = {
    {"__init_subclass__",
     "Installs a fresh dispatch table of the sixteen node classes on every subclass, after passing the keyword "
     "arguments of the class declaration on to the parent hook.",
     "(cls, **kwargs)", ROLE_OTHER, false, 1, 1, {"cls"}, true, true, nullptr, visitor_init_subclass, nullptr,
     nullptr},
    {"visit",
     "Routes `node` to the handler named for its exact class in `_dispatch_table` and returns the handler's "
     "result; any other object raises TypeError.",
     "(self, node)", ROLE_VISIT, false, 2, 2, {"self", "node"}, false, false, dispatch, nullptr, nullptr, nullptr},
    KV_HANDLER_DEF("visit_variable", "Handles a Variable.", abstract_handler, true),
    KV_HANDLER_DEF("visit_constant", "Handles a Constant.", abstract_handler, true),
    KV_HANDLER_DEF("visit_function_app", "Handles a FunctionApp.", abstract_handler, true),
    KV_HANDLER_DEF("visit_predicate_app", "Handles a PredicateApp.", abstract_handler, true),
    KV_HANDLER_DEF("visit_equality", "Handles an Equality.", abstract_handler, true),
    KV_HANDLER_DEF("visit_not", "Handles a Not.", abstract_handler, true),
    KV_HANDLER_DEF("visit_and", "Handles an And.", abstract_handler, true),
    KV_HANDLER_DEF("visit_or", "Handles an Or.", abstract_handler, true),
    KV_HANDLER_DEF("visit_implies", "Handles an Implies.", abstract_handler, true),
    KV_HANDLER_DEF("visit_iff", "Handles an Iff.", abstract_handler, true),
    KV_HANDLER_DEF("visit_forall", "Handles a Forall.", abstract_handler, true),
    KV_HANDLER_DEF("visit_exists", "Handles an Exists.", abstract_handler, true),
    KV_HANDLER_DEF("visit_forall_pred", "Handles a ForallPred; raises NotImplementedError unless overridden.",
                   not_implemented_handler, false),
    KV_HANDLER_DEF("visit_exists_pred", "Handles an ExistsPred; raises NotImplementedError unless overridden.",
                   not_implemented_handler, false),
    KV_HANDLER_DEF("visit_forall_func", "Handles a ForallFunc; raises NotImplementedError unless overridden.",
                   not_implemented_handler, false),
    KV_HANDLER_DEF("visit_exists_func", "Handles an ExistsFunc; raises NotImplementedError unless overridden.",
                   not_implemented_handler, false),
};
const int kVisitorMethodCount = sizeof(kVisitorMethods) / sizeof(kVisitorMethods[0]);

// ---------------------------------------------------------------- ASTTransformer

// Builds a node of the class the module names for `row`, passing the fields
// by keyword: straight through the shared constructors while the name still
// denotes the class loaded from kelvara.core.ast, by a call otherwise.
static PyObject* construct_node(State* st, int row, std::initializer_list<const char*> names,
                                std::initializer_list<PyObject*> values) {
    PyObject* cls = global(st, row);
    const AstApi& api = st->api;
    PyObject* const* v = values.begin();
    if (row < K_COUNT && cls == reinterpret_cast<PyObject*>(api.types[row])) {
        switch (row) {
            case K_VARIABLE: return make_variable(api, nullptr, v[0], v[2], v[1]);  // id, sort, kind
            case K_FUNCTION_APP: return make_function_app(api, nullptr, v[0], v[1], v[2], v[3]);
            case K_PREDICATE_APP: return make_predicate_app(api, nullptr, v[0], v[1], v[2]);
            case K_EQUALITY: return make_equality(api, nullptr, v[0], v[1]);
            case K_NOT: return make_not(api, nullptr, v[0]);
            case K_AND:
            case K_OR:
            case K_IMPLIES:
            case K_IFF: return make_binary(api, row, nullptr, v[0], v[1]);
            case K_FORALL:
            case K_EXISTS: return make_quant(api, row, nullptr, v[0], v[1]);
            default: break;
        }
    }
    Py_ssize_t n = static_cast<Py_ssize_t>(names.size());
    Ref kwnames = Ref::check(PyTuple_New(n));
    PyObject* stack[4];
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyTuple_SET_ITEM(kwnames.get(), i, check(PyUnicode_InternFromString(name)));
        stack[i] = v[i];
        ++i;
    }
    Ref keep = Ref::borrow(cls);
    return check(PyObject_Vectorcall(cls, stack, 0, kwnames.get()));
}

// A new node is a new object the collector tracks: a safe point follows.
PyObject* construct(State* st, int row, std::initializer_list<const char*> names,
                    std::initializer_list<PyObject*> values) {
    Ref node = Ref::steal(construct_node(st, row, names, values));
    if (!node) return nullptr;
    safe_point();
    return node.release();
}

static PyObject* tr_leaf(State*, PyObject*, PyObject* node) { return Py_NewRef(node); }

// FunctionApp and PredicateApp: rebuilt arguments, identity test, then the
// arguments that are terms go into a node with the copied fields.
template <int K>
static PyObject* tr_app(State* st, PyObject* self, PyObject* node) {
    const AstApi& api = st->api;
    Ref args = K == K_FUNCTION_APP ? field(st, node, K, api.s_args, offsetof(FunctionAppNode, args))
                                   : field(st, node, K, api.s_args, offsetof(PredicateAppNode, args));
    Ref seq = PyTuple_CheckExact(args.get()) ? Ref::borrow(args.get()) : Ref::check(PySequence_Tuple(args.get()));
    Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    Ref out = Ref::check(PyTuple_New(n));
    bool same = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* a = PyTuple_GET_ITEM(seq.get(), i);
        PyObject* r = visit_child(st, self, a);
        if (r != a) same = false;
        PyTuple_SET_ITEM(out.get(), i, r);
    }
    if (same) return Py_NewRef(node);
    Py_ssize_t kept = 0;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (is_instance_of_global(st, PyTuple_GET_ITEM(out.get(), i), G_TERM)) ++kept;
    Ref filtered;
    if (kept == n) {
        filtered = std::move(out);
    } else {
        filtered = Ref::check(PyTuple_New(kept));
        for (Py_ssize_t i = 0, j = 0; i < n; ++i) {
            PyObject* a = PyTuple_GET_ITEM(out.get(), i);
            if (is_instance_of_global(st, a, G_TERM)) PyTuple_SET_ITEM(filtered.get(), j++, Py_NewRef(a));
        }
    }
    if constexpr (K == K_FUNCTION_APP) {
        Ref func = field(st, node, K, api.s_func, offsetof(FunctionAppNode, func));
        Ref arity = field(st, node, K, api.s_arity, offsetof(FunctionAppNode, arity));
        Ref ret = field(st, node, K, api.s_return_sort, offsetof(FunctionAppNode, return_sort));
        return construct(st, K, {"func", "arity", "args", "return_sort"},
                         {func.get(), arity.get(), filtered.get(), ret.get()});
    } else {
        Ref pred = field(st, node, K, api.s_pred, offsetof(PredicateAppNode, pred));
        Ref arity = field(st, node, K, api.s_arity, offsetof(PredicateAppNode, arity));
        return construct(st, K, {"pred", "arity", "args"}, {pred.get(), arity.get(), filtered.get()});
    }
}

static PyObject* tr_equality(State* st, PyObject* self, PyObject* node) {
    const AstApi& api = st->api;
    Ref left = field(st, node, K_EQUALITY, api.s_left, offsetof(EqualityNode, left));
    Ref right = field(st, node, K_EQUALITY, api.s_right, offsetof(EqualityNode, right));
    Ref l = Ref::check(visit_child(st, self, left.get()));
    Ref r = Ref::check(visit_child(st, self, right.get()));
    if (l.get() == left.get() && r.get() == right.get()) return Py_NewRef(node);
    if (assertions_enabled() &&
        !(is_instance_of_global(st, l.get(), G_TERM) && is_instance_of_global(st, r.get(), G_TERM)))
        raise_assertion();
    return construct(st, K_EQUALITY, {"left", "right"}, {l.get(), r.get()});
}

static PyObject* tr_not(State* st, PyObject* self, PyObject* node) {
    Ref operand = field(st, node, K_NOT, st->api.s_operand, offsetof(NotNode, operand));
    Ref o = Ref::check(visit_child(st, self, operand.get()));
    if (o.get() == operand.get()) return Py_NewRef(node);
    if (assertions_enabled() && !is_instance_of_global(st, o.get(), G_FORMULA)) raise_assertion();
    return construct(st, K_NOT, {"operand"}, {o.get()});
}

template <int K>
static PyObject* tr_binary(State* st, PyObject* self, PyObject* node) {
    const AstApi& api = st->api;
    Ref left = field(st, node, K, api.s_left, offsetof(BinaryNode, left));
    Ref right = field(st, node, K, api.s_right, offsetof(BinaryNode, right));
    Ref l = Ref::check(visit_child(st, self, left.get()));
    Ref r = Ref::check(visit_child(st, self, right.get()));
    if (l.get() == left.get() && r.get() == right.get()) return Py_NewRef(node);
    if (assertions_enabled() &&
        !(is_instance_of_global(st, l.get(), G_FORMULA) && is_instance_of_global(st, r.get(), G_FORMULA)))
        raise_assertion();
    return construct(st, K, {"left", "right"}, {l.get(), r.get()});
}

template <int K>
static PyObject* tr_quant(State* st, PyObject* self, PyObject* node) {
    const AstApi& api = st->api;
    Ref var = field(st, node, K, api.s_variable, offsetof(QuantNode, variable));
    Ref body = field(st, node, K, api.s_body, offsetof(QuantNode, body));
    Ref v = Ref::check(visit_child(st, self, var.get()));
    Ref b = Ref::check(visit_child(st, self, body.get()));
    if (v.get() == var.get() && b.get() == body.get()) return Py_NewRef(node);
    if (assertions_enabled() &&
        !(is_instance_of_global(st, v.get(), K_VARIABLE) && is_instance_of_global(st, b.get(), G_FORMULA)))
        raise_assertion();
    return construct(st, K, {"variable", "body"}, {v.get(), b.get()});
}

// The second-order quantifiers: only the body is visited; the bound predicate
// or function variable is carried over as it is.
template <int R>
static PyObject* tr_sol(State* st, PyObject* self, PyObject* node) {
    Ref body = attr(node, st->api.s_body);
    Ref b = Ref::check(visit_child(st, self, body.get()));
    if (b.get() == body.get()) return Py_NewRef(node);
    if (assertions_enabled() && !is_instance_of_global(st, b.get(), G_FORMULA)) raise_assertion();
    Ref var = attr(node, st->api.s_variable);
    return construct(st, R, {"variable", "body"}, {var.get(), b.get()});
}

const MethodDef kTransformerMethods[] = {
    KV_HANDLER_DEF("visit_variable", "Returns the variable itself.", tr_leaf, false),
    KV_HANDLER_DEF("visit_constant", "Returns the constant itself.", tr_leaf, false),
    KV_HANDLER_DEF("visit_function_app",
                   "Rebuilds the application from its visited arguments, or returns it when none changed.",
                   tr_app<K_FUNCTION_APP>, false),
    KV_HANDLER_DEF("visit_predicate_app",
                   "Rebuilds the application from its visited arguments, or returns it when none changed.",
                   tr_app<K_PREDICATE_APP>, false),
    KV_HANDLER_DEF("visit_equality", "Rebuilds the equality from its visited sides, or returns it unchanged.",
                   tr_equality, false),
    KV_HANDLER_DEF("visit_not", "Rebuilds the negation from its visited operand, or returns it unchanged.", tr_not,
                   false),
    KV_HANDLER_DEF("visit_and", "Rebuilds the conjunction from its visited sides, or returns it unchanged.",
                   tr_binary<K_AND>, false),
    KV_HANDLER_DEF("visit_or", "Rebuilds the disjunction from its visited sides, or returns it unchanged.",
                   tr_binary<K_OR>, false),
    KV_HANDLER_DEF("visit_implies", "Rebuilds the implication from its visited sides, or returns it unchanged.",
                   tr_binary<K_IMPLIES>, false),
    KV_HANDLER_DEF("visit_iff", "Rebuilds the equivalence from its visited sides, or returns it unchanged.",
                   tr_binary<K_IFF>, false),
    KV_HANDLER_DEF("visit_forall",
                   "Rebuilds the quantifier from its visited variable and body, or returns it unchanged.",
                   tr_quant<K_FORALL>, false),
    KV_HANDLER_DEF("visit_exists",
                   "Rebuilds the quantifier from its visited variable and body, or returns it unchanged.",
                   tr_quant<K_EXISTS>, false),
    KV_HANDLER_DEF("visit_forall_pred", "Rebuilds the quantifier from its visited body, or returns it unchanged.",
                   tr_sol<R_FORALL_PRED>, false),
    KV_HANDLER_DEF("visit_exists_pred", "Rebuilds the quantifier from its visited body, or returns it unchanged.",
                   tr_sol<R_EXISTS_PRED>, false),
    KV_HANDLER_DEF("visit_forall_func", "Rebuilds the quantifier from its visited body, or returns it unchanged.",
                   tr_sol<R_FORALL_FUNC>, false),
    KV_HANDLER_DEF("visit_exists_func", "Rebuilds the quantifier from its visited body, or returns it unchanged.",
                   tr_sol<R_EXISTS_FUNC>, false),
};
const int kTransformerMethodCount = sizeof(kTransformerMethods) / sizeof(kTransformerMethods[0]);

}  // namespace kv::vis
