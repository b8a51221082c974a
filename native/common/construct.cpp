// Node construction: validation, the cached hash and free variables of a
// new node, and whether the cycle collector must track it.  Linked into
// every extension module.
#include "common/free_var_builder.hpp"
#include "common/node_hashing.hpp"
#include "common/nodes.hpp"

#include <cstring>

namespace kv {

// ---------------------------------------------------------------- GC policy
//
// A node is left untracked by the cycle collector when none of its fields can
// lead back to it: strings, numbers, None, the interned sorts, the members of
// VariableKind, tuples of such values and untracked nodes.  Nodes are immutable
// and their children exist before them, so a cycle always passes through some
// other, mutable object; a node whose fields are all of the kinds above cannot
// be on one.  Building millions of untracked nodes costs no collections.

static bool gc_safe(const AstApi& api, PyObject* o, int depth = 0) {
    PyTypeObject* tp = Py_TYPE(o);
    if (tp->tp_dealloc == api.node_dealloc) {
        Node* n = reinterpret_cast<Node*>(o);
        // The flag is set on variables with immutable fields and on the other
        // exact nodes left untracked; instances of subclasses are tracked.
        if (n->kind == K_VARIABLE || tp == api.types[n->kind]) return n->flags & NF_GC_SAFE;
        return false;
    }
    if (tp == &PyUnicode_Type || tp == &PyLong_Type) return true;
    if (o == api.vk_individual || o == api.vk_predicate || o == api.vk_function) return true;
    if (o == Py_None || tp == &PyBool_Type || tp == &PyFloat_Type || tp == &PyFrozenSet_Type) return true;
    if (tp == &PyTuple_Type) {
        if (depth > 2) return false;
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(o); i < n; ++i)
            if (!gc_safe(api, PyTuple_GET_ITEM(o, i), depth + 1)) return false;
        return true;
    }
    PyObject* st = api.sort_types;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(st); ++i)
        if (reinterpret_cast<PyObject*>(tp) == PyTuple_GET_ITEM(st, i)) return true;
    return false;
}

// Zeroes everything after the object header of a new exact node of kind k,
// with the size known at compile time for each layout.
template <class T>
static inline void zero_body(PyObject* o) {
    std::memset(reinterpret_cast<char*>(o) + sizeof(PyObject), 0, sizeof(T) - sizeof(PyObject));
}
static inline void zero_node(PyObject* o, int k) {
    switch (k) {
        case K_VARIABLE: zero_body<VariableNode>(o); break;
        case K_CONSTANT: zero_body<ConstantNode>(o); break;
        case K_FUNCTION_APP: zero_body<FunctionAppNode>(o); break;
        case K_PREDICATE_APP: zero_body<PredicateAppNode>(o); break;
        case K_EQUALITY: zero_body<EqualityNode>(o); break;
        case K_NOT: zero_body<NotNode>(o); break;
        default: zero_body<BinaryNode>(o); break;  // connectives and quantifiers
    }
}

// Allocates a node of kind k for `type` (nullptr: the exact class).  Fields
// are zeroed; the caller fills them, then calls finish_node.
static inline PyObject* alloc_node(const AstApi& api, int k, PyTypeObject* type) {
    PyObject* o;
    if (!type || type == api.types[k]) {
        if ((o = pop_pooled(api, k))) {
            zero_node(o, k);
            reinterpret_cast<Node*>(o)->kind = static_cast<uint8_t>(k);
            return o;
        }
    }
    if ((!type || type == api.types[k]) && k == K_VARIABLE) {
        o = reinterpret_cast<PyObject*>(PyObject_New(PyObject, api.types[k]));
        if (!o) throw PyErrorSet{};
        zero_node(o, k);
    } else if (!type || type == api.types[k]) {
        o = reinterpret_cast<PyObject*>(PyObject_GC_New(PyObject, api.types[k]));
        if (!o) throw PyErrorSet{};
        zero_node(o, k);
    } else {
        o = type->tp_alloc(type, 0);
        if (!o) throw PyErrorSet{};
    }
    reinterpret_cast<Node*>(o)->kind = static_cast<uint8_t>(k);
    return o;
}

