// The node classes of kelvara.core.ast: argument parsing, vectorcall
// constructors, the shared slots (dealloc, traverse, hash, equality, repr,
// frozen attribute guard) and pickling support.
#include "ast/state.hpp"

#include <structmember.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace kv::ast {

State* state_of_type(PyTypeObject* tp) {
    if (tp->tp_flags & Py_TPFLAGS_HEAPTYPE) {
        PyObject* m = reinterpret_cast<PyHeapTypeObject*>(tp)->ht_module;
        if (m && PyModule_GetDef(m) == &module_def) return static_cast<State*>(PyModule_GetState(m));
    }
    PyObject* m = module_by_def(tp, &module_def);
    if (!m) throw PyErrorSet{};
    return static_cast<State*>(PyModule_GetState(m));
}

// ---------------------------------------------------------------- constructor parameters

struct CtorSpec {
    const char* names[5];
    int npos;       // positional-or-keyword parameters
    int nrequired;  // leading required ones
    int nkwonly;    // keyword-only parameters after them
};

static const CtorSpec kCtor[K_COUNT] = {
    {{"id", "kind", "sort"}, 2, 1, 1},
    {{"name", "sort"}, 1, 1, 1},
    {{"func", "arity", "args", "return_sort", "sort"}, 4, 3, 1},
    {{"pred", "arity", "args"}, 3, 3, 0},
    {{"left", "right"}, 2, 2, 0},
    {{"operand"}, 1, 1, 0},
    {{"left", "right"}, 2, 2, 0},
    {{"left", "right"}, 2, 2, 0},
    {{"left", "right"}, 2, 2, 0},
    {{"left", "right"}, 2, 2, 0},
    {{"variable", "body"}, 2, 2, 0},
    {{"variable", "body"}, 2, 2, 0},
};

static int param_index(const CtorSpec& c, PyObject* key) {
    int n = c.npos + c.nkwonly;
    for (int i = 0; i < n; ++i)
        if (PyUnicode_CompareWithASCIIString(key, c.names[i]) == 0) return i;
    return -1;
}

// Parses vectorcall-style arguments into `out` (borrowed; nullptr = default).
static void parse_ctor(int k, PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject** out) {
    const CtorSpec& c = kCtor[k];
    const char* cls = kKindInfo[k].name;
    (void)type;
    for (int i = 0; i < 5; ++i) out[i] = nullptr;
    // Keyword errors first, then too many positional arguments, as the interpreter checks.
    for (Py_ssize_t i = 0; i < nargs && i < c.npos; ++i) out[i] = args[i];
    if (kwnames) {
        Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nk; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            int idx = param_index(c, key);
            if (idx < 0) {
                PyErr_Format(PyExc_TypeError, "%s.__init__() got an unexpected keyword argument '%U'", cls, key);
                throw PyErrorSet{};
            }
            if (out[idx]) {
                PyErr_Format(PyExc_TypeError, "%s.__init__() got multiple values for argument '%s'", cls,
                             c.names[idx]);
                throw PyErrorSet{};
            }
            out[idx] = args[nargs + j];
        }
    }
    if (nargs > c.npos) {
        if (c.npos == c.nrequired)
            PyErr_Format(PyExc_TypeError, "%s.__init__() takes %d positional argument%s but %zd were given", cls,
                         c.npos + 1, c.npos + 1 == 1 ? "" : "s", nargs + 1);
        else
            PyErr_Format(PyExc_TypeError, "%s.__init__() takes from %d to %d positional arguments but %zd were given",
                         cls, c.nrequired + 1, c.npos + 1, nargs + 1);
        throw PyErrorSet{};
    }
    int missing = 0;
    for (int i = 0; i < c.nrequired; ++i)
        if (!out[i]) ++missing;
    if (missing) {
        std::string names;
        int seen = 0;
        for (int i = 0; i < c.nrequired; ++i) {
            if (out[i]) continue;
            ++seen;
            if (seen > 1) names += (seen == missing) ? (missing > 2 ? ", and " : " and ") : ", ";
            names += "'";
            names += c.names[i];
            names += "'";
        }
        PyErr_Format(PyExc_TypeError, "%s.__init__() missing %d required positional argument%s: %s", cls, missing,
                     missing == 1 ? "" : "s", names.c_str());
        throw PyErrorSet{};
    }
}

