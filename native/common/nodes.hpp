// Memory layout of the term and formula nodes, and the construction, hashing
// and free-variable routines shared by every extension module.
//
// Layout: every node starts with PyObject_HEAD followed by a one-byte kind tag
// (the node's base class, also for instances of Python subclasses), a byte of
// flags and the hash, then the fields as owned references, contiguous, in
// field order.  Compound nodes always cache their hash; a Variable or Constant
// caches it when its fields hash immutably (interned sort, int or str, a
// VariableKind member: NF_HASH_CACHED) and otherwise hashes its fields on every
// call.  The fields of a kind are listed in kKindInfo.
//
// Variable is the one class without cycle-collector support: it is a leaf whose
// fields are normally a sort, an int and a VariableKind member, and dropping the
// GC header keeps it at 56 bytes with its hash cached.  (A cycle through a
// user-supplied sort object would not be collected; it cannot crash.)  A
// binary connective is 48 bytes plus the 16-byte GC header.
//
// A node is "exact" when its type is one of the twelve node classes itself
// (not a Python subclass).  All twelve share one tp_dealloc, which Python
// subclasses replace, so `Py_TYPE(o)->tp_dealloc == api.node_dealloc` is the
// exactness test; the kind byte then says which class it is.
#pragma once

#include "common/compat.hpp"
#include "common/node_pool.hpp"
#include "common/ref.hpp"

#include <cstdint>
#include <cstddef>
#include <utility>
#include <vector>

namespace kv {

enum Kind : uint8_t {
    K_VARIABLE = 0,
    K_CONSTANT,
    K_FUNCTION_APP,
    K_PREDICATE_APP,
    K_EQUALITY,
    K_NOT,
    K_AND,
    K_OR,
    K_IMPLIES,
    K_IFF,
    K_FORALL,
    K_EXISTS,
    K_COUNT,
    K_NONE = 0xff,
};

#define KV_NODE_HEAD \
    PyObject_HEAD    \
    uint8_t kind;    \
    uint8_t flags;   \
    uint16_t height;  // with NF_PLAIN: levels of the subtree (a leaf: 1), at most 0xffff

struct Node {
    KV_NODE_HEAD
};
struct HashedNode {
    KV_NODE_HEAD
    Py_hash_t hash;  // cached at construction (Variable, Constant: see NF_HASH_CACHED)
};
struct VariableNode {
    KV_NODE_HEAD
    Py_hash_t hash;
    PyObject* sort;   // Sort
    PyObject* id;     // int, non-negative
    PyObject* vkind;  // VariableKind member
};
struct ConstantNode {
    KV_NODE_HEAD
    Py_hash_t hash;
    PyObject* sort;  // Sort
    PyObject* name;  // non-empty name
};
struct FunctionAppNode {
    KV_NODE_HEAD
    Py_hash_t hash;
    PyObject* sort;         // always the same object as return_sort
    PyObject* func;         // str or function variable
    PyObject* arity;        // int
    PyObject* args;         // tuple of terms
    PyObject* return_sort;  // Sort
    PyObject* free_vars;    // frozenset of Variable, the single Variable (NF_FV_SINGLE) or a few (NF_FV_FEW)
};
struct PredicateAppNode {
    KV_NODE_HEAD
    Py_hash_t hash;
    PyObject* pred;       // str or predicate variable
    PyObject* arity;      // int
    PyObject* args;       // tuple of terms
    PyObject* free_vars;  // frozenset of Variable, the single Variable (NF_FV_SINGLE) or a few (NF_FV_FEW)
};
struct EqualityNode {
    KV_NODE_HEAD
    Py_hash_t hash;
    PyObject* left;
    PyObject* right;
    PyObject* free_vars;  // frozenset of Variable, the single Variable (NF_FV_SINGLE) or a few (NF_FV_FEW)
};
struct NotNode {
    KV_NODE_HEAD
    Py_hash_t hash;
    PyObject* operand;
};
struct BinaryNode {  // And, Or, Implies, Iff
    KV_NODE_HEAD
    Py_hash_t hash;
    PyObject* left;
    PyObject* right;
};
struct QuantNode {  // Forall, Exists
    KV_NODE_HEAD
    Py_hash_t hash;
    PyObject* variable;
    PyObject* body;
};

// The value of an exact int whose magnitude fits one internal digit (the ints
// node fields hold: ids, arities); false for any other object.
inline bool small_int_value(PyObject* o, long& v) { return PyLong_CheckExact(o) && compact_int_value(o, v); }

// Large collections of formulas do not fit in the caches, and walks chase
// pointers: a node's address is known only once its parent is loaded.
// Requesting the nodes a walk reads next (a right operand while the left one
// is walked, every argument of a tuple at once) lets their loads overlap.
// The hint covers the header, kind, hash and fields (two cache lines).
[[gnu::always_inline]] inline void prefetch_node([[maybe_unused]] const void* o) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(o);
    __builtin_prefetch(static_cast<const char*>(o) + 48);
#endif
}