// gc_safe for a field holding a node, settled in place for exact nodes.
static inline bool child_gc_safe(const AstApi& api, PyObject* o) {
    if (Py_TYPE(o)->tp_dealloc == api.node_dealloc) {
        Node* n = reinterpret_cast<Node*>(o);
        if (n->kind == K_VARIABLE || Py_TYPE(o) == api.types[n->kind]) return n->flags & NF_GC_SAFE;
        return false;
    }
    return gc_safe(api, o);
}

// gc_safe for the other fields: strings, ints, the free-variable cache.
static inline bool value_gc_safe(const AstApi& api, PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    if (tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyFrozenSet_Type) return true;
    return gc_safe(api, o);
}

// The free-variable cache: a frozenset, a single Variable or a few (a tuple of them).
static inline bool child_or_value_gc_safe(const AstApi& api, PyObject* o) {
    if (Py_TYPE(o) == &PyFrozenSet_Type) return true;
    return child_gc_safe(api, o);
}

static inline bool args_gc_safe(const AstApi& api, PyObject* args) {
    if (Py_TYPE(args) != &PyTuple_Type) return gc_safe(api, args);
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args); i < n; ++i)
        if (!child_gc_safe(api, PyTuple_GET_ITEM(args, i))) return false;
    return true;
}

// ---------------------------------------------------------------- plain subtrees

// Whether child `c` is flagged NF_PLAIN (and a Variable when `var`), raising `h` to its height.
static inline bool plain_child(const AstApi& api, PyObject* c, unsigned& h, bool var = false) {
    unsigned ch = plain_height(api, c);
    if (!ch || (var && reinterpret_cast<Node*>(c)->kind != K_VARIABLE)) return false;
    if (ch > h) h = ch;
    return true;
}

static inline bool plain_args(const AstApi& api, PyObject* args, unsigned& h) {
    if (!PyTuple_CheckExact(args)) return false;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args); i < n; ++i)
        if (!plain_child(api, PyTuple_GET_ITEM(args, i), h)) return false;
    return true;
}

// Flags a new exact node of kind k (not a Variable) NF_PLAIN when its children are.
static void mark_plain(const AstApi& api, PyObject* o, int k) {
    unsigned h = 0;
    bool plain;
    switch (k) {
        case K_CONSTANT: plain = true; break;
        case K_FUNCTION_APP: plain = plain_args(api, reinterpret_cast<FunctionAppNode*>(o)->args, h); break;
        case K_PREDICATE_APP: plain = plain_args(api, reinterpret_cast<PredicateAppNode*>(o)->args, h); break;
        case K_EQUALITY: {
            EqualityNode* e = reinterpret_cast<EqualityNode*>(o);
            plain = plain_child(api, e->left, h) && plain_child(api, e->right, h);
            break;
        }
        case K_NOT: plain = plain_child(api, reinterpret_cast<NotNode*>(o)->operand, h); break;
        case K_FORALL:
        case K_EXISTS: {
            QuantNode* q = reinterpret_cast<QuantNode*>(o);
            plain = plain_child(api, q->variable, h, true) && plain_child(api, q->body, h);
            break;
        }
        default: {  // binary connectives
            BinaryNode* b = reinterpret_cast<BinaryNode*>(o);
            plain = plain_child(api, b->left, h) && plain_child(api, b->right, h);
            break;
        }
    }
    if (!plain) return;
    Node* n = reinterpret_cast<Node*>(o);
    n->flags |= NF_PLAIN;
    n->height = static_cast<uint16_t>(h < 0xfffe ? h + 1 : 0xffff);
}

// A copy whose fields equal those of `like` one by one, as copies made the
// same way or the same objects, is GC-safe exactly when `like` is.
static PyObject* finish_like(const AstApi& api, PyObject* o, int k, PyObject* like) {
    mark_plain(api, o, k);
    if (reinterpret_cast<Node*>(like)->flags & NF_GC_SAFE) reinterpret_cast<Node*>(o)->flags |= NF_GC_SAFE;
    else PyObject_GC_Track(o);
    return o;
}

