// Structural equality of nodes.  Two trees flagged NF_PLAIN are first
// compared without running Python code (plain_trees_equal);
// what that cannot settle, and every other pair, goes through the ordered
// comparison: exact nodes by a bounded recursion over the fields their layouts
// lay out (kind switch, cached hashes first, same objects, exact str and exact
// int fields settled in place); deeper subtrees, subclass instances and other
// values through a walk with an explicit stack, which calls back into Python
// only for fields it cannot settle, in left-to-right field order.
#include "common/nodes.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kv {

namespace {

struct Pair {
    PyObject* x;
    PyObject* y;
};

// The pairs still to compare, innermost last.  Inline storage (left
// uninitialised) covers ordinary trees; deep ones move to the heap.
class PairStack {
public:
    bool empty() const { return size_ == 0; }
    void push(PyObject* x, PyObject* y) {
        if (size_ == cap_) grow();
        data_[size_++] = Pair{x, y};
    }
    Pair pop() { return data_[--size_]; }

private:
    void grow() {
        size_t cap = cap_ * 2;
        std::unique_ptr<Pair[]> heap(new Pair[cap]);
        std::memcpy(heap.get(), data_, size_ * sizeof(Pair));
        heap_ = std::move(heap);
        data_ = heap_.get();
        cap_ = cap;
    }

    static constexpr size_t kInline = 64;
    Pair inline_[kInline];
    Pair* data_ = inline_;
    size_t size_ = 0;
    size_t cap_ = kInline;
    std::unique_ptr<Pair[]> heap_;
};

// 1 or 0 when x and y compare without running Python code (the same object,
// two exact str, two exact int), -1 when only the generic comparison can tell.
inline int plain_equal(PyObject* x, PyObject* y) {
    if (x == y) return 1;
    PyTypeObject* t = Py_TYPE(x);
    if (t != Py_TYPE(y)) return -1;
    if (t == &PyUnicode_Type) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(x);
        unsigned kind = PyUnicode_KIND(x);
        if (n != PyUnicode_GET_LENGTH(y) || kind != PyUnicode_KIND(y)) return 0;
        return std::memcmp(PyUnicode_DATA(x), PyUnicode_DATA(y), static_cast<size_t>(n) * kind) == 0;
    }
    if (t == &PyLong_Type) {
        long a, b;
        if (compact_int_value(x, a) && compact_int_value(y, b)) return a == b;
        PyObject* r = t->tp_richcompare(x, y, Py_EQ);
        if (!r) return -1;  // cannot happen for two ints; let the generic path report it
        int eq = r == Py_True;
        Py_DECREF(r);
        return eq;
    }
    return -1;
}

template <class T>
inline T* as(PyObject* o) {
    return reinterpret_cast<T*>(o);
}

// The arguments after the first of two tuples of length n, requested before the first is compared.
inline void prefetch_args(PyObject* a, PyObject* b, Py_ssize_t n) {
    for (Py_ssize_t i = 1; i < n; ++i) {
        prefetch_node(PyTuple_GET_ITEM(a, i));
        prefetch_node(PyTuple_GET_ITEM(b, i));
    }
}

// The walk with an explicit stack: any two objects, node or not, compared
// field by field in left-to-right order.  `top` lets the first pair be
// instances of subclasses that define their own comparison (the walk is then
// their base comparison); inner pairs of such classes compare through it.
int walk_equal(const AstApi& api, PyObject* a, PyObject* b, bool top) {
    PairStack stack;
    stack.push(a, b);
    while (!stack.empty()) {
        auto [x, y] = stack.pop();
        if (x == y) {
            top = false;
            continue;
        }
        PyTypeObject* tx = Py_TYPE(x);
        if (tx == Py_TYPE(y)) {
            if (tx == &PyTuple_Type) {
                top = false;
                Py_ssize_t n = PyTuple_GET_SIZE(x);
                if (n != PyTuple_GET_SIZE(y)) return 0;
                for (Py_ssize_t i = n - 1; i >= 0; --i) stack.push(PyTuple_GET_ITEM(x, i), PyTuple_GET_ITEM(y, i));
                continue;
            }
            if (top || tx->tp_richcompare == api.node_richcompare) {
                int k = api.instance_kind(x);
                if (k >= 0) {
                    top = false;
                    if (hash_cached(x, k) && hash_cached(y, k) && as<HashedNode>(x)->hash != as<HashedNode>(y)->hash)
                        return 0;
                    const KindInfo& ki = kKindInfo[k];
                    for (int i = ki.nfields - 1; i >= 0; --i) {
                        if (!(ki.fields[i].flags & F_COMPARED)) continue;
                        Py_ssize_t off = ki.fields[i].offset;
                        stack.push(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(x) + off),
                                   *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(y) + off));
                    }
                    continue;
                }
            }
        }
        top = false;
        int r = PyObject_RichCompareBool(x, y, Py_EQ);
        if (r < 0) throw PyErrorSet{};
        if (r == 0) return 0;
    }
    return 1;
}