static PyObject* build(State* st, int k, PyTypeObject* type, PyObject** v) {
    const AstApi& api = st->api;
    PyTypeObject* t = type == api.types[k] ? nullptr : type;
    switch (k) {
        case K_VARIABLE:
            return make_variable(api, t, v[0], v[1] ? v[1] : api.vk_individual, v[2] ? v[2] : api.ind);
        case K_CONSTANT:
            return make_constant(api, t, v[0], v[1] ? v[1] : api.ind);
        case K_FUNCTION_APP:
            return make_function_app(api, t, v[0], v[1], v[2], v[3] ? v[3] : api.ind);
        case K_PREDICATE_APP:
            return make_predicate_app(api, t, v[0], v[1], v[2]);
        case K_EQUALITY:
            return make_equality(api, t, v[0], v[1]);
        case K_NOT:
            return make_not(api, t, v[0]);
        case K_FORALL:
        case K_EXISTS:
            return make_quant(api, k, t, v[0], v[1]);
        default:
            return make_binary(api, k, t, v[0], v[1]);
    }
}

template <int K>
static PyObject* node_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type);
        State* st = state_of_type(tp);
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (tp == st->api.types[K] && !kwnames && nargs >= kCtor[K].nrequired && nargs <= kCtor[K].npos) {
            // Positional arguments only, the optional ones defaulted: no parsing.
            PyObject* v[5] = {};
            for (Py_ssize_t i = 0; i < nargs; ++i) v[i] = args[i];
            return build(st, K, tp, v);
        }
        if (tp != st->api.types[K]) {
            // A Python subclass that inherited this entry point: take the
            // ordinary route through __new__ and __init__.
            Ref targs = Ref::check(PyTuple_New(nargs));
            for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(targs.get(), i, Py_NewRef(args[i]));
            Ref kw;
            if (kwnames && PyTuple_GET_SIZE(kwnames)) {
                kw = Ref::check(PyDict_New());
                for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j)
                    check_int(PyDict_SetItem(kw.get(), PyTuple_GET_ITEM(kwnames, j), args[nargs + j]));
            }
            return PyType_Type.tp_call(type, targs.get(), kw.get());
        }
        PyObject* v[5];
        parse_ctor(K, tp, args, nargs, kwnames, v);
        return build(st, K, tp, v);
    });
}

template <int K>
static PyObject* node_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = state_of_type(type);
        TupleCall call(args, kwds);
        PyObject* v[5];
        parse_ctor(K, type, call.args(), call.nargs(), call.kwnames(), v);
        return build(st, K, type, v);
    });
}

// ---------------------------------------------------------------- slots

// Freeing a deep tree frees its children recursively.  The interpreter's
// trashcan bounds that recursion by a count of levels, which on some versions
// (3.13) is far more than a thread with a small stack holds; so once the
// running thread's C stack is below its floor, children are handed to a
// per-thread list instead, which the first deallocation above the floor
// empties in a loop.  A node flagged NF_PLAIN knows its height: when that is
// small, freeing it recurses no deeper than that, within the margin kept
// above the floor, and it skips both the trashcan and the floor.
static thread_local std::vector<PyObject*> t_release_later;
static thread_local bool t_releasing_later = false;
// What every deallocation reads, in one plain thread-local block so that it
// is looked up once per node: the thread's stack floor (stack_floor(), copied
// on first use) and t_release_later.size().
struct DeallocTls {
    uintptr_t floor;
    size_t pending;
};
static KV_THREAD_LOCAL DeallocTls t_dealloc = {0, 0};
// The height up to which a plain tree is freed without the trashcan: within
// the trashcan's own nesting bound.
static constexpr uint16_t kShallowHeight = 32;

static inline bool below_floor(DeallocTls& t) {
    if (!t.floor) t.floor = stack_floor();
    char probe;
    return reinterpret_cast<uintptr_t>(&probe) < t.floor;
}

