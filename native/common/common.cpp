// Node construction, hashing, free variables and the shared slot
// functions of the node classes.  Linked into every extension module; each
// module passes its own AstApi, so no state lives here.
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

int kind_owned_fields(int k) {
    // Number of PyObject* slots from first_field to the end of the struct.
    return static_cast<int>((kKindInfo[k].basicsize - kKindInfo[k].first_field) / sizeof(PyObject*));
}

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
    X(s_ForallFunc) X(s_ExistsFunc)

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
        if (reinterpret_cast<Node*>(o)->kind == K_VARIABLE) return reinterpret_cast<Node*>(o)->flags & NF_GC_SAFE;
        return !PyObject_GC_IsTracked(o);
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

// Allocates a node of kind k for `type` (nullptr: the exact class).  Fields
// are zeroed; the caller fills them, then calls finish_node.
static PyObject* alloc_node(const AstApi& api, int k, PyTypeObject* type) {
    PyObject* o;
    if ((!type || type == api.types[k]) && k == K_VARIABLE) {
        o = reinterpret_cast<PyObject*>(PyObject_New(PyObject, api.types[k]));
        if (!o) throw PyErrorSet{};
        std::memset(reinterpret_cast<char*>(o) + sizeof(PyObject), 0,
                    kKindInfo[k].basicsize - sizeof(PyObject));
    } else if (!type || type == api.types[k]) {
        o = reinterpret_cast<PyObject*>(PyObject_GC_New(PyObject, api.types[k]));
        if (!o) throw PyErrorSet{};
        std::memset(reinterpret_cast<char*>(o) + sizeof(PyObject), 0,
                    kKindInfo[k].basicsize - sizeof(PyObject));
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
        if (reinterpret_cast<Node*>(o)->kind == K_VARIABLE) return reinterpret_cast<Node*>(o)->flags & NF_GC_SAFE;
        return !PyObject_GC_IsTracked(o);
    }
    return gc_safe(api, o);
}

// gc_safe for the other fields: strings, ints, the free-variable cache.
static inline bool value_gc_safe(const AstApi& api, PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    if (tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyFrozenSet_Type) return true;
    return gc_safe(api, o);
}

// The free-variable cache: a frozenset or a single Variable.
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

// Exact instances whose fields are all GC-safe stay untracked; everything else
// (including every instance of a Python subclass) is tracked.  Every field is
// set by the time this runs.
static PyObject* finish_node(const AstApi& api, PyObject* o, int k) {
    if (Py_TYPE(o) != api.types[k] || k == K_VARIABLE) return o;
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
    if (!safe) PyObject_GC_Track(o);
    return o;
}

// ---------------------------------------------------------------- free variables

// Accumulates the free variables of several children.  The result is the
// shared empty frozenset, a single Variable (flagged NF_FV_SINGLE: the common
// case of one variable, kept without allocating a set), a child's cached
// frozenset when it is the only contribution, or a brand-new frozenset.
class FreeVarBuilder {
public:
    explicit FreeVarBuilder(const AstApi& api) : api_(api) {}

    void add_child(PyObject* child) {
        int k = api_.exact_kind(child);
        if (k == K_VARIABLE) {
            add_item(child);
        } else if (k == K_CONSTANT) {
        } else if (kind_has_free_vars(k)) {
            PyObject* fv = *free_vars_field(child, k);
            if (free_vars_single(child)) add_item(fv);
            else add_set(fv);
        } else {
            Ref s = Ref::check(free_variables(api_, child));
            if (PySet_GET_SIZE(s.get()) > 0) {
                materialize();
                merge(s.get());
            }
        }
    }