// How many nested exact nodes the recursive comparison descends before it
// hands a subtree to the walk with an explicit stack (bounds its C stack use).
constexpr int kRecursionBudget = 96;

// Two exact nodes, or anything else through the walk.  The recursion visits
// fields in the walk's order, so comparisons that run Python code happen in
// the same order as there.
class Compare {
public:
    explicit Compare(const AstApi& api) : api_(api) {}

    bool same(PyObject* x, PyObject* y, int budget) {
        for (;;) {
            if (x == y) return true;
            PyTypeObject* t = Py_TYPE(x);
            if (t != Py_TYPE(y) || t->tp_dealloc != api_.node_dealloc) return walk_equal(api_, x, y, false);
            int k = as<Node>(x)->kind;
            if (k <= K_CONSTANT) return leaf(k, x, y);
            if (as<HashedNode>(x)->hash != as<HashedNode>(y)->hash) return false;
            switch (k) {
                case K_FUNCTION_APP: {
                    FunctionAppNode *a = as<FunctionAppNode>(x), *b = as<FunctionAppNode>(y);
                    // sort and return_sort are one object in every FunctionApp.
                    if (!value(a->sort, b->sort) || !value(a->func, b->func) || !value(a->arity, b->arity) ||
                        !args(a->args, b->args, budget))
                        return false;
                    return a->sort == b->sort || value(a->return_sort, b->return_sort);
                }
                case K_PREDICATE_APP: {
                    PredicateAppNode *a = as<PredicateAppNode>(x), *b = as<PredicateAppNode>(y);
                    return value(a->pred, b->pred) && value(a->arity, b->arity) && args(a->args, b->args, budget);
                }
                case K_NOT:
                    x = as<NotNode>(x)->operand;
                    y = as<NotNode>(y)->operand;
                    break;
                default: {  // Equality, the binary connectives and the quantifiers: left, then right
                    static_assert(offsetof(EqualityNode, left) == offsetof(BinaryNode, left) &&
                                  offsetof(EqualityNode, right) == offsetof(BinaryNode, right) &&
                                  offsetof(QuantNode, variable) == offsetof(BinaryNode, left) &&
                                  offsetof(QuantNode, body) == offsetof(BinaryNode, right));
                    BinaryNode *a = as<BinaryNode>(x), *b = as<BinaryNode>(y);
                    prefetch_node(a->right);
                    prefetch_node(b->right);
                    if (!child(a->left, b->left, budget)) return false;
                    x = a->right;
                    y = b->right;
                    break;
                }
            }
            // The last operand is compared in this frame: no budget spent.
        }
    }

private:
    // Two exact Variables or two exact Constants: field by field unless the
    // fields are the same objects, as they are for leaves built alike.
    [[gnu::always_inline]] bool leaf(int k, PyObject* x, PyObject* y) {
        if ((as<Node>(x)->flags & as<Node>(y)->flags & NF_HASH_CACHED) &&
            as<HashedNode>(x)->hash != as<HashedNode>(y)->hash)
            return false;
        if (k == K_VARIABLE) {
            VariableNode *a = as<VariableNode>(x), *b = as<VariableNode>(y);
            if (a->sort == b->sort && a->id == b->id && a->vkind == b->vkind) return true;
        } else {
            ConstantNode *a = as<ConstantNode>(x), *b = as<ConstantNode>(y);
            if (a->sort == b->sort && a->name == b->name) return true;
        }
        return leaf_fields(k, x, y);
    }
    [[gnu::noinline]] bool leaf_fields(int k, PyObject* x, PyObject* y) {
        if (k == K_VARIABLE) {
            VariableNode *a = as<VariableNode>(x), *b = as<VariableNode>(y);
            return value(a->sort, b->sort) && value(a->id, b->id) && value(a->vkind, b->vkind);
        }
        ConstantNode *a = as<ConstantNode>(x), *b = as<ConstantNode>(y);
        return value(a->sort, b->sort) && value(a->name, b->name);
    }
    // A subtree: leaves compared here, compound nodes one level down (or
    // through the walk once the budget is spent).
    [[gnu::always_inline]] bool child(PyObject* x, PyObject* y, int budget) {
        if (x == y) return true;
        PyTypeObject* t = Py_TYPE(x);
        if (t == Py_TYPE(y) && t->tp_dealloc == api_.node_dealloc) {
            int k = as<Node>(x)->kind;
            if (k <= K_CONSTANT) return leaf(k, x, y);
            if (as<HashedNode>(x)->hash != as<HashedNode>(y)->hash) return false;
        }
        if (budget == 0) return walk_equal(api_, x, y, false);
        return same(x, y, budget - 1);
    }
    // A field that is not a node: settled in place when plain, else through the walk.
    [[gnu::always_inline]] bool value(PyObject* a, PyObject* b) { return a == b || value_slow(a, b); }
    [[gnu::noinline]] bool value_slow(PyObject* a, PyObject* b) {
        int r = plain_equal(a, b);
        if (r >= 0) return r;
        return walk_equal(api_, a, b, false);
    }
    bool args(PyObject* a, PyObject* b, int budget) {
        if (a == b) return true;
        if (Py_TYPE(a) != &PyTuple_Type || Py_TYPE(b) != &PyTuple_Type) return walk_equal(api_, a, b, false);
        Py_ssize_t n = PyTuple_GET_SIZE(a);
        if (n != PyTuple_GET_SIZE(b)) return false;
        prefetch_args(a, b, n);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!child(PyTuple_GET_ITEM(a, i), PyTuple_GET_ITEM(b, i), budget)) return false;
        return true;
    }

    const AstApi& api_;
};