static void release_deferred(DeallocTls& t) {
    if (!t.pending || t_releasing_later || below_floor(t)) return;
    t_releasing_later = true;
    while (!t_release_later.empty()) {
        PyObject* o = t_release_later.back();
        t_release_later.pop_back();
        t.pending = t_release_later.size();
        Py_DECREF(o);
    }
    t_releasing_later = false;
}

// Returns the memory of a dead node of kind k, whose fields are released, to
// the pool when it is an exact node of this module, else to its class's
// allocator.  The module is alive while `tp` holds it (ht_module).
//
// The state of the module freed into last is remembered (one module per
// interpreter; module_clear forgets it), so the usual case reads no module.
static PyObject* s_pool_module = nullptr;
static State* s_pool_state = nullptr;

static inline void free_memory(PyObject* self, PyTypeObject* tp, int k) {
    // Exact classes (their dealloc is ours) are made by a kelvara.core.ast module.
    if (tp->tp_dealloc == node_dealloc) {
        PyObject* m = reinterpret_cast<PyHeapTypeObject*>(tp)->ht_module;
        State* st = s_pool_state;
        if (m != s_pool_module) {
            st = m && PyModule_GetDef(m) == &module_def ? static_cast<State*>(PyModule_GetState(m)) : nullptr;
            if (st) {
                s_pool_module = m;
                s_pool_state = st;
            }
        }
        if (st && tp == st->api.types[k] && st->pool.push(self, k, static_cast<size_t>(kKindInfo[k].basicsize)))
            return;
    }
    tp->tp_free(self);
}

void forget_pool_module(PyObject* module) {
    if (s_pool_module == module) {
        s_pool_module = nullptr;
        s_pool_state = nullptr;
    }
}

void close_pool(State* st) {
    bool gc[NodePool::kLayouts];
    size_t size[NodePool::kLayouts];
    for (int l = 0; l < NodePool::kLayouts; ++l) {
        gc[l] = l != K_VARIABLE;
        size[l] = static_cast<size_t>(kKindInfo[l].basicsize);
    }
    st->api.pool = nullptr;
    st->pool.close(gc, size);
}

// The stack is measured once per node: every field is released from this frame.
static void node_release(PyObject* self, PyTypeObject* tp, DeallocTls& t) {
    int k = reinterpret_cast<Node*>(self)->kind;
    PyObject** f = node_fields(self, k);
    int n = kind_owned_fields(k);
    if (below_floor(t)) {
        for (int i = 0; i < n; ++i) {
            PyObject* o = f[i];
            f[i] = nullptr;
            if (o) t_release_later.push_back(o);  // the reference moves to the list
        }
        t.pending = t_release_later.size();
    } else {
        for (int i = 0; i < n; ++i) {
            PyObject* o = f[i];
            f[i] = nullptr;
            Py_XDECREF(o);
        }
    }
    free_memory(self, tp, k);
    Py_DECREF(tp);
}

// Releases the owned fields of a node laid out as T, from offset `first` to
// the end (the count known at compile time, so the loop unrolls).
template <class T>
static inline void drop_fields(PyObject* self, size_t first) {
    PyObject** f = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + first);
    const size_t n = (sizeof(T) - first) / sizeof(PyObject*);
    for (size_t i = 0; i < n; ++i) {
        PyObject* o = f[i];
        f[i] = nullptr;
        Py_XDECREF(o);
    }
}