    // Returns the cache value (new reference); sets `single` when it is a Variable.
    PyObject* finish(bool& single) {
        single = false;
        if (acc_) return acc_.release();
        if (set_) return set_.release();
        if (var_) {
            single = true;
            return var_.release();
        }
        return Py_NewRef(api_.empty_frozenset);
    }

private:
    void add_item(PyObject* v) {
        if (!acc_ && !set_) {
            if (!var_) {
                var_ = Ref::borrow(v);
                return;
            }
            if (var_.get() == v) return;
        }
        materialize();
        check_int(PySet_Add(acc_.get(), v));
    }
    void add_set(PyObject* fs) {
        if (PySet_GET_SIZE(fs) == 0) return;
        if (!acc_ && !set_ && !var_) {
            set_ = Ref::borrow(fs);
            return;
        }
        if (set_.get() == fs) return;
        materialize();
        merge(fs);
    }
    void materialize() {
        if (acc_) return;
        acc_ = Ref::check(PyFrozenSet_New(nullptr));
        if (var_) {
            check_int(PySet_Add(acc_.get(), var_.get()));
            var_.reset();
        }
        if (set_) {
            merge(set_.get());
            set_.reset();
        }
    }
    void merge(PyObject* s) {
        for_each_in_set(s, [&](PyObject* key) { check_int(PySet_Add(acc_.get(), key)); });
    }

    const AstApi& api_;
    Ref var_;  // the only contribution so far, a single variable
    Ref set_;  // the only contribution so far, a child's frozenset
    Ref acc_;  // a brand-new frozenset being filled
};

PyObject* free_vars_frozenset(PyObject* node, int k) {
    PyObject** slot = free_vars_field(node, k);
    if (free_vars_single(node)) {
        Ref fs = Ref::check(PyFrozenSet_New(nullptr));
        check_int(PySet_Add(fs.get(), *slot));
        PyObject* old = *slot;
        *slot = Py_NewRef(fs.get());
        reinterpret_cast<Node*>(node)->flags &= static_cast<uint8_t>(~NF_FV_SINGLE);
        Py_DECREF(old);
        return fs.release();
    }
    return Py_NewRef(*slot);
}

// Reads a field of a node: straight from the struct for exact nodes, through
// attribute access for instances of subclasses (which may override it).
Ref node_attribute(PyObject* node, PyObject* name) { return Ref::check(PyObject_GetAttr(node, name)); }

// Variables bound by the quantifiers enclosing the current position of a walk.
// Membership is node equality; a short scope is scanned, a long one hashed.
class BoundScope {
public:
    explicit BoundScope(const AstApi& api) : api_(api) {}

    bool empty() const { return vars_.empty(); }
    bool contains(PyObject* v) {
        if (vars_.empty()) return false;
        if (dict_) {
            int c = PyDict_Contains(dict_.get(), v);
            if (c < 0) throw PyErrorSet{};
            return c;
        }
        for (size_t i = vars_.size(); i-- > 0;) {
            PyObject* b = vars_[i];
            if (b == v) return true;
        }
        for (size_t i = vars_.size(); i-- > 0;) {
            PyObject* b = vars_[i];
            if (b == v) return true;
            int r = same_variable(b, v);
            if (r) return true;
        }
        return false;
    }
    void push(PyObject* v) {
        vars_.emplace_back(v);
        if (dict_) add_to_dict(v);
        else if (vars_.size() > kLinear) {
            dict_ = Ref::check(PyDict_New());
            for (size_t i = 0; i < vars_.size(); ++i) add_to_dict(vars_[i]);
        }
    }
    void pop() {
        PyObject* v = vars_.back();
        vars_.pop_back();
        if (!dict_) return;
        if (vars_.empty()) {
            dict_.reset();
            return;
        }
        PyObject* c = PyDict_GetItemWithError(dict_.get(), v);
        if (!c) {
            if (PyErr_Occurred()) throw PyErrorSet{};
            return;
        }
        long n = PyLong_AsLong(c);
        if (n <= 1) check_int(PyDict_DelItem(dict_.get(), v));
        else {
            Ref nv = Ref::check(PyLong_FromLong(n - 1));
            check_int(PyDict_SetItem(dict_.get(), v, nv.get()));
        }
    }

private:
    static constexpr size_t kLinear = 24;