// Whether `c` is flagged both NF_PLAIN and NF_GC_SAFE (so an exact node),
// raising `h` to its height.
static inline bool plain_and_safe(const AstApi& api, PyObject* c, unsigned& h) {
    if (Py_TYPE(c)->tp_dealloc != api.node_dealloc) return false;
    const Node* n = reinterpret_cast<const Node*>(c);
    if ((n->flags & (NF_PLAIN | NF_GC_SAFE)) != (NF_PLAIN | NF_GC_SAFE)) return false;
    if (n->height > h) h = n->height;
    return true;
}

// The common case of a new exact Not, binary connective or quantifier: its
// children plain and GC-safe make it both (what mark_plain and the checks in
// finish_node conclude for them, read off two flags); false to take the
// general route.
static inline bool finish_connective(const AstApi& api, PyObject* o, int k) {
    unsigned h = 0;
    if (k == K_NOT) {
        if (!plain_and_safe(api, reinterpret_cast<NotNode*>(o)->operand, h)) return false;
    } else {
        BinaryNode* b = reinterpret_cast<BinaryNode*>(o);
        if (!plain_and_safe(api, b->left, h) || !plain_and_safe(api, b->right, h)) return false;
        if (kind_is_quant(k) && reinterpret_cast<Node*>(b->left)->kind != K_VARIABLE) return false;
    }
    Node* n = reinterpret_cast<Node*>(o);
    n->flags |= NF_PLAIN | NF_GC_SAFE;
    n->height = static_cast<uint16_t>(h < 0xfffe ? h + 1 : 0xffff);
    return true;
}

// The same for a new exact atom or application whose symbol is a str, arity
// an int, arguments an exact tuple of plain GC-safe nodes, free-variable cache
// a frozenset, one such Variable or a few of them, and (FunctionApp)
// sort the default one.
static inline bool finish_app(const AstApi& api, PyObject* o, int k) {
    PyObject *sym, *arity, *args, *fv;
    if (k == K_FUNCTION_APP) {
        FunctionAppNode* f = reinterpret_cast<FunctionAppNode*>(o);
        if (f->return_sort != api.ind) return false;
        sym = f->func, arity = f->arity, args = f->args, fv = f->free_vars;
    } else {
        PredicateAppNode* p = reinterpret_cast<PredicateAppNode*>(o);
        sym = p->pred, arity = p->arity, args = p->args, fv = p->free_vars;
    }
    if (!PyUnicode_CheckExact(sym) || !PyLong_CheckExact(arity) || !PyTuple_CheckExact(args)) return false;
    unsigned h = 0;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args); i < n; ++i)
        if (!plain_and_safe(api, PyTuple_GET_ITEM(args, i), h)) return false;
    unsigned fh = 0;
    if (!PyFrozenSet_CheckExact(fv) && !(reinterpret_cast<Node*>(o)->flags & NF_FV_FEW) &&
        !plain_and_safe(api, fv, fh))
        return false;
    Node* n = reinterpret_cast<Node*>(o);
    n->flags |= NF_PLAIN | NF_GC_SAFE;
    n->height = static_cast<uint16_t>(h < 0xfffe ? h + 1 : 0xffff);
    return true;
}

static inline bool finish_equality(const AstApi& api, PyObject* o) {
    EqualityNode* e = reinterpret_cast<EqualityNode*>(o);
    unsigned h = 0, fh = 0;
    if (!plain_and_safe(api, e->left, h) || !plain_and_safe(api, e->right, h)) return false;
    if (!PyFrozenSet_CheckExact(e->free_vars) && !(e->flags & NF_FV_FEW) && !plain_and_safe(api, e->free_vars, fh))
        return false;
    Node* n = reinterpret_cast<Node*>(o);
    n->flags |= NF_PLAIN | NF_GC_SAFE;
    n->height = static_cast<uint16_t>(h < 0xfffe ? h + 1 : 0xffff);
    return true;
}