void node_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    const Node* n = reinterpret_cast<const Node*>(self);
    if ((n->flags & NF_PLAIN) && n->height <= kShallowHeight) {
        // A small plain tree: all it holds is plain nodes, exact tuples of
        // them, strs, ints, interned sorts and VariableKind members, so
        // freeing it recurses at most `height` levels, well within the margin
        // above the stack floor: neither the floor nor the trashcan is
        // consulted.  A GC-safe node was never tracked.
        int k = n->kind;
        if (!(n->flags & NF_GC_SAFE) && PyType_IS_GC(tp)) PyObject_GC_UnTrack(self);
        switch (k) {
            case K_VARIABLE: drop_fields<VariableNode>(self, offsetof(VariableNode, sort)); break;
            case K_CONSTANT: drop_fields<ConstantNode>(self, offsetof(ConstantNode, sort)); break;
            case K_FUNCTION_APP: drop_fields<FunctionAppNode>(self, offsetof(FunctionAppNode, sort)); break;
            case K_PREDICATE_APP: drop_fields<PredicateAppNode>(self, offsetof(PredicateAppNode, pred)); break;
            case K_EQUALITY: drop_fields<EqualityNode>(self, offsetof(EqualityNode, left)); break;
            case K_NOT: drop_fields<NotNode>(self, offsetof(NotNode, operand)); break;
            default: drop_fields<BinaryNode>(self, offsetof(BinaryNode, left)); break;  // and quantifiers
        }
        free_memory(self, tp, k);
        Py_DECREF(tp);
        return;
    }
    DeallocTls& t = t_dealloc;
    if (!PyType_IS_GC(tp)) {
        node_release(self, tp, t);  // Variable: a leaf, no deep chain to bound
        return;
    }
    PyObject_GC_UnTrack(self);
    // The trashcan needs the GC header, which every class but Variable has.
    Py_TRASHCAN_BEGIN(self, node_dealloc)
    node_release(self, tp, t);
    Py_TRASHCAN_END
    release_deferred(t);
}

static int node_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    int k = reinterpret_cast<Node*>(self)->kind;
    PyObject** f = node_fields(self, k);
    for (int i = 0, n = kind_owned_fields(k); i < n; ++i) Py_VISIT(f[i]);
    return 0;
}

static int node_clear(PyObject* self) noexcept {
    // Nodes are immutable: fields stay until deallocation.  The collector
    // breaks cycles through the mutable objects that nodes refer to.
    (void)self;
    return 0;
}

static Py_hash_t node_hash_slot(PyObject* self) noexcept {
    int k = reinterpret_cast<Node*>(self)->kind;
    if (hash_cached(self, k)) return reinterpret_cast<HashedNode*>(self)->hash;
    return boundary<Py_hash_t>(-1, [&] { return leaf_hash(state_of(self)->api, self); });
}

PyObject* node_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(self) != Py_TYPE(other)) Py_RETURN_NOTIMPLEMENTED;
    // Two plain trees are usually settled without the module's state.
    if (self != other && Py_TYPE(self)->tp_dealloc == node_dealloc) {
        int eq = plain_trees_equal(node_dealloc, self, other);
        if (eq >= 0) return PyBool_FromLong(op == Py_EQ ? eq : !eq);
    }
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = state_of(self);
        int eq = ordered_nodes_equal(st->api, self, other);
        return PyBool_FromLong(op == Py_EQ ? eq : !eq);
    });
}

static PyObject* type_qualname(PyTypeObject* tp) {
    return check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(tp), "__qualname__"));
}

static PyObject* node_repr(PyObject* self) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        RecursionGuard guard(" while getting the repr of a node");
        int k = reinterpret_cast<Node*>(self)->kind;
        const KindInfo& ki = kKindInfo[k];
        Ref name;
        if (Py_TYPE(self)->tp_dealloc == node_dealloc) name = Ref::check(PyUnicode_FromString(ki.name));
        else name = Ref::check(type_qualname(Py_TYPE(self)));
        TextBuilder w;
        w.append(name.get());
        w.append_ascii("(");
        bool first = true;
        for (int i = 0; i < ki.nfields; ++i) {
            if (!(ki.fields[i].flags & F_COMPARED)) continue;
            if (!first) w.append_ascii(", ");
            first = false;
            w.append_ascii(ki.fields[i].name);
            w.append_ascii("=");
            PyObject* val = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + ki.fields[i].offset);
            Ref r = Ref::check(PyObject_Repr(val));
            w.append(r.get());
        }
        w.append_ascii(")");
        return w.finish();
    });
}

static bool is_field_name(int k, PyObject* name) {
    if (!PyUnicode_Check(name)) return false;
    const KindInfo& ki = kKindInfo[k];
    for (int i = 0; i < ki.nfields; ++i)
        if (PyUnicode_CompareWithASCIIString(name, ki.fields[i].name) == 0) return true;
    return false;
}