// A stack with inline storage for the common shallow case.
template <class T, size_t N>
class SmallStack {
public:
    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }
    template <class... A>
    void emplace_back(A&&... a) {
        if (size_ < N) {
            inline_[size_] = T(std::forward<A>(a)...);
        } else {
            if (heap_.size() < size_ - N + 1) heap_.resize(size_ - N + 1);
            heap_[size_ - N] = T(std::forward<A>(a)...);
        }
        ++size_;
    }
    T& back() { return (*this)[size_ - 1]; }
    T& operator[](size_t i) { return i < N ? inline_[i] : heap_[i - N]; }
    void pop_back() { --size_; }

private:
    T inline_[N];
    std::vector<T> heap_;
    size_t size_ = 0;
};

// Node flags.
enum NodeFlags : uint8_t {
    // The free_vars field holds the one free Variable itself rather than a
    // frozenset; `_free_vars` materialises (and caches) the frozenset on first
    // read.  Always go through free_vars_frozenset() or for_each_free_var().
    NF_FV_SINGLE = 1,
    // Variable and Constant: `hash` holds the hash (fields hash immutably).
    NF_HASH_CACHED = 2,
    // An exact node whose fields are all GC-safe (see gc_safe in construct.cpp):
    // left untracked by the cycle collector for its whole life.
    NF_GC_SAFE = 4,
    // An exact node whose whole subtree is exact nodes, with application
    // arguments in exact tuples, quantifiers binding Variables, and
    // Variables whose hash is cached from an exact int id, a VariableKind
    // member and an interned sort; `height` holds the subtree's levels.
    // Walks that need such a tree read it here instead of checking every node.
    NF_PLAIN = 8,
    // The free_vars field holds a tuple of two to kFewFreeVars exact
    // Variables whose cached hashes all differ: the frozenset made by adding
    // them in tuple order to an empty one, not made yet.  Reading it through
    // free_vars_cache() or free_vars_frozenset() makes that frozenset and
    // caches it in its place.
    NF_FV_FEW = 16,
};
// The flags that say how the free_vars field holds its value.
constexpr uint8_t kFreeVarFlags = NF_FV_SINGLE | NF_FV_FEW;
// The most variables a free-variable cache keeps in a tuple (NF_FV_FEW).
constexpr int kFewFreeVars = 4;


// True when `hash` of a node of kind k holds its hash.
inline bool hash_cached(PyObject* o, int k) {
    return k >= 2 || (reinterpret_cast<const Node*>(o)->flags & NF_HASH_CACHED);
}

inline bool kind_is_binary(int k) { return k >= K_AND && k <= K_IFF; }
inline bool kind_is_quant(int k) { return k == K_FORALL || k == K_EXISTS; }
inline bool kind_has_free_vars(int k) { return k == K_FUNCTION_APP || k == K_PREDICATE_APP || k == K_EQUALITY; }

// Static description of a node class: its name, its fields and how they behave.
enum FieldFlags : uint8_t {
    F_COMPARED = 1,    // part of equality and repr
    F_POSITIONAL = 2,  // constructor parameter, positional or keyword
    F_KWONLY = 4,      // constructor parameter, keyword only
    F_DERIVED = 8,     // computed at construction, read-only attribute
};
struct FieldInfo {
    const char* name;
    Py_ssize_t offset;
    uint8_t flags;
};
struct KindInfo {
    const char* name;
    Py_ssize_t basicsize;
    Py_ssize_t first_field;  // offset of the first owned PyObject* field
    int nfields;
    FieldInfo fields[7];
};
extern const KindInfo kKindInfo[K_COUNT];