// Exact instances whose fields are all GC-safe stay untracked; everything else
// (including every instance of a Python subclass) is tracked.  Every field is
// set by the time this runs.
static PyObject* finish_node(const AstApi& api, PyObject* o, int k) {
    if (Py_TYPE(o) != api.types[k] || k == K_VARIABLE) return o;
    if (k >= K_NOT ? finish_connective(api, o, k)
                   : k == K_EQUALITY ? finish_equality(api, o)
                                     : k != K_CONSTANT && finish_app(api, o, k))
        return o;
    mark_plain(api, o, k);
    bool safe;
    switch (k) {
        case K_CONSTANT: {
            ConstantNode* c = reinterpret_cast<ConstantNode*>(o);
            safe = value_gc_safe(api, c->name) && gc_safe(api, c->sort);
            break;
        }
        case K_FUNCTION_APP: {
            FunctionAppNode* f = reinterpret_cast<FunctionAppNode*>(o);
            safe = value_gc_safe(api, f->func) && value_gc_safe(api, f->arity) && args_gc_safe(api, f->args) &&
                   gc_safe(api, f->return_sort) && child_or_value_gc_safe(api, f->free_vars);
            break;
        }
        case K_PREDICATE_APP: {
            PredicateAppNode* p = reinterpret_cast<PredicateAppNode*>(o);
            safe = value_gc_safe(api, p->pred) && value_gc_safe(api, p->arity) && args_gc_safe(api, p->args) &&
                   child_or_value_gc_safe(api, p->free_vars);
            break;
        }
        case K_EQUALITY: {
            EqualityNode* e = reinterpret_cast<EqualityNode*>(o);
            safe = child_gc_safe(api, e->left) && child_gc_safe(api, e->right) &&
                   child_or_value_gc_safe(api, e->free_vars);
            break;
        }
        case K_NOT:
            safe = child_gc_safe(api, reinterpret_cast<NotNode*>(o)->operand);
            break;
        default: {  // binary connectives, quantifiers
            BinaryNode* b = reinterpret_cast<BinaryNode*>(o);
            safe = child_gc_safe(api, b->left) && child_gc_safe(api, b->right);
            break;
        }
    }
    if (safe) reinterpret_cast<Node*>(o)->flags |= NF_GC_SAFE;
    else PyObject_GC_Track(o);
    return o;
}

// ---------------------------------------------------------------- construction

static bool is_interned_sort(const AstApi& api, PyObject* sort) {
    PyObject* tp = reinterpret_cast<PyObject*>(Py_TYPE(sort));
    PyObject* st = api.sort_types;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(st); ++i)
        if (tp == PyTuple_GET_ITEM(st, i)) return true;
    return false;
}

Py_hash_t leaf_hash(const AstApi& api, PyObject* node) {
    TupleHasher h;
    if (reinterpret_cast<Node*>(node)->kind == K_VARIABLE) {
        VariableNode* v = reinterpret_cast<VariableNode*>(node);
        h.add(v->sort);
        h.add(v->id);
        Py_hash_t kh;
        if (api.kind_hash(v->vkind, kh)) h.add_hash(kh);
        else h.add(v->vkind);
    } else {
        ConstantNode* c = reinterpret_cast<ConstantNode*>(node);
        h.add(c->sort);
        h.add(c->name);
    }
    return h.finish();
}

static bool is_negative(const AstApi& api, PyObject* x) {
    long small;
    if (small_int_value(x, small)) return small < 0;
    if (PyLong_CheckExact(x)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(x, &overflow);
        if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
        return overflow < 0 || (overflow == 0 && v < 0);
    }
    return check_int(PyObject_RichCompareBool(x, api.zero, Py_LT)) != 0;
}

// len(args) != arity, with the interpreter's comparison for odd arity values.
static bool count_differs(Py_ssize_t n, PyObject* arity) {
    long small;
    if (small_int_value(arity, small)) return small != n;
    if (PyLong_CheckExact(arity)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(arity, &overflow);
        if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
        return overflow != 0 || v != n;
    }
    Ref no = Ref::check(PyLong_FromSsize_t(n));
    return check_int(PyObject_RichCompareBool(no.get(), arity, Py_NE)) != 0;
}

