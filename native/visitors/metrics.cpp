// DepthVisitor, SizeVisitor and FreeVariableCollector.
//
// Each handler computes its value from the values that `visit` returns for
// the children, with Python's arithmetic and set operations (exact ints take
// a shortcut with the same result), and checks the declared result type.
#include "visitors/state.hpp"


namespace kv::vis {

// ---------------------------------------------------------------- unboxed integers
//
// Depth and size values stay C integers while every value involved is an
// exact int: the arithmetic of exact ints is the same either way.  A value of
// any other type (from an overriding handler) switches to Python arithmetic
// with the same operands in the same order.

static void iv_set(IntVal& out, PyObject* v) {  // consumes v
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (n == -1 && PyErr_Occurred()) {
            Py_DECREF(v);
            throw PyErrorSet{};
        }
        if (!overflow) {
            Py_DECREF(v);
            out.n = n;
            out.obj.reset();
            return;
        }
    }
    out.obj = Ref::steal(v);
}

static PyObject* iv_box(const IntVal& v) {
    if (v.obj) return Py_NewRef(v.obj.get());
    return check(PyLong_FromLongLong(v.n));
}

// out = a + b
static void iv_add(const IntVal& a, const IntVal& b, IntVal& out) {
    long long r;
    if (!a.obj && !b.obj && !__builtin_add_overflow(a.n, b.n, &r)) {
        out.n = r;
        out.obj.reset();
        return;
    }
    Ref x = Ref::steal(iv_box(a));
    Ref y = Ref::steal(iv_box(b));
    iv_set(out, check(PyNumber_Add(x.get(), y.get())));
}

// out = 1 + a
static void iv_add_one(const IntVal& a, IntVal& out) {
    IntVal one;
    one.n = 1;
    iv_add(one, a, out);
}

// max(a, b): `a` unless `b > a`.
static const IntVal& iv_max(const IntVal& a, const IntVal& b) {
    if (!a.obj && !b.obj) return b.n > a.n ? b : a;
    Ref x = Ref::steal(iv_box(a));
    Ref y = Ref::steal(iv_box(b));
    return check_int(PyObject_RichCompareBool(y.get(), x.get(), Py_GT)) ? b : a;
}

// The declared result type int: exact int or None.
static void iv_check(IntVal& v) {
    if (v.obj) Py_DECREF(check_result(Py_NewRef(v.obj.get()), &PyLong_Type, "int"));
}

// self.visit(child) as an integer value.
static void iv_visit(State* st, PyObject* self, PyObject* child, IntVal& out) {
    Ref result;
    if (const MethodDef* h = resolve_child(st, self, child, result)) {
        VisitGuard guard;
        if (h->int_fn) {
            h->int_fn(st, self, child, out);
            return;
        }
        result = Ref::check(h->handler(st, self, child));
    }
    iv_set(out, result.release());
}

// The Python-visible form of an integer handler.
template <IntFn F>
static PyObject* boxed(State* st, PyObject* self, PyObject* node) {
    IntVal v;
    F(st, self, node, v);
    return iv_box(v);
}

// The declared result type is a set: any set, subclasses included, or None.
static PyObject* as_set(PyObject* r) {
    if (PySet_Check(r)) return r;
    return check_result(r, &PySet_Type, "set");
}

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

static void iv_one(State*, PyObject*, PyObject*, IntVal& out) {
    out.n = 1;
    out.obj.reset();
}

template <int K>
static void depth_app(State* st, PyObject* self, PyObject* node, IntVal& out) {
    Ref args = app_args<K>(st, node);
    if (!check_int(PyObject_IsTrue(args.get()))) return iv_one(st, self, node, out);
    // 1 + max(self.visit(a) for a in node.args)
    IntVal best, d;
    bool any = false;
    for_each(args.get(), [&](PyObject* a) {
        iv_visit(st, self, a, d);
        if (!any || &iv_max(best, d) == &d) {
            best.n = d.n;
            best.obj = std::move(d.obj);
        }
        any = true;
    });
    if (!any) {  // a true but empty collection
        PyErr_SetString(PyExc_ValueError, "max() arg is an empty sequence");
        throw PyErrorSet{};
    }
    iv_add_one(best, out);
    iv_check(out);
}