static int node_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
    return boundary<int>(-1, [&]() -> int {
        int k = reinterpret_cast<Node*>(self)->kind;
        if (Py_TYPE(self)->tp_dealloc == node_dealloc || is_field_name(k, name)) {
            State* st = state_of(self);
            Ref msg = Ref::check(PyUnicode_FromFormat(value ? "cannot assign to field %R" : "cannot delete field %R",
                                                      name));
            PyErr_SetObject(st->frozen_error, msg.get());
            return -1;
        }
        return PyObject_GenericSetAttr(self, name, value);
    });
}

// ---------------------------------------------------------------- methods

static PyObject* node_reduce(PyObject* self, PyObject*) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = state_of(self);
        int k = reinterpret_cast<Node*>(self)->kind;
        const CtorSpec& c = kCtor[k];
        const KindInfo& ki = kKindInfo[k];
        PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
        Ref args = Ref::check(PyTuple_New(c.npos));
        for (int i = 0; i < c.npos; ++i) {
            for (int j = 0; j < ki.nfields; ++j) {
                if (std::strcmp(ki.fields[j].name, c.names[i]) == 0) {
                    PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + ki.fields[j].offset);
                    PyTuple_SET_ITEM(args.get(), i, Py_NewRef(v));
                }
            }
        }
        Ref state;
        if (Ref d = instance_dict_of(self); d && PyDict_Check(d.get()) && PyDict_GET_SIZE(d.get()) > 0)
            state = std::move(d);
        // Only Variable and Constant have a keyword-only field that is not derived.
        PyObject* sort = nullptr;
        if (k == K_VARIABLE) sort = reinterpret_cast<VariableNode*>(self)->sort;
        if (k == K_CONSTANT) sort = reinterpret_cast<ConstantNode*>(self)->sort;
        if (sort && sort != st->api.ind) {
            Ref kw = Ref::check(PyDict_New());
            check_int(PyDict_SetItem(kw.get(), st->api.s_sort, sort));
            Ref inner = Ref::check(PyTuple_Pack(3, cls, args.get(), kw.get()));
            if (state) return PyTuple_Pack(3, st->newobj_ex, inner.get(), state.get());
            return PyTuple_Pack(2, st->newobj_ex, inner.get());
        }
        if (state) return PyTuple_Pack(3, cls, args.get(), state.get());
        return PyTuple_Pack(2, cls, args.get());
    });
}