inline PyObject** node_fields(PyObject* o, int k) {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + kKindInfo[k].first_field);
}

// Everything a module needs to recognise, read and build nodes.  The ast module
// fills one for itself; visitors and rules fill theirs from the imported ast
// module.  All references are owned.
struct AstApi {
    PyTypeObject* types[K_COUNT] = {};
    PyTypeObject* term_type = nullptr;
    PyTypeObject* formula_type = nullptr;
    destructor node_dealloc = nullptr;
    richcmpfunc node_richcompare = nullptr;
    PyObject* invalid_formula_error = nullptr;
    PyObject* ind = nullptr;            // default sort
    PyObject* vk_individual = nullptr;  // VariableKind members
    PyObject* vk_predicate = nullptr;
    PyObject* vk_function = nullptr;
    Py_hash_t vk_hash[3] = {};          // their hashes, taken once
    mutable Py_hash_t type_hashes[K_COUNT] = {};  // hashes of the node classes, taken on first use (0: not yet)
    PyObject* empty_frozenset = nullptr;
    PyObject* zero = nullptr;        // int 0
    PyObject* sort_types = nullptr;  // tuple of interned sort classes (GC-safe leaves)
    // Interned attribute names.
    PyObject* s_index = nullptr;
    PyObject* s_arity = nullptr;
    PyObject* s_name = nullptr;
    PyObject* s_free_vars = nullptr;
    PyObject* s_body = nullptr;
    PyObject* s_variable = nullptr;
    PyObject* s_operand = nullptr;
    PyObject* s_left = nullptr;
    PyObject* s_right = nullptr;
    PyObject* s_args = nullptr;
    PyObject* s_id = nullptr;
    PyObject* s_sort = nullptr;
    PyObject* s_kind = nullptr;
    PyObject* s_func = nullptr;
    PyObject* s_pred = nullptr;
    PyObject* s_return_sort = nullptr;
    // Names of the second-order quantifier classes, matched by exact name.
    PyObject* s_ForallPred = nullptr;
    PyObject* s_ExistsPred = nullptr;
    PyObject* s_ForallFunc = nullptr;
    PyObject* s_ExistsFunc = nullptr;
    // Recycled node memory, in the ast module's state (nullptr: allocate
    // every node).  Outside that module, pool_owner is a strong reference to
    // the module, which keeps the pool alive.
    NodePool* pool = nullptr;
    PyObject* pool_owner = nullptr;

    // Kind of `o` when it is an exact node, else -1.
    int exact_kind(PyObject* o) const {
        return Py_TYPE(o)->tp_dealloc == node_dealloc ? reinterpret_cast<Node*>(o)->kind : -1;
    }
    // Kind of `o` when it is an instance of a node class or of a subclass, else -1.
    int instance_kind(PyObject* o) const {
        if (Py_TYPE(o)->tp_dealloc == node_dealloc) return reinterpret_cast<Node*>(o)->kind;
        for (PyTypeObject* t = Py_TYPE(o); t; t = t->tp_base) {
            if (t->tp_dealloc == node_dealloc) return reinterpret_cast<Node*>(o)->kind;
        }
        return -1;
    }
    // Hash of a VariableKind member without calling into Python; false for other objects.
    bool kind_hash(PyObject* o, Py_hash_t& h) const {
        if (o == vk_individual) h = vk_hash[0];
        else if (o == vk_predicate) h = vk_hash[1];
        else if (o == vk_function) h = vk_hash[2];
        else return false;
        return true;
    }
    // Fills vk_hash from the three members.
    void init_kind_hashes();
    // True when the class of `o` is named like one of the four second-order quantifiers.
    bool is_sol_quantifier(PyObject* o) const;

    int traverse(visitproc visit, void* arg);
    void clear();
    // Fills the sorts, exception, names and constants (not the node types).
    void init_common();
    // Fills everything from an imported ast module.
    void init_from_module(PyObject* ast_module);
};

// The height of a node flagged NF_PLAIN, or 0 when `o` is not one.
inline unsigned plain_height(const AstApi& api, PyObject* o) {
    if (Py_TYPE(o)->tp_dealloc != api.node_dealloc) return 0;
    const Node* n = reinterpret_cast<const Node*>(o);
    return (n->flags & NF_PLAIN) ? n->height : 0;
}