template <int K>
static void depth_pair(State* st, PyObject* self, PyObject* node, IntVal& out) {
    IntVal l, r;
    iv_visit(st, self, left_of(st, node, K).get(), l);
    iv_visit(st, self, right_of(st, node, K).get(), r);
    iv_add_one(iv_max(l, r), out);
    iv_check(out);
}

static void depth_not(State* st, PyObject* self, PyObject* node, IntVal& out) {
    IntVal d;
    iv_visit(st, self, operand(st, node).get(), d);
    iv_add_one(d, out);
    iv_check(out);
}

template <int K>
static void depth_body(State* st, PyObject* self, PyObject* node, IntVal& out) {
    IntVal d;
    iv_visit(st, self, body_of(st, node, K).get(), d);
    iv_add_one(d, out);
    iv_check(out);
}

#define KV_INT_DEF(NAME, DOC, FN)                                                                            \
    {NAME, DOC, "(self, node)", ROLE_HANDLER, false, 2, 2, {"self", "node"}, false, false, boxed<FN>, nullptr, \
     nullptr, FN}
#define KV_DEPTH(NAME, FN) KV_INT_DEF(NAME, "Returns the depth of the node.", FN)
const MethodDef kDepthMethods[] = {
    KV_DEPTH("visit_variable", iv_one),
    KV_DEPTH("visit_constant", iv_one),
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
static void size_app(State* st, PyObject* self, PyObject* node, IntVal& out) {
    Ref args = app_args<K>(st, node);
    // 1 + sum(self.visit(a) for a in node.args)
    IntVal total, s;
    for_each(args.get(), [&](PyObject* a) {
        iv_visit(st, self, a, s);
        IntVal next;
        iv_add(total, s, next);
        total.n = next.n;
        total.obj = std::move(next.obj);
    });
    iv_add_one(total, out);
    iv_check(out);
}

template <int K>
static void size_pair(State* st, PyObject* self, PyObject* node, IntVal& out) {
    // 1 + self.visit(left) + self.visit(right)
    IntVal l, t, r;
    iv_visit(st, self, left_of(st, node, K).get(), l);
    iv_add_one(l, t);
    iv_visit(st, self, right_of(st, node, K).get(), r);
    iv_add(t, r, out);
    iv_check(out);
}

static void size_not(State* st, PyObject* self, PyObject* node, IntVal& out) {
    IntVal s;
    iv_visit(st, self, operand(st, node).get(), s);
    iv_add_one(s, out);
    iv_check(out);
}

template <int K>
static void size_quant(State* st, PyObject* self, PyObject* node, IntVal& out) {
    // 1 + self.visit(variable) + self.visit(body)
    IntVal v, t, b;
    iv_visit(st, self, variable_of(st, node, K).get(), v);
    iv_add_one(v, t);
    iv_visit(st, self, body_of(st, node, K).get(), b);
    iv_add(t, b, out);
    iv_check(out);
}

template <int R>
static void size_sol(State* st, PyObject* self, PyObject* node, IntVal& out) {
    IntVal b;
    iv_visit(st, self, body_of(st, node, R).get(), b);
    iv_add_one(b, out);
    iv_check(out);
}

#define KV_SIZE(NAME, FN) KV_INT_DEF(NAME, "Returns the number of nodes of the node.", FN)
const MethodDef kSizeMethods[] = {
    KV_SIZE("visit_variable", iv_one),
    KV_SIZE("visit_constant", iv_one),
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

// A handler's new set is an object the collector tracks: a safe point follows.
static PyObject* fresh_set(Ref s) {
    safe_point();
    return s.release();
}

static PyObject* fv_variable(State*, PyObject*, PyObject* node) {
    Ref s = Ref::check(PySet_New(nullptr));
    check_int(PySet_Add(s.get(), node));
    return fresh_set(std::move(s));
}

static PyObject* fv_constant(State*, PyObject*, PyObject*) { return fresh_set(Ref::check(PySet_New(nullptr))); }

template <int K>
static PyObject* fv_app(State* st, PyObject* self, PyObject* node) {
    Ref args = app_args<K>(st, node);
    Ref acc = Ref::check(PySet_New(nullptr));
    for_each(args.get(), [&](PyObject* a) {
        Ref s = visit(st, self, a);
        set_update(acc.get(), s.get());
    });
    return fresh_set(std::move(acc));
}

template <int K>
static PyObject* fv_pair(State* st, PyObject* self, PyObject* node) {
    Ref l = visit(st, self, left_of(st, node, K).get());
    Ref r = visit(st, self, right_of(st, node, K).get());
    return fresh_set(Ref::steal(as_set(check(PyNumber_Or(l.get(), r.get())))));
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
    return fresh_set(Ref::steal(as_set(check(PyNumber_Subtract(b.get(), bound.get())))));
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

// ---------------------------------------------------------------- whole walks
//
// For a pristine visitor the walks below compute `visit` of a whole tree in
// C++.  They run no Python code: on anything that would need some (a node
// that is not an exact node class, an attribute behind a descriptor, a
// variable whose equality is not decided by its fields' identities) they
// give up before any Python code ran, and the caller starts over through
// dispatch, which then behaves exactly as it would have from the start.

namespace kv::vis {

static PyObject* app_args_of(PyObject* node, int k) {
    return k == K_FUNCTION_APP ? reinterpret_cast<FunctionAppNode*>(node)->args
                               : reinterpret_cast<PredicateAppNode*>(node)->args;
}

// Depth (Depth = true) or size of `node` into `out`; false to give up.
template <bool Depth>
static bool int_walk(State* st, PyObject* node, long long& out, long& left) {
    if (left-- <= 0) return false;
    struct Up {
        long& l;
        ~Up() { ++l; }
    } up{left};
    int row = node_row(st, node);
    long long a, b;
    switch (row) {
        case K_VARIABLE:
        case K_CONSTANT: out = 1; return true;
        case K_FUNCTION_APP:
        case K_PREDICATE_APP: {
            PyObject* args = app_args_of(node, row);
            if (!PyTuple_CheckExact(args)) return false;
            long long acc = 0;
            for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args); i < n; ++i) {
                if (!int_walk<Depth>(st, PyTuple_GET_ITEM(args, i), a, left)) return false;
                acc = Depth ? (a > acc ? a : acc) : acc + a;
            }
            out = 1 + acc;
            return true;
        }
        case K_EQUALITY:
            if (!int_walk<Depth>(st, reinterpret_cast<EqualityNode*>(node)->left, a, left) ||
                !int_walk<Depth>(st, reinterpret_cast<EqualityNode*>(node)->right, b, left))
                return false;
            out = Depth ? 1 + (b > a ? b : a) : 1 + a + b;
            return true;
        case K_NOT:
            if (!int_walk<Depth>(st, reinterpret_cast<NotNode*>(node)->operand, a, left)) return false;
            out = 1 + a;
            return true;
        case K_AND:
        case K_OR:
        case K_IMPLIES:
        case K_IFF:
            if (!int_walk<Depth>(st, reinterpret_cast<BinaryNode*>(node)->left, a, left) ||
                !int_walk<Depth>(st, reinterpret_cast<BinaryNode*>(node)->right, b, left))
                return false;
            out = Depth ? 1 + (b > a ? b : a) : 1 + a + b;
            return true;
        case K_FORALL:
        case K_EXISTS: {
            QuantNode* q = reinterpret_cast<QuantNode*>(node);
            // The size visits the bound variable; the depth does not.
            if (!Depth && !int_walk<Depth>(st, q->variable, a, left)) return false;
            if (!int_walk<Depth>(st, q->body, b, left)) return false;
            out = Depth ? 1 + b : 1 + a + b;
            return true;
        }
        case R_FORALL_PRED:
        case R_EXISTS_PRED:
        case R_FORALL_FUNC:
        case R_EXISTS_FUNC: {
            Ref body = quiet_attr(node, st->api.s_body);
            if (!body || !int_walk<Depth>(st, body.get(), b, left)) return false;
            out = 1 + b;
            return true;
        }
        default: return false;
    }
}

template <bool Depth>
static PyObject* int_walk_top(State* st, PyObject* self, PyObject* node) {
    Pristine p;
    if (!p.begin(st, self, Depth ? FAM_DEPTH : FAM_SIZE)) return nullptr;
    long long n;
    long left = walk_depth_limit();
    if (!int_walk<Depth>(st, node, n, left)) return nullptr;
    ++st->whole_walks;
    return check(PyLong_FromLongLong(n));
}

bool tree_within(State* st, PyObject* node, long limit) {
    long long n;
    return int_walk<true>(st, node, n, limit);
}

PyObject* depth_walk(State* st, PyObject* self, PyObject* node) { return int_walk_top<true>(st, self, node); }
PyObject* size_walk(State* st, PyObject* self, PyObject* node) { return int_walk_top<false>(st, self, node); }

// The base transformer returns every node of a tree of exact nodes as it is
// (each handler returns its node when its children came back unchanged), so
// its whole walk only has to see that the tree is one: the nodes the size
// walk accepts are exactly those the per-node walk visits, the quantifiers'
// variables included.
PyObject* transformer_walk(State* st, PyObject* self, PyObject* node) {
    Pristine p;
    if (!p.begin(st, self, FAM_TRANSFORMER)) return nullptr;
    long long n;
    long left = walk_depth_limit();
    if (!int_walk<false>(st, node, n, left)) return nullptr;
    ++st->whole_walks;
    return Py_NewRef(node);
}

// Free variables: one accumulating set for the whole tree instead of a set
// per node, and the variables bound by the enclosing quantifiers on a stack.
// A variable occurrence is collected when it equals none of them; that is
// the value the per-node sets give (a quantifier takes its variable out of
// its body's set), and as there, the first free occurrence in traversal
// order is the one the result holds.  Atoms and applications contribute the
// free variables cached on them once their terms are known to be exact nodes.
class FreeVarsWalk {
public:
    FreeVarsWalk(State* st, PyObject* acc) : st_(st), acc_(acc), left_(walk_depth_limit()) {}

    bool walk(PyObject* node) {
        Level level(left_);
        if (!level) return false;
        int row = node_row(st_, node);
        switch (row) {
            case K_VARIABLE: return add(node);
            case K_CONSTANT: return true;
            case K_FUNCTION_APP:
            case K_PREDICATE_APP:
            case K_EQUALITY: return terms_exact(node, row) && add_cached(node, row);
            case K_NOT: return walk(reinterpret_cast<NotNode*>(node)->operand);
            case K_AND:
            case K_OR:
            case K_IMPLIES:
            case K_IFF:
                return walk(reinterpret_cast<BinaryNode*>(node)->left) &&
                       walk(reinterpret_cast<BinaryNode*>(node)->right);
            case K_FORALL:
            case K_EXISTS: {
                QuantNode* q = reinterpret_cast<QuantNode*>(node);
                if (!plain_variable(q->variable)) return false;
                bound_.emplace_back(q->variable);
                bool ok = walk(q->body);
                bound_.pop_back();
                return ok;
            }
            case R_FORALL_PRED:
            case R_EXISTS_PRED:
            case R_FORALL_FUNC:
            case R_EXISTS_FUNC: {
                Ref body = quiet_attr(node, st_->api.s_body);
                return body && walk(body.get());
            }
            default: return false;
        }
    }

private:
    // An exact Variable whose hash and equality need no Python code.
    bool plain_variable(PyObject* v) const {
        return st_->api.exact_kind(v) == K_VARIABLE && (reinterpret_cast<Node*>(v)->flags & NF_HASH_CACHED);
    }
    // Whether every term below the atom or application `node` is an exact
    // Variable, Constant or FunctionApp (what the per-node walk would accept).
    bool terms_exact(PyObject* node, int k) {
        if (k == K_EQUALITY) {
            EqualityNode* e = reinterpret_cast<EqualityNode*>(node);
            return term_exact(e->left) && term_exact(e->right);
        }
        PyObject* args = app_args_of(node, k);
        if (!PyTuple_CheckExact(args)) return false;
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args); i < n; ++i)
            if (!term_exact(PyTuple_GET_ITEM(args, i))) return false;
        return true;
    }
    bool term_exact(PyObject* t) {
        // A leaf is a level of the per-node walk too.
        switch (st_->api.exact_kind(t)) {
            case K_VARIABLE: return left_ > 0 && plain_variable(t);
            case K_CONSTANT: return left_ > 0;
            case K_FUNCTION_APP: {
                Level level(left_);
                return level && terms_exact(t, K_FUNCTION_APP);
            }
            default: return false;
        }
    }
    // One level of the walk, within the depth allowed.
    class Level {
    public:
        explicit Level(long& left) : left_(left) { --left_; }
        ~Level() { ++left_; }
        explicit operator bool() const { return left_ >= 0; }

    private:
        long& left_;
    };
    // 1 when `v` equals a bound variable, 0 when it equals none, -1 when
    // that cannot be told without Python code.
    int is_bound(PyObject* v) const {
        for (size_t i = bound_.size(); i-- > 0;) {
            PyObject* b = const_cast<SmallStack<PyObject*, 16>&>(bound_)[i];
            if (b == v) return 1;
            if (reinterpret_cast<HashedNode*>(b)->hash != reinterpret_cast<HashedNode*>(v)->hash) continue;
            VariableNode* x = reinterpret_cast<VariableNode*>(b);
            VariableNode* y = reinterpret_cast<VariableNode*>(v);
            if (x->sort != y->sort || x->vkind != y->vkind) return -1;
            int eq = PyObject_RichCompareBool(x->id, y->id, Py_EQ);  // exact ints
            if (eq < 0) throw PyErrorSet{};
            if (eq) return 1;
        }
        return 0;
    }
    bool add(PyObject* v) {
        if (!plain_variable(v)) return false;
        int b = is_bound(v);
        if (b < 0) return false;
        if (!b) check_int(PySet_Add(acc_, v));
        return true;
    }
    bool add_cached(PyObject* node, int k) {
        PyObject* fv = free_vars_cache(node, k);
        if (free_vars_single(node)) return add(fv);
        if (bound_.empty()) {
            set_merge(acc_, fv);
            return true;
        }
        return add_terms(node, k);
    }
    // Under a binder, the variable occurrences of an atom or application
    // whose terms are known to be exact nodes, read off its terms in
    // traversal order: the same additions as its cached set's elements (each
    // the first occurrence of its variable there, added only if free), with
    // no iterator to allocate.
    bool add_terms(PyObject* node, int k) {
        if (k == K_EQUALITY) {
            EqualityNode* e = reinterpret_cast<EqualityNode*>(node);
            return add_term(e->left) && add_term(e->right);
        }
        PyObject* args = app_args_of(node, k);
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args); i < n; ++i)
            if (!add_term(PyTuple_GET_ITEM(args, i))) return false;
        return true;
    }
    bool add_term(PyObject* t) {
        switch (st_->api.exact_kind(t)) {
            case K_VARIABLE: return add(t);
            case K_FUNCTION_APP: return add_terms(t, K_FUNCTION_APP);
            default: return true;  // a constant (terms_exact admitted nothing else)
        }
    }

    State* st_;
    PyObject* acc_;
    long left_;
    SmallStack<PyObject*, 16> bound_;
};

PyObject* free_vars_walk(State* st, PyObject* self, PyObject* node) {
    Ref acc = Ref::check(PySet_New(nullptr));  // before the snapshot: allocating may run a finaliser
    Pristine p;
    if (!p.begin(st, self, FAM_FREE_VARS)) return nullptr;
    if (!FreeVarsWalk(st, acc.get()).walk(node)) return nullptr;
    ++st->whole_walks;
    return acc.release();
}

}  // namespace kv::vis
