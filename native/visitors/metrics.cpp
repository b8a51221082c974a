// DepthVisitor, SizeVisitor and FreeVariableCollector.
//
// Each handler computes its value from the values that `visit` returns for
// the children, with Python's arithmetic and set operations (exact ints take
// a shortcut with the same result), and checks the declared result type.
#include "visitors/state.hpp"

#include <climits>

namespace kv::vis {

// ---------------------------------------------------------------- arithmetic

static bool small_int(PyObject* x, long long& out) {
    if (!PyLong_CheckExact(x)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(x, &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (overflow || v > LLONG_MAX / 4 || v < LLONG_MIN / 4) return false;
    out = v;
    return true;
}

// a + b (new reference).
static PyObject* add(PyObject* a, PyObject* b) {
    long long x, y;
    if (small_int(a, x) && small_int(b, y)) return check(PyLong_FromLongLong(x + y));
    return check(PyNumber_Add(a, b));
}

// max(a, b): `a` unless `b > a` (borrowed result).
static PyObject* max2(PyObject* a, PyObject* b) {
    long long x, y;
    if (small_int(a, x) && small_int(b, y)) return y > x ? b : a;
    return check_int(PyObject_RichCompareBool(b, a, Py_GT)) ? b : a;
}

static PyObject* as_int(PyObject* r) { return check_result(r, &PyLong_Type, "int"); }
static PyObject* as_set(PyObject* r) { return check_result(r, &PySet_Type, "set"); }

static PyObject* int_one(State*, PyObject*, PyObject*) { return PyLong_FromLong(1); }

// The arguments of an application (kind K), as a tuple.
template <int K>
static Ref app_args(State* st, PyObject* node) {
    Ref args = K == K_FUNCTION_APP ? field(st, node, K, st->api.s_args, offsetof(FunctionAppNode, args))
                                   : field(st, node, K, st->api.s_args, offsetof(PredicateAppNode, args));
    return args;
}

// Calls f(item) for each element of `seq`, in order.
template <class F>
static void for_each(PyObject* seq, F&& f) {
    if (PyTuple_CheckExact(seq)) {
        Ref keep = Ref::borrow(seq);
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(seq); i < n; ++i) f(PyTuple_GET_ITEM(seq, i));
        return;
    }
    Ref it = Ref::check(PyObject_GetIter(seq));
    while (PyObject* item = PyIter_Next(it.get())) {
        Ref own = Ref::steal(item);
        f(item);
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
}

// The operand-like children of the unary and binary kinds.
static Ref operand(State* st, PyObject* node) {
    return field(st, node, K_NOT, st->api.s_operand, offsetof(NotNode, operand));
}
static Ref left_of(State* st, PyObject* node, int k) {
    return k == K_EQUALITY ? field(st, node, k, st->api.s_left, offsetof(EqualityNode, left))
                           : field(st, node, k, st->api.s_left, offsetof(BinaryNode, left));
}
static Ref right_of(State* st, PyObject* node, int k) {
    return k == K_EQUALITY ? field(st, node, k, st->api.s_right, offsetof(EqualityNode, right))
                           : field(st, node, k, st->api.s_right, offsetof(BinaryNode, right));
}
static Ref body_of(State* st, PyObject* node, int k) {
    if (k == K_FORALL || k == K_EXISTS) return field(st, node, k, st->api.s_body, offsetof(QuantNode, body));
    return attr(node, st->api.s_body);
}
static Ref variable_of(State* st, PyObject* node, int k) {
    return field(st, node, k, st->api.s_variable, offsetof(QuantNode, variable));
}

static Ref visit(State* st, PyObject* self, PyObject* child) { return Ref::check(visit_child(st, self, child)); }

// ---------------------------------------------------------------- DepthVisitor

template <int K>
static PyObject* depth_app(State* st, PyObject* self, PyObject* node) {
    Ref args = app_args<K>(st, node);
    if (!check_int(PyObject_IsTrue(args.get()))) return PyLong_FromLong(1);
    Ref best;
    for_each(args.get(), [&](PyObject* a) {
        Ref d = visit(st, self, a);
        if (!best || max2(best.get(), d.get()) == d.get()) best = std::move(d);
    });
    if (!best) {  // a true but empty collection
        PyErr_SetString(PyExc_ValueError, "max() arg is an empty sequence");
        throw PyErrorSet{};
    }
    return as_int(add(st->one, best.get()));
}

template <int K>
static PyObject* depth_pair(State* st, PyObject* self, PyObject* node) {
    Ref l = visit(st, self, left_of(st, node, K).get());
    Ref r = visit(st, self, right_of(st, node, K).get());
    return as_int(add(st->one, max2(l.get(), r.get())));
}

static PyObject* depth_not(State* st, PyObject* self, PyObject* node) {
    Ref d = visit(st, self, operand(st, node).get());
    return as_int(add(st->one, d.get()));
}

template <int K>
static PyObject* depth_body(State* st, PyObject* self, PyObject* node) {
    Ref d = visit(st, self, body_of(st, node, K).get());
    return as_int(add(st->one, d.get()));
}

#define KV_DEPTH(NAME, FN) KV_HANDLER_DEF(NAME, "Returns the depth of the node.", FN, false)
const MethodDef kDepthMethods[] = {
    KV_DEPTH("visit_variable", int_one),
    KV_DEPTH("visit_constant", int_one),
    KV_DEPTH("visit_function_app", depth_app<K_FUNCTION_APP>),
    KV_DEPTH("visit_predicate_app", depth_app<K_PREDICATE_APP>),
    KV_DEPTH("visit_equality", depth_pair<K_EQUALITY>),
    KV_DEPTH("visit_not", depth_not),
    KV_DEPTH("visit_and", depth_pair<K_AND>),
    KV_DEPTH("visit_or", depth_pair<K_OR>),
    KV_DEPTH("visit_implies", depth_pair<K_IMPLIES>),
    KV_DEPTH("visit_iff", depth_pair<K_IFF>),
    KV_DEPTH("visit_forall", depth_body<K_FORALL>),
    KV_DEPTH("visit_exists", depth_body<K_EXISTS>),
    KV_DEPTH("visit_forall_pred", depth_body<R_FORALL_PRED>),
    KV_DEPTH("visit_exists_pred", depth_body<R_EXISTS_PRED>),
    KV_DEPTH("visit_forall_func", depth_body<R_FORALL_FUNC>),
    KV_DEPTH("visit_exists_func", depth_body<R_EXISTS_FUNC>),
};
const int kDepthMethodCount = sizeof(kDepthMethods) / sizeof(kDepthMethods[0]);

// ---------------------------------------------------------------- SizeVisitor

template <int K>
static PyObject* size_app(State* st, PyObject* self, PyObject* node) {
    Ref args = app_args<K>(st, node);
    Ref total = Ref::borrow(st->api.zero);
    for_each(args.get(), [&](PyObject* a) {
        Ref s = visit(st, self, a);
        total = Ref::steal(add(total.get(), s.get()));
    });
    return as_int(add(st->one, total.get()));
}

template <int K>
static PyObject* size_pair(State* st, PyObject* self, PyObject* node) {
    Ref l = visit(st, self, left_of(st, node, K).get());
    Ref t = Ref::steal(add(st->one, l.get()));
    Ref r = visit(st, self, right_of(st, node, K).get());
    return as_int(add(t.get(), r.get()));
}

static PyObject* size_not(State* st, PyObject* self, PyObject* node) {
    Ref s = visit(st, self, operand(st, node).get());
    return as_int(add(st->one, s.get()));
}

template <int K>
static PyObject* size_quant(State* st, PyObject* self, PyObject* node) {
    Ref v = visit(st, self, variable_of(st, node, K).get());
    Ref t = Ref::steal(add(st->one, v.get()));
    Ref b = visit(st, self, body_of(st, node, K).get());
    return as_int(add(t.get(), b.get()));
}

template <int R>
static PyObject* size_sol(State* st, PyObject* self, PyObject* node) {
    Ref b = visit(st, self, body_of(st, node, R).get());
    return as_int(add(st->one, b.get()));
}

#define KV_SIZE(NAME, FN) KV_HANDLER_DEF(NAME, "Returns the number of nodes of the node.", FN, false)
const MethodDef kSizeMethods[] = {
    KV_SIZE("visit_variable", int_one),
    KV_SIZE("visit_constant", int_one),
    KV_SIZE("visit_function_app", size_app<K_FUNCTION_APP>),
    KV_SIZE("visit_predicate_app", size_app<K_PREDICATE_APP>),
    KV_SIZE("visit_equality", size_pair<K_EQUALITY>),
    KV_SIZE("visit_not", size_not),
    KV_SIZE("visit_and", size_pair<K_AND>),
    KV_SIZE("visit_or", size_pair<K_OR>),
    KV_SIZE("visit_implies", size_pair<K_IMPLIES>),
    KV_SIZE("visit_iff", size_pair<K_IFF>),
    KV_SIZE("visit_forall", size_quant<K_FORALL>),
    KV_SIZE("visit_exists", size_quant<K_EXISTS>),
    KV_SIZE("visit_forall_pred", size_sol<R_FORALL_PRED>),
    KV_SIZE("visit_exists_pred", size_sol<R_EXISTS_PRED>),
    KV_SIZE("visit_forall_func", size_sol<R_FORALL_FUNC>),
    KV_SIZE("visit_exists_func", size_sol<R_EXISTS_FUNC>),
};
const int kSizeMethodCount = sizeof(kSizeMethods) / sizeof(kSizeMethods[0]);

// ---------------------------------------------------------------- FreeVariableCollector

// acc.update(items): any iterable of variables.
void set_update(PyObject* acc, PyObject* items) {
    if (PyAnySet_Check(items)) {
        Ref r = Ref::check(PyNumber_InPlaceOr(acc, items));
        return;
    }
    for_each(items, [&](PyObject* v) { check_int(PySet_Add(acc, v)); });
}

static PyObject* fv_variable(State*, PyObject*, PyObject* node) {
    Ref s = Ref::check(PySet_New(nullptr));
    check_int(PySet_Add(s.get(), node));
    return s.release();
}

static PyObject* fv_constant(State*, PyObject*, PyObject*) { return PySet_New(nullptr); }

template <int K>
static PyObject* fv_app(State* st, PyObject* self, PyObject* node) {
    Ref args = app_args<K>(st, node);
    Ref acc = Ref::check(PySet_New(nullptr));
    for_each(args.get(), [&](PyObject* a) {
        Ref s = visit(st, self, a);
        set_update(acc.get(), s.get());
    });
    return acc.release();
}

template <int K>
static PyObject* fv_pair(State* st, PyObject* self, PyObject* node) {
    Ref l = visit(st, self, left_of(st, node, K).get());
    Ref r = visit(st, self, right_of(st, node, K).get());
    return as_set(check(PyNumber_Or(l.get(), r.get())));
}

static PyObject* fv_not(State* st, PyObject* self, PyObject* node) {
    return as_set(visit(st, self, operand(st, node).get()).release());
}

template <int K>
static PyObject* fv_quant(State* st, PyObject* self, PyObject* node) {
    Ref b = visit(st, self, body_of(st, node, K).get());
    Ref var = variable_of(st, node, K);
    Ref bound = Ref::check(PySet_New(nullptr));
    check_int(PySet_Add(bound.get(), var.get()));
    return as_set(check(PyNumber_Subtract(b.get(), bound.get())));
}

template <int R>
static PyObject* fv_sol(State* st, PyObject* self, PyObject* node) {
    return as_set(visit(st, self, body_of(st, node, R).get()).release());
}

#define KV_FV(NAME, FN) KV_HANDLER_DEF(NAME, "Returns the free variables of the node.", FN, false)
const MethodDef kFreeVarMethods[] = {
    KV_FV("visit_variable", fv_variable),
    KV_FV("visit_constant", fv_constant),
    KV_FV("visit_function_app", fv_app<K_FUNCTION_APP>),
    KV_FV("visit_predicate_app", fv_app<K_PREDICATE_APP>),
    KV_FV("visit_equality", fv_pair<K_EQUALITY>),
    KV_FV("visit_not", fv_not),
    KV_FV("visit_and", fv_pair<K_AND>),
    KV_FV("visit_or", fv_pair<K_OR>),
    KV_FV("visit_implies", fv_pair<K_IMPLIES>),
    KV_FV("visit_iff", fv_pair<K_IFF>),
    KV_FV("visit_forall", fv_quant<K_FORALL>),
    KV_FV("visit_exists", fv_quant<K_EXISTS>),
    KV_FV("visit_forall_pred", fv_sol<R_FORALL_PRED>),
    KV_FV("visit_exists_pred", fv_sol<R_EXISTS_PRED>),
    KV_FV("visit_forall_func", fv_sol<R_FORALL_FUNC>),
    KV_FV("visit_exists_func", fv_sol<R_EXISTS_FUNC>),
};
const int kFreeVarMethodCount = sizeof(kFreeVarMethods) / sizeof(kFreeVarMethods[0]);

}  // namespace kv::vis