static void check_symbol(const AstApi& api, PyObject* sym, const char* empty_msg, const char* type_msg) {
    if (PyUnicode_Check(sym)) {
        if (PyUnicode_GET_LENGTH(sym) == 0) raise_invalid(api, empty_msg);
        return;
    }
    if (!has_attr(sym, api.s_index) || !has_attr(sym, api.s_arity)) {
        raise_invalid(api, PyUnicode_FromFormat(type_msg, reinterpret_cast<PyObject*>(Py_TYPE(sym))));
    }
}

static Py_ssize_t arg_count(PyObject* args) {
    if (PyTuple_CheckExact(args)) return PyTuple_GET_SIZE(args);
    Py_ssize_t n = PyObject_Length(args);
    if (n < 0) throw PyErrorSet{};
    return n;
}

PyObject* make_variable(const AstApi& api, PyTypeObject* type, PyObject* id, PyObject* vkind, PyObject* sort) {
    if (is_negative(api, id))
        raise_invalid(api, PyUnicode_FromFormat("Variable ID must be non-negative, got %S.", id));
    // Interned sorts, ints and the VariableKind members hash immutably and
    // cannot lead back to the variable: then the hash is taken once and the
    // variable counts as GC-safe for the nodes built on it.
    Py_hash_t kh;
    bool fixed = PyLong_CheckExact(id) && api.kind_hash(vkind, kh) && is_interned_sort(api, sort);
    Py_hash_t h = 0;
    if (fixed) {
        TupleHasher th;
        th.add(sort);
        add_field_hash(th, id);
        th.add_hash(kh);
        h = th.finish();
    }
    PyObject* o = alloc_node(api, K_VARIABLE, type);
    VariableNode* v = reinterpret_cast<VariableNode*>(o);
    v->sort = Py_NewRef(sort);
    v->id = Py_NewRef(id);
    v->vkind = Py_NewRef(vkind);
    if (fixed) {
        v->hash = h;
        v->flags |= NF_HASH_CACHED | NF_GC_SAFE;
        if (Py_TYPE(o) == api.types[K_VARIABLE]) {
            v->flags |= NF_PLAIN;
            v->height = 1;
        }
    }
    return o;
}

PyObject* make_constant(const AstApi& api, PyTypeObject* type, PyObject* name, PyObject* sort) {
    int t = PyUnicode_CheckExact(name) ? PyUnicode_GET_LENGTH(name) != 0 : check_int(PyObject_IsTrue(name));
    if (!t) raise_invalid(api, "Constant name cannot be empty.");
    bool fixed = PyUnicode_CheckExact(name) && is_interned_sort(api, sort);
    Py_hash_t h = 0;
    if (fixed) {
        TupleHasher th;
        th.add(sort);
        add_field_hash(th, name);
        h = th.finish();
    }
    PyObject* o = alloc_node(api, K_CONSTANT, type);
    ConstantNode* c = reinterpret_cast<ConstantNode*>(o);
    c->sort = Py_NewRef(sort);
    c->name = Py_NewRef(name);
    if (fixed) {
        c->hash = h;
        c->flags |= NF_HASH_CACHED;
    }
    return finish_node(api, o, K_CONSTANT);
}

static PyObject* build_function_app(const AstApi& api, PyTypeObject* type, PyObject* func, PyObject* arity,
                                    PyObject* args, PyObject* return_sort, PyObject* like);
static PyObject* build_predicate_app(const AstApi& api, PyTypeObject* type, PyObject* pred, PyObject* arity,
                                     PyObject* args, PyObject* like);

PyObject* make_function_app(const AstApi& api, PyTypeObject* type, PyObject* func, PyObject* arity,
                            PyObject* args, PyObject* return_sort) {
    check_symbol(api, func, "Function name cannot be empty.",
                 "Function symbol must be str or FunctionVariable, got %S.");
    if (is_negative(api, arity))
        raise_invalid(api, PyUnicode_FromFormat("Function arity must be non-negative, got %S.", arity));
    Py_ssize_t n = arg_count(args);
    if (count_differs(n, arity))
        raise_invalid(api, PyUnicode_FromFormat("FunctionApp '%S' expected arity %S, got %zd arguments.", func,
                                                arity, n));
    return build_function_app(api, type, func, arity, args, return_sort, nullptr);
}