    int same_variable(PyObject* b, PyObject* v) {
        if (api_.exact_kind(b) == K_VARIABLE && api_.exact_kind(v) == K_VARIABLE) {
            if (hash_cached(b, K_VARIABLE) && hash_cached(v, K_VARIABLE) &&
                reinterpret_cast<HashedNode*>(b)->hash != reinterpret_cast<HashedNode*>(v)->hash)
                return 0;
            return nodes_equal(api_, b, v);
        }
        // Set membership semantics: equal objects must also hash equally.
        Py_hash_t hb = PyObject_Hash(b), hv = PyObject_Hash(v);
        if (hb == -1 || hv == -1) throw PyErrorSet{};
        if (hb != hv) return 0;
        return check_int(PyObject_RichCompareBool(b, v, Py_EQ));
    }
    void add_to_dict(PyObject* v) {
        PyObject* c = PyDict_GetItemWithError(dict_.get(), v);
        if (!c && PyErr_Occurred()) throw PyErrorSet{};
        long n = c ? PyLong_AsLong(c) : 0;
        Ref nv = Ref::check(PyLong_FromLong(n + 1));
        check_int(PyDict_SetItem(dict_.get(), v, nv.get()));
    }

    const AstApi& api_;
    SmallStack<PyObject*, kLinear + 1> vars_;
    Ref dict_;
};

// Iterative walk over the formula spine.  A variable found in a term is free
// when no enclosing quantifier binds it.  Errors arise in the same order as in
// a left-to-right recursive walk.  Exact nodes are read in place (the tree is
// immutable and held by the caller); fields read from instances of subclasses
// are kept alive in `keep`.
void add_free_variables(const AstApi& api, PyObject* root, PyObject* acc) {
    enum Op : uint8_t { VISIT, UNBIND, RAISE_UNHASHABLE };
    struct Item {
        PyObject* node;
        Op op;
    };
    SmallStack<Item, 32> stack;
    std::vector<Ref> keep;
    BoundScope scope(api);
    stack.emplace_back(Item{root, VISIT});

    auto add_var = [&](PyObject* v) {
        if (scope.contains(v)) return;
        check_int(PySet_Add(acc, v));
    };
    auto add_iterable = [&](PyObject* s) {
        Ref it = Ref::check(PyObject_GetIter(s));
        while (PyObject* item = PyIter_Next(it.get())) {
            Ref own = Ref::steal(item);
            add_var(item);
        }
        if (PyErr_Occurred()) throw PyErrorSet{};
    };
    auto attr = [&](PyObject* node, PyObject* name) {
        keep.push_back(Ref::check(PyObject_GetAttr(node, name)));
        return keep.back().get();
    };

    while (!stack.empty()) {
        Item it = stack.back();
        stack.pop_back();
        if (it.op == UNBIND) {
            scope.pop();
            continue;
        }
        if (it.op == RAISE_UNHASHABLE) {
            // The bound variable could not be hashed: fail after its body, as
            // removing it from the body's set would.
            if (PyObject_Hash(it.node) == -1) throw PyErrorSet{};
            continue;
        }
        PyObject* node = it.node;
        int k = api.exact_kind(node);
        bool exact = k >= 0;
        if (!exact) {
            // Not an exact node: an object with a usable `_free_vars` first.
            Ref cache = lookup_attr(node, api.s_free_vars);
            if (cache && cache.get() != Py_None) {
                add_iterable(cache.get());
                continue;
            }
            k = api.instance_kind(node);
            if (kind_has_free_vars(k)) {
                add_iterable(attr(node, api.s_free_vars));
                continue;
            }
        } else if (kind_has_free_vars(k)) {
            PyObject* fv = *free_vars_field(node, k);
            if (scope.empty() && !free_vars_single(node)) {
                // Nothing is bound here: merge the cached set wholesale.
                set_merge(acc, fv);
            } else {
                for_each_free_var(node, k, add_var);
            }
            continue;
        }
        switch (k) {
            case K_VARIABLE:
                add_var(node);
                continue;
            case K_CONSTANT:
                continue;
            case K_NOT:
                stack.emplace_back(Item{exact ? reinterpret_cast<NotNode*>(node)->operand : attr(node, api.s_operand), VISIT});
                continue;
            case K_AND:
            case K_OR:
            case K_IMPLIES:
            case K_IFF: {
                PyObject* l = exact ? reinterpret_cast<BinaryNode*>(node)->left : attr(node, api.s_left);
                PyObject* r = exact ? reinterpret_cast<BinaryNode*>(node)->right : attr(node, api.s_right);
                stack.emplace_back(Item{r, VISIT});
                stack.emplace_back(Item{l, VISIT});
                continue;
            }
            case K_FORALL:
            case K_EXISTS: {
                PyObject* body = exact ? reinterpret_cast<QuantNode*>(node)->body : attr(node, api.s_body);
                PyObject* var = exact ? reinterpret_cast<QuantNode*>(node)->variable : attr(node, api.s_variable);
                bool hashable = true;
                if (!(api.exact_kind(var) == K_VARIABLE && hash_cached(var, K_VARIABLE)) && PyObject_Hash(var) == -1) {
                    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrorSet{};
                    PyErr_Clear();
                    hashable = false;
                }
                if (hashable) {
                    scope.push(var);
                    stack.emplace_back(Item{var, UNBIND});
                } else {
                    stack.emplace_back(Item{var, RAISE_UNHASHABLE});
                }
                stack.emplace_back(Item{body, VISIT});
                continue;
            }
            default:
                break;
        }
        if (api.is_sol_quantifier(node)) {
            stack.emplace_back(Item{attr(node, api.s_body), VISIT});
            continue;
        }
        Ref cls = Ref::check(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(node))));
        raise_invalid(api, PyUnicode_FromFormat("Unsupported AST node type: %U", cls.get()));
    }
}