// ---------------------------------------------------------------- plain trees
//
// Below two NF_PLAIN roots every node is exact, so this comparison reads a
// node's kind byte without its type and needs neither the module's state nor
// the node types, and the roots' heights bound its recursion.  It compares the
// very fields the ordered comparison does, but settles only what needs no
// Python code (the same objects, exact str, compact exact int); anything else
// leaves the comparison undecided, and the caller runs the ordered comparison
// from the start, which then calls each field's __eq__ in order.  (A pass
// breadth first from a queue, requesting each pair's memory when queued, was
// measured too: slower for trees in the caches, no faster for trees out of them.)

// Plain trees no higher than this are compared by the recursion below.
constexpr unsigned kPlainHeight = 200;

// A field that is not a node, equal without running Python code.
[[gnu::noinline]] bool settled_equal_slow(PyObject* a, PyObject* b) { return plain_equal(a, b) == 1; }
inline bool settled_equal(PyObject* a, PyObject* b) { return a == b || settled_equal_slow(a, b); }

class PlainCompare {
public:
    explicit PlainCompare(destructor node_dealloc) : node_dealloc_(node_dealloc) {}

    // True when x and y (nodes of plain trees) are settled equal; false when
    // they differ or need Python code to tell.
    bool same(PyObject* x, PyObject* y) {
        for (;;) {
            if (x == y) return true;
            int k = as<Node>(x)->kind;
            if (k != as<Node>(y)->kind) return false;
            if (k <= K_CONSTANT) return leaf(k, x, y);
            if (as<HashedNode>(x)->hash != as<HashedNode>(y)->hash) return false;
            switch (k) {
                case K_FUNCTION_APP: {  // sort and return_sort are one object in every FunctionApp
                    FunctionAppNode *a = as<FunctionAppNode>(x), *b = as<FunctionAppNode>(y);
                    return a->sort == b->sort && symbol(a->func, b->func) && settled_equal(a->arity, b->arity) &&
                           args(a->args, b->args);
                }
                case K_PREDICATE_APP: {
                    PredicateAppNode *a = as<PredicateAppNode>(x), *b = as<PredicateAppNode>(y);
                    return symbol(a->pred, b->pred) && settled_equal(a->arity, b->arity) && args(a->args, b->args);
                }
                case K_NOT:
                    x = as<NotNode>(x)->operand;
                    y = as<NotNode>(y)->operand;
                    break;
                default: {  // Equality, the binary connectives and the quantifiers: left, then right
                    BinaryNode *a = as<BinaryNode>(x), *b = as<BinaryNode>(y);
                    prefetch_node(a->right);
                    prefetch_node(b->right);
                    if (!child(a->left, b->left)) return false;
                    x = a->right;
                    y = b->right;
                    break;
                }
            }
        }
    }

private:
    // A field that may hold a node (a function or predicate variable).
    bool symbol(PyObject* x, PyObject* y) {
        if (x == y) return true;
        if (Py_TYPE(x) == Py_TYPE(y) && Py_TYPE(x)->tp_dealloc == node_dealloc_) {
            unsigned h = plain_height_of(x);
            return h && h <= kPlainHeight && plain_height_of(y) && same(x, y);
        }
        return settled_equal_slow(x, y);
    }
    static unsigned plain_height_of(PyObject* o) {
        const Node* n = as<Node>(o);
        return (n->flags & NF_PLAIN) ? n->height : 0;
    }
    // Two Variables or two Constants.
    [[gnu::always_inline]] static bool leaf(int k, PyObject* x, PyObject* y) {
        if (k == K_VARIABLE) {
            VariableNode *a = as<VariableNode>(x), *b = as<VariableNode>(y);
            return a->sort == b->sort && a->vkind == b->vkind && settled_equal(a->id, b->id);
        }
        ConstantNode *a = as<ConstantNode>(x), *b = as<ConstantNode>(y);
        return a->sort == b->sort && settled_equal(a->name, b->name);
    }
    // A subtree: leaves compared here, compound nodes one level down.
    [[gnu::always_inline]] bool child(PyObject* x, PyObject* y) {
        if (x == y) return true;
        int k = as<Node>(x)->kind;
        if (k <= K_CONSTANT && k == as<Node>(y)->kind) return leaf(k, x, y);
        return same(x, y);
    }
    bool args(PyObject* a, PyObject* b) {
        if (a == b) return true;
        Py_ssize_t n = PyTuple_GET_SIZE(a);
        if (n != PyTuple_GET_SIZE(b)) return false;
        prefetch_args(a, b, n);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!child(PyTuple_GET_ITEM(a, i), PyTuple_GET_ITEM(b, i))) return false;
        return true;
    }

    destructor node_dealloc_;
};

}  // namespace