// A dead exact node of kind k's layout from the pool, revived as a new object
// of the exact class (fields not set); nullptr when the pool has none.
[[gnu::always_inline]] inline PyObject* pop_pooled(const AstApi& api, int k) {
    PyObject* o;
    if (!api.pool || !(o = api.pool->pop(k, static_cast<size_t>(kKindInfo[k].basicsize)))) return nullptr;
    PyTypeObject* tp = api.types[k];
    Py_SET_TYPE(o, tp);
    Py_INCREF(tp);
    revive_object(o);
    return o;
}

// ---- construction (all validate exactly like the Python-level constructors) ----
// Each returns a new reference and throws PyErrorSet on error.  `type` may be a
// subclass of the node class; nullptr means the exact class.
PyObject* make_variable(const AstApi& api, PyTypeObject* type, PyObject* id, PyObject* vkind, PyObject* sort);
PyObject* make_constant(const AstApi& api, PyTypeObject* type, PyObject* name, PyObject* sort);
PyObject* make_function_app(const AstApi& api, PyTypeObject* type, PyObject* func, PyObject* arity,
                            PyObject* args, PyObject* return_sort);
PyObject* make_predicate_app(const AstApi& api, PyTypeObject* type, PyObject* pred, PyObject* arity,
                             PyObject* args);
PyObject* make_equality(const AstApi& api, PyTypeObject* type, PyObject* left, PyObject* right);
PyObject* make_not(const AstApi& api, PyTypeObject* type, PyObject* operand);
// And, Or, Implies, Iff (k selects the class).
PyObject* make_binary(const AstApi& api, int k, PyTypeObject* type, PyObject* left, PyObject* right);
// Forall, Exists.
PyObject* make_quant(const AstApi& api, int k, PyTypeObject* type, PyObject* variable, PyObject* body);

// Copies for rewriting walks: an exact node like `orig` (an exact FunctionApp
// or PredicateApp of kind k, or an exact Equality), whose fields passed the
// constructor's checks, with new children.  With `same_value` the children
// equal orig's one by one (the same objects or equal copies), and orig's hash
// and free variables are taken over instead of computed.
PyObject* derive_app(const AstApi& api, PyObject* orig, int k, PyObject* args, bool same_value);
PyObject* derive_equality(const AstApi& api, PyObject* orig, PyObject* left, PyObject* right, bool same_value);

// Copies for a walk that copies a plain tree (NF_PLAIN) node for node,
// keeping symbols, arities and sorts and every leaf, or putting a plain
// Variable in the place of one: the exact node like `like` with new children,
// plain with like's height and GC-safe (untracked) exactly when like is.
// copy_plain_connective: a Not (`second` unused), a binary connective or a
// first-order quantifier, whose children have cached hashes.  copy_plain_app
// and copy_plain_equality: as derive_app and derive_equality.
// copy_plain_variable: a plain Variable of like's sort and kind with index `id`
// (non-negative and compact).
PyObject* copy_plain_connective(const AstApi& api, PyObject* like, PyObject* first, PyObject* second);
PyObject* copy_plain_app_same(const AstApi& api, PyObject* like, PyObject* args);
PyObject* copy_plain_app_renamed(const AstApi& api, PyObject* like, PyObject* args);
inline PyObject* copy_plain_app(const AstApi& api, PyObject* like, PyObject* args, bool same_value) {
    return same_value ? copy_plain_app_same(api, like, args) : copy_plain_app_renamed(api, like, args);
}
PyObject* copy_plain_equality(const AstApi& api, PyObject* like, PyObject* left, PyObject* right, bool same_value);
PyObject* copy_plain_variable(const AstApi& api, PyObject* like, long id);

// Hash of a Variable or Constant computed from its fields (as hash() of the
// tuple of its compared fields).
Py_hash_t leaf_hash(const AstApi& api, PyObject* node);

// Number of owned PyObject* slots of kind k (compared and derived fields):
// those from first_field to the end of the struct.
inline int kind_owned_fields(int k) {
    return static_cast<int>((kKindInfo[k].basicsize - kKindInfo[k].first_field) / sizeof(PyObject*));
}

// free_variables(node): a new mutable set.
PyObject* free_variables(const AstApi& api, PyObject* node);
// Adds the free variables of `node` to the set `acc`.
void add_free_variables(const AstApi& api, PyObject* node, PyObject* acc);