PyObject* free_variables(const AstApi& api, PyObject* node) {
    int k = api.exact_kind(node);
    if (kind_has_free_vars(k)) {
        PyObject* fv = *free_vars_field(node, k);
        if (!free_vars_single(node)) return check(PySet_New(fv));
        Ref acc = Ref::check(PySet_New(nullptr));
        check_int(PySet_Add(acc.get(), fv));
        return acc.release();
    }
    Ref acc = Ref::check(PySet_New(nullptr));
    if (k == K_VARIABLE) {
        check_int(PySet_Add(acc.get(), node));
        return acc.release();
    }
    if (k == K_CONSTANT) return acc.release();
    add_free_variables(api, node, acc.get());
    return acc.release();
}

// ---------------------------------------------------------------- hashing

// Hash of a child: read straight from the cache of an exact node.
static inline void add_child_hash(const AstApi& api, TupleHasher& h, PyObject* o) {
    int k = api.exact_kind(o);
    if (k >= 0 && hash_cached(o, k)) h.add_hash(reinterpret_cast<HashedNode*>(o)->hash);
    else h.add(o);
}

// hash(args): the tuple hash computed here from the children's cached hashes
// (same value as the interpreter's, which is not cached on tuples).
static inline void add_args_hash(const AstApi& api, TupleHasher& h, PyObject* args) {
    if (!PyTuple_CheckExact(args)) {
        h.add(args);
        return;
    }
    TupleHasher inner;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args); i < n; ++i) add_child_hash(api, inner, PyTuple_GET_ITEM(args, i));
    h.add_hash(inner.finish());
}

static Py_hash_t type_hash(PyTypeObject* t) {
    Py_hash_t h = PyObject_Hash(reinterpret_cast<PyObject*>(t));
    if (h == -1) throw PyErrorSet{};
    return h;
}

// Hash of the class of a node being built: `type`, or the exact class of kind
// k (nullptr), whose hash is taken once.
static Py_hash_t class_hash(const AstApi& api, int k, PyTypeObject* type) {
    if (type) return type_hash(type);
    Py_hash_t h = api.type_hashes[k];
    if (h == 0) api.type_hashes[k] = h = type_hash(api.types[k]);
    return h;
}

// hash() of a symbol or arity field: read from an exact str that has it,
// computed for a small exact int, asked of the object otherwise.
static inline void add_field_hash(TupleHasher& h, PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyUnicode_Type) {
        Py_hash_t sh = reinterpret_cast<PyASCIIObject*>(o)->hash;
        if (sh != -1) {
            h.add_hash(sh);
            return;
        }
    } else if (t == &PyLong_Type) {
        long v;
        if (small_int_value(o, v)) {
            h.add_hash(v == -1 ? -2 : v);
            return;
        }
    }
    h.add(o);
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