int plain_trees_equal(destructor node_dealloc, PyObject* a, PyObject* b) {
    const Node *x = as<Node>(a), *y = as<Node>(b);
    if (!(x->flags & y->flags & NF_PLAIN) || x->kind != y->kind) return -1;
    // A differing cached hash at the root decides, as in the ordered comparison.
    if (hash_cached(a, x->kind) && hash_cached(b, y->kind) && as<HashedNode>(a)->hash != as<HashedNode>(b)->hash)
        return 0;
    if (x->height > kPlainHeight) return -1;
    return PlainCompare(node_dealloc).same(a, b) ? 1 : -1;
}

int ordered_nodes_equal(const AstApi& api, PyObject* a, PyObject* b) {
    if (a != b && Py_TYPE(a) == Py_TYPE(b) && Py_TYPE(a)->tp_dealloc == api.node_dealloc)
        return Compare(api).same(a, b, kRecursionBudget);
    return walk_equal(api, a, b, true);
}

int nodes_equal(const AstApi& api, PyObject* a, PyObject* b) {
    if (a != b && Py_TYPE(a) == Py_TYPE(b) && Py_TYPE(a)->tp_dealloc == api.node_dealloc) {
        int r = plain_trees_equal(api.node_dealloc, a, b);
        if (r >= 0) return r;
    }
    return ordered_nodes_equal(api, a, b);
}

}  // namespace kv