// Location of the free-variable cache of an exact FunctionApp, PredicateApp or
// Equality (kind k); nullptr for other kinds.
inline PyObject** free_vars_field(PyObject* node, int k) {
    switch (k) {
        case K_FUNCTION_APP: return &reinterpret_cast<FunctionAppNode*>(node)->free_vars;
        case K_PREDICATE_APP: return &reinterpret_cast<PredicateAppNode*>(node)->free_vars;
        case K_EQUALITY: return &reinterpret_cast<EqualityNode*>(node)->free_vars;
        default: return nullptr;
    }
}
inline bool free_vars_single(PyObject* node) { return reinterpret_cast<Node*>(node)->flags & NF_FV_SINGLE; }

// The cached free variables of an atom or application (kind k) as a frozenset
// (new reference); materialises and caches it when the node holds a single
// variable or a few.
PyObject* free_vars_frozenset(PyObject* node, int k);

// Replaces the tuple of a node flagged NF_FV_FEW by the frozenset it stands for.
void materialize_free_vars_few(PyObject* node, int k);

// The free-variable cache of an atom or application (kind k), borrowed: a
// frozenset, or the single Variable when free_vars_single(node).  A tuple of
// a few is made into its frozenset first, so that the elements come in that set's
// order wherever the cache is iterated or merged.
inline PyObject* free_vars_cache(PyObject* node, int k) {
    if (reinterpret_cast<Node*>(node)->flags & NF_FV_FEW) materialize_free_vars_few(node, k);
    return *free_vars_field(node, k);
}

// Whether an atom or application (kind k) has free variables, read without making a set.
inline bool has_cached_free_vars(PyObject* node, int k) {
    if (reinterpret_cast<Node*>(node)->flags & kFreeVarFlags) return true;
    return PySet_GET_SIZE(*free_vars_field(node, k)) != 0;
}

// Calls f(variable) for each cached free variable of an atom or application.
template <class F>
inline void for_each_free_var(PyObject* node, int k, F&& f) {
    PyObject* fv = free_vars_cache(node, k);
    if (free_vars_single(node)) {
        f(fv);
        return;
    }
    for_each_in_set(fv, f);
}

// The `args` of an exact FunctionApp or PredicateApp (kind k) when they are an
// exact tuple, the one layout native code may index directly; nullptr
// otherwise.  Constructors accept any sized, hashable iterable (a frozenset, a
// tuple subclass with its own __iter__), which only iteration reads as the
// Python code does: code that indexes `args` must ask here first.
inline PyObject* indexable_args(PyObject* node, int k) {
    PyObject* args = k == K_FUNCTION_APP ? reinterpret_cast<FunctionAppNode*>(node)->args
                                         : reinterpret_cast<PredicateAppNode*>(node)->args;
    return PyTuple_CheckExact(args) ? args : nullptr;
}

// Structural equality of two objects that may be nodes; iterative, so deep
// trees do not exhaust the C stack.  Returns 1, 0 or throws.
int nodes_equal(const AstApi& api, PyObject* a, PyObject* b);
// The part of nodes_equal that runs no Python code, for two exact nodes of one
// class (`node_dealloc` is AstApi::node_dealloc): 1 or 0 when it settles the
// comparison (both trees NF_PLAIN, only the same objects, exact str and
// compact exact ints in their fields), -1 when only nodes_equal can tell.
int plain_trees_equal(destructor node_dealloc, PyObject* a, PyObject* b);
// nodes_equal without that first part (for callers that already ran it).
int ordered_nodes_equal(const AstApi& api, PyObject* a, PyObject* b);

// Reads a field of a node of kind k: from the struct for exact nodes, through
// attribute access for instances of subclasses.
Ref node_attribute(PyObject* node, PyObject* name);
inline Ref node_field(const AstApi& api, PyObject* node, int k, PyObject* name, Py_ssize_t offset) {
    if (api.exact_kind(node) == k)
        return Ref::borrow(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(node) + offset));
    return node_attribute(node, name);
}

// Raises InvalidFormulaError with `msg` (a new str reference is consumed).
[[noreturn]] void raise_invalid(const AstApi& api, PyObject* msg);
[[noreturn]] void raise_invalid(const AstApi& api, const char* msg);

}  // namespace kv