static PyObject* node_copy(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }
static PyObject* node_deepcopy(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

static PyObject* get_free_vars(PyObject* self, void*) noexcept {
    return boundary<PyObject*>(nullptr, [&] { return free_vars_frozenset(self, reinterpret_cast<Node*>(self)->kind); });
}

static PyGetSetDef free_vars_getset[] = {
    {"_free_vars", get_free_vars, nullptr, "Free variables of the node, cached at construction.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
static PyGetSetDef empty_getset[] = {
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMethodDef node_methods[] = {
    {"__reduce__", node_reduce, METH_NOARGS, "Return state information for pickling."},
    {"__copy__", node_copy, METH_NOARGS, "Nodes are immutable: a copy is the node itself."},
    {"__deepcopy__", node_deepcopy, METH_O, "Nodes are immutable: a deep copy is the node itself."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- type creation

static const char* const kDocs[K_COUNT] = {
    "Represents an individual variable v_id with an integer index, sort, and kind.",
    "Represents a constant symbol c_name with a sort annotation.",
    "Represents function application f(t_1, ..., t_k).",
    "Represents predicate application P(t_1, ..., t_k).",
    "Represents term equality t_1 = t_2.",
    "Represents logical negation ~operand.",
    "Represents logical conjunction left & right.",
    "Represents logical disjunction left | right.",
    "Represents logical implication left => right.",
    "Represents logical equivalence left <=> right.",
    "Represents universal quantification forall variable. body.",
    "Represents existential quantification exists variable. body.",
};

static newfunc kNew[K_COUNT] = {
    node_new<0>, node_new<1>, node_new<2>, node_new<3>, node_new<4>,  node_new<5>,
    node_new<6>, node_new<7>, node_new<8>, node_new<9>, node_new<10>, node_new<11>,
};
static vectorcallfunc kVectorcall[K_COUNT] = {
    node_vectorcall<0>, node_vectorcall<1>, node_vectorcall<2>,  node_vectorcall<3>,
    node_vectorcall<4>, node_vectorcall<5>, node_vectorcall<6>,  node_vectorcall<7>,
    node_vectorcall<8>, node_vectorcall<9>, node_vectorcall<10>, node_vectorcall<11>,
};

// inspect.signature() support.  Text signatures cannot carry non-literal
// defaults (VariableKind.INDIVIDUAL, Ind), so each class gets a __signature__
// descriptor that builds the Signature on first use; subclasses that define
// their own __init__ or __new__ do not see it.
static const char kSignatureSource[] = R"PY(
class _ConstructorSignature:
    __slots__ = ("_cls", "_params", "_sig")

    def __init__(self, cls, params):
        self._cls = cls
        self._params = params
        self._sig = None

    def __get__(self, obj, owner=None):
        if obj is not None or owner is None:
            raise AttributeError("__signature__")
        for klass in owner.__mro__:
            if klass is self._cls:
                break
            if "__init__" in klass.__dict__ or "__new__" in klass.__dict__:
                raise AttributeError("__signature__")
        if self._sig is None:
            import inspect
            P = inspect.Parameter
            kinds = {"p": P.POSITIONAL_OR_KEYWORD, "k": P.KEYWORD_ONLY}
            self._sig = inspect.Signature(
                [P(name, kinds[kind], default=default) for name, kind, default in self._params])
        return self._sig


def install(types, VariableKind, Ind):
    E = object()
    import inspect
    empty = inspect.Parameter.empty
    req = lambda name: (name, "p", empty)
    table = {
        "Variable": [req("id"), ("kind", "p", VariableKind.INDIVIDUAL), ("sort", "k", Ind)],
        "Constant": [req("name"), ("sort", "k", Ind)],
        "FunctionApp": [req("func"), req("arity"), req("args"), ("return_sort", "p", Ind), ("sort", "k", Ind)],
        "PredicateApp": [req("pred"), req("arity"), req("args")],
        "Equality": [req("left"), req("right")],
        "Not": [req("operand")],
        "Forall": [req("variable"), req("body")],
        "Exists": [req("variable"), req("body")],
    }
    for name in ("And", "Or", "Implies", "Iff"):
        table[name] = [req("left"), req("right")]
    for cls in types:
        type.__setattr__(cls, "__signature__", _ConstructorSignature(cls, table[cls.__name__]))
)PY";

static void install_signatures(State* st) {
    Ref globals = Ref::check(PyDict_New());
    check_int(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()));
    check_int(PyDict_SetItemString(globals.get(), "__name__", st->api.s_name));
    Ref code = Ref::check(PyRun_String(kSignatureSource, Py_file_input, globals.get(), globals.get()));
    PyObject* install = PyDict_GetItemString(globals.get(), "install");
    if (!install) throw PyErrorSet{};
    Ref types = Ref::check(PyTuple_New(K_COUNT));
    for (int k = 0; k < K_COUNT; ++k)
        PyTuple_SET_ITEM(types.get(), k, Py_NewRef(reinterpret_cast<PyObject*>(st->api.types[k])));
    Ref r = Ref::check(PyObject_CallFunctionObjArgs(install, types.get(), st->variable_kind, st->api.ind, nullptr));
}

static PyObject* abstract_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) {
        PyObject* m = reinterpret_cast<PyHeapTypeObject*>(type)->ht_module;
        if (m && PyModule_GetDef(m) == &module_def) {
            PyErr_Format(PyExc_TypeError, "Can't instantiate abstract class %s", type->tp_name);
            return nullptr;
        }
    }
    PyObject* empty = PyTuple_New(0);
    if (!empty) return nullptr;
    PyObject* r = PyBaseObject_Type.tp_new(type, empty, nullptr);
    Py_DECREF(empty);
    return r;
}

static void abstract_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// The qualified name of a node class, in storage that outlives the class:
// 3.10 keeps PyType_Spec.name itself as tp_name (later versions copy it).
// The names are few and fixed, so each is made once and kept for good (never
// freed, not even at exit, when a class may still be in use).
static const char* type_name(const char* name) {
    static auto* names = new std::vector<std::unique_ptr<std::string>>;
    for (const auto& s : *names)
        if (s->compare(sizeof("kelvara.core.ast.") - 1, std::string::npos, name) == 0) return s->c_str();
    names->push_back(std::make_unique<std::string>(std::string("kelvara.core.ast.") + name));
    return names->back()->c_str();
}

static PyTypeObject* make_abstract(PyObject* module, const char* name, const char* doc) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(abstract_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(abstract_dealloc)},
        {Py_tp_doc, const_cast<char*>(doc)},
        {0, nullptr},
    };
    PyType_Spec spec = {type_name(name), sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromModuleAndSpec(module, &spec, nullptr)));
}