// The node once its fields are valid.  `like`: an exact FunctionApp whose
// fields equal these one by one, whose hash and free variables are taken over.
static PyObject* build_function_app(const AstApi& api, PyTypeObject* type, PyObject* func, PyObject* arity,
                                    PyObject* args, PyObject* return_sort, PyObject* like) {
    TupleHasher h;
    uint8_t fv_flags;
    Ref fv;
    if (like) {
        fv_flags = reinterpret_cast<Node*>(like)->flags & kFreeVarFlags;
        fv = Ref::borrow(reinterpret_cast<FunctionAppNode*>(like)->free_vars);
    } else {
        h.add_hash(class_hash(api, K_FUNCTION_APP, type));
        add_field_hash(h, func);
        add_field_hash(h, arity);
        add_args_hash(api, h, args);
        h.add(return_sort);
        fv = Ref::steal(free_vars_of_args(api, args, fv_flags));
    }
    PyObject* o = alloc_node(api, K_FUNCTION_APP, type);
    reinterpret_cast<Node*>(o)->flags |= fv_flags;
    FunctionAppNode* f = reinterpret_cast<FunctionAppNode*>(o);
    f->hash = like ? reinterpret_cast<HashedNode*>(like)->hash : h.finish();
    f->sort = Py_NewRef(return_sort);
    f->func = Py_NewRef(func);
    f->arity = Py_NewRef(arity);
    f->args = Py_NewRef(args);
    f->return_sort = Py_NewRef(return_sort);
    f->free_vars = fv.release();
    return like ? finish_like(api, o, K_FUNCTION_APP, like) : finish_node(api, o, K_FUNCTION_APP);
}

PyObject* make_predicate_app(const AstApi& api, PyTypeObject* type, PyObject* pred, PyObject* arity,
                             PyObject* args) {
    check_symbol(api, pred, "Predicate name cannot be empty.",
                 "Predicate symbol must be str or PredicateVariable, got %S.");
    if (is_negative(api, arity))
        raise_invalid(api, PyUnicode_FromFormat("Predicate arity must be non-negative, got %S.", arity));
    Py_ssize_t n = arg_count(args);
    if (count_differs(n, arity))
        raise_invalid(api, PyUnicode_FromFormat("PredicateApp '%S' expected arity %S, got %zd arguments.", pred,
                                                arity, n));
    return build_predicate_app(api, type, pred, arity, args, nullptr);
}

// As build_function_app.
static PyObject* build_predicate_app(const AstApi& api, PyTypeObject* type, PyObject* pred, PyObject* arity,
                                     PyObject* args, PyObject* like) {
    TupleHasher h;
    uint8_t fv_flags;
    Ref fv;
    if (like) {
        fv_flags = reinterpret_cast<Node*>(like)->flags & kFreeVarFlags;
        fv = Ref::borrow(reinterpret_cast<PredicateAppNode*>(like)->free_vars);
    } else {
        h.add_hash(class_hash(api, K_PREDICATE_APP, type));
        add_field_hash(h, pred);
        add_field_hash(h, arity);
        add_args_hash(api, h, args);
        fv = Ref::steal(free_vars_of_args(api, args, fv_flags));
    }
    PyObject* o = alloc_node(api, K_PREDICATE_APP, type);
    reinterpret_cast<Node*>(o)->flags |= fv_flags;
    PredicateAppNode* p = reinterpret_cast<PredicateAppNode*>(o);
    p->hash = like ? reinterpret_cast<HashedNode*>(like)->hash : h.finish();
    p->pred = Py_NewRef(pred);
    p->arity = Py_NewRef(arity);
    p->args = Py_NewRef(args);
    p->free_vars = fv.release();
    return like ? finish_like(api, o, K_PREDICATE_APP, like) : finish_node(api, o, K_PREDICATE_APP);
}