static PyObject* free_vars_of_args(const AstApi& api, PyObject* args, bool& single) {
    FreeVarBuilder b(api);
    if (PyTuple_CheckExact(args)) {
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args); i < n; ++i) b.add_child(PyTuple_GET_ITEM(args, i));
    } else {
        Ref it = Ref::check(PyObject_GetIter(args));
        while (PyObject* item = PyIter_Next(it.get())) {
            Ref own = Ref::steal(item);
            b.add_child(item);
        }
        if (PyErr_Occurred()) throw PyErrorSet{};
    }
    return b.finish(single);
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
    TupleHasher h;
    h.add_hash(class_hash(api, K_FUNCTION_APP, type));
    add_field_hash(h, func);
    add_field_hash(h, arity);
    add_args_hash(api, h, args);
    h.add(return_sort);
    bool single;
    Ref fv = Ref::steal(free_vars_of_args(api, args, single));
    PyObject* o = alloc_node(api, K_FUNCTION_APP, type);
    if (single) reinterpret_cast<Node*>(o)->flags |= NF_FV_SINGLE;
    FunctionAppNode* f = reinterpret_cast<FunctionAppNode*>(o);
    f->hash = h.finish();
    f->sort = Py_NewRef(return_sort);
    f->func = Py_NewRef(func);
    f->arity = Py_NewRef(arity);
    f->args = Py_NewRef(args);
    f->return_sort = Py_NewRef(return_sort);
    f->free_vars = fv.release();
    return finish_node(api, o, K_FUNCTION_APP);
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
    TupleHasher h;
    h.add_hash(class_hash(api, K_PREDICATE_APP, type));
    add_field_hash(h, pred);
    add_field_hash(h, arity);
    add_args_hash(api, h, args);
    bool single;
    Ref fv = Ref::steal(free_vars_of_args(api, args, single));
    PyObject* o = alloc_node(api, K_PREDICATE_APP, type);
    if (single) reinterpret_cast<Node*>(o)->flags |= NF_FV_SINGLE;
    PredicateAppNode* p = reinterpret_cast<PredicateAppNode*>(o);
    p->hash = h.finish();
    p->pred = Py_NewRef(pred);
    p->arity = Py_NewRef(arity);
    p->args = Py_NewRef(args);
    p->free_vars = fv.release();
    return finish_node(api, o, K_PREDICATE_APP);
}

PyObject* make_equality(const AstApi& api, PyTypeObject* type, PyObject* left, PyObject* right) {
    TupleHasher h;
    h.add_hash(class_hash(api, K_EQUALITY, type));
    add_child_hash(api, h, left);
    add_child_hash(api, h, right);
    FreeVarBuilder b(api);
    b.add_child(left);
    b.add_child(right);
    bool single;
    Ref fv = Ref::steal(b.finish(single));
    PyObject* o = alloc_node(api, K_EQUALITY, type);
    if (single) reinterpret_cast<Node*>(o)->flags |= NF_FV_SINGLE;
    EqualityNode* e = reinterpret_cast<EqualityNode*>(o);
    e->hash = h.finish();
    e->left = Py_NewRef(left);
    e->right = Py_NewRef(right);
    e->free_vars = fv.release();
    return finish_node(api, o, K_EQUALITY);
}

PyObject* make_not(const AstApi& api, PyTypeObject* type, PyObject* operand) {
    TupleHasher h;
    h.add_hash(class_hash(api, K_NOT, type));
    add_child_hash(api, h, operand);
    PyObject* o = alloc_node(api, K_NOT, type);
    NotNode* n = reinterpret_cast<NotNode*>(o);
    n->hash = h.finish();
    n->operand = Py_NewRef(operand);
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
    return finish_node(api, o, k);
}

PyObject* make_binary(const AstApi& api, int k, PyTypeObject* type, PyObject* left, PyObject* right) {
    return make_two_field_node(api, k, type, left, right);
}

PyObject* make_quant(const AstApi& api, int k, PyTypeObject* type, PyObject* variable, PyObject* body) {
    return make_two_field_node(api, k, type, variable, body);
}

}  // namespace kv