void create_node_types(PyObject* module, State* st) {
    AstApi& api = st->api;
    api.term_type = make_abstract(module, "Term", "Term()\n--\n\nAbstract Base Class for all term AST nodes.");
    check_int(PyModule_AddObjectRef(module, "Term", reinterpret_cast<PyObject*>(api.term_type)));
    api.formula_type = make_abstract(module, "Formula", "Formula()\n--\n\nAbstract Base Class for all formula AST nodes.");
    check_int(PyModule_AddObjectRef(module, "Formula", reinterpret_cast<PyObject*>(api.formula_type)));
    api.node_dealloc = node_dealloc;
    api.node_richcompare = node_richcompare;

    for (int k = 0; k < K_COUNT; ++k) {
        const KindInfo& ki = kKindInfo[k];
        PyMemberDef members[8] = {};
        int nm = 0;
        for (int i = 0; i < ki.nfields; ++i) {
            if (std::strcmp(ki.fields[i].name, "_free_vars") == 0) continue;  // a getter, below
            bool is_hash = std::strcmp(ki.fields[i].name, "_hash_cache") == 0;
            members[nm++] = PyMemberDef{const_cast<char*>(ki.fields[i].name), is_hash ? T_PYSSIZET : T_OBJECT_EX,
                                        ki.fields[i].offset, READONLY, nullptr};
        }
        PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(kNew[k])},
            {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
            {Py_tp_traverse, reinterpret_cast<void*>(node_traverse)},
            {Py_tp_clear, reinterpret_cast<void*>(node_clear)},
            {Py_tp_hash, reinterpret_cast<void*>(node_hash_slot)},
            {Py_tp_richcompare, reinterpret_cast<void*>(node_richcompare)},
            {Py_tp_repr, reinterpret_cast<void*>(node_repr)},
            {Py_tp_setattro, reinterpret_cast<void*>(node_setattro)},
            {Py_tp_members, members},
            {Py_tp_getset, kind_has_free_vars(k) ? free_vars_getset : empty_getset},
            {Py_tp_methods, node_methods},
            {Py_tp_doc, const_cast<char*>(kDocs[k])},
            {Py_tp_free, reinterpret_cast<void*>(k == K_VARIABLE ? PyObject_Del : PyObject_GC_Del)},
            {0, nullptr},
        };
        unsigned long gc_flag = k == K_VARIABLE ? 0 : Py_TPFLAGS_HAVE_GC;
        PyType_Spec spec = {type_name(ki.name), static_cast<int>(ki.basicsize), 0,
                            static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | gc_flag), slots};
        PyObject* base = reinterpret_cast<PyObject*>(k <= K_FUNCTION_APP ? api.term_type : api.formula_type);
        PyTypeObject* tp =
            reinterpret_cast<PyTypeObject*>(check(PyType_FromModuleAndSpec(module, &spec, base)));
        api.types[k] = tp;
        tp->tp_vectorcall = kVectorcall[k];

        const CtorSpec& c = kCtor[k];
        Ref match = Ref::check(PyTuple_New(c.npos));
        for (int i = 0; i < c.npos; ++i)
            PyTuple_SET_ITEM(match.get(), i, check(PyUnicode_InternFromString(c.names[i])));
        check_int(PyObject_SetAttrString(reinterpret_cast<PyObject*>(tp), "__match_args__", match.get()));
        check_int(PyModule_AddObjectRef(module, ki.name, reinterpret_cast<PyObject*>(tp)));
    }
    install_signatures(st);
}

}  // namespace kv::ast