static PyObject* build_equality(const AstApi& api, PyTypeObject* type, PyObject* left, PyObject* right,
                                PyObject* like) {
    TupleHasher h;
    uint8_t fv_flags;
    Ref fv;
    if (like) {
        fv_flags = reinterpret_cast<Node*>(like)->flags & kFreeVarFlags;
        fv = Ref::borrow(reinterpret_cast<EqualityNode*>(like)->free_vars);
    } else {
        h.add_hash(class_hash(api, K_EQUALITY, type));
        add_child_hash(api, h, left);
        add_child_hash(api, h, right);
        FreeVarBuilder b(api);
        b.add_child(left);
        b.add_child(right);
        fv = Ref::steal(b.finish(fv_flags));
    }
    PyObject* o = alloc_node(api, K_EQUALITY, type);
    reinterpret_cast<Node*>(o)->flags |= fv_flags;
    EqualityNode* e = reinterpret_cast<EqualityNode*>(o);
    e->hash = like ? reinterpret_cast<HashedNode*>(like)->hash : h.finish();
    e->left = Py_NewRef(left);
    e->right = Py_NewRef(right);
    e->free_vars = fv.release();
    return like ? finish_like(api, o, K_EQUALITY, like) : finish_node(api, o, K_EQUALITY);
}

PyObject* make_equality(const AstApi& api, PyTypeObject* type, PyObject* left, PyObject* right) {
    return build_equality(api, type, left, right, nullptr);
}

// ---------------------------------------------------------------- derived nodes

PyObject* derive_app(const AstApi& api, PyObject* orig, int k, PyObject* args, bool same_value) {
    PyObject* like = same_value ? orig : nullptr;
    if (k == K_FUNCTION_APP) {
        FunctionAppNode* f = reinterpret_cast<FunctionAppNode*>(orig);
        return build_function_app(api, nullptr, f->func, f->arity, args, f->return_sort, like);
    }
    PredicateAppNode* p = reinterpret_cast<PredicateAppNode*>(orig);
    return build_predicate_app(api, nullptr, p->pred, p->arity, args, like);
}

PyObject* derive_equality(const AstApi& api, PyObject* orig, PyObject* left, PyObject* right, bool same_value) {
    return build_equality(api, nullptr, left, right, same_value ? orig : nullptr);
}

PyObject* make_not(const AstApi& api, PyTypeObject* type, PyObject* operand) {
    TupleHasher h;
    h.add_hash(class_hash(api, K_NOT, type));
    add_child_hash(api, h, operand);
    PyObject* o = alloc_node(api, K_NOT, type);
    NotNode* n = reinterpret_cast<NotNode*>(o);
    n->hash = h.finish();
    n->operand = Py_NewRef(operand);
    if (!type && finish_connective(api, o, K_NOT)) return o;
    return finish_node(api, o, K_NOT);
}

// Binary connectives and first-order quantifiers share one layout: the hash
// of (class, first, second) and the two fields.
static_assert(offsetof(BinaryNode, left) == offsetof(QuantNode, variable) &&
              offsetof(BinaryNode, right) == offsetof(QuantNode, body) && sizeof(BinaryNode) == sizeof(QuantNode));

static PyObject* make_two_field_node(const AstApi& api, int k, PyTypeObject* type, PyObject* first, PyObject* second) {
    TupleHasher h;
    h.add_hash(class_hash(api, k, type));
    add_child_hash(api, h, first);
    add_child_hash(api, h, second);
    PyObject* o = alloc_node(api, k, type);
    BinaryNode* n = reinterpret_cast<BinaryNode*>(o);
    n->hash = h.finish();
    n->left = Py_NewRef(first);
    n->right = Py_NewRef(second);
    if (!type && finish_connective(api, o, k)) return o;  // the common case, settled in place
    return finish_node(api, o, k);
}

PyObject* make_binary(const AstApi& api, int k, PyTypeObject* type, PyObject* left, PyObject* right) {
    return make_two_field_node(api, k, type, left, right);
}

PyObject* make_quant(const AstApi& api, int k, PyTypeObject* type, PyObject* variable, PyObject* body) {
    return make_two_field_node(api, k, type, variable, body);
}

}  // namespace kv
