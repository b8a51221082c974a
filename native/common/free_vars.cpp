// Free variables of a formula: the iterative walk behind free_variables,
// with the scope of enclosing binders.  Constructors cache each node's free
// variables (see construct.cpp); this walk serves the nodes that do not.
#include "common/nodes.hpp"

#include <vector>

namespace kv {

void materialize_free_vars_few(PyObject* node, int k) {
    PyObject** slot = free_vars_field(node, k);
    PyObject* few = *slot;
    Ref fs = Ref::check(PyFrozenSet_New(nullptr));
    // Exact variables with differing cached hashes: no Python code runs here.
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(few); i < n; ++i)
        check_int(PySet_Add(fs.get(), PyTuple_GET_ITEM(few, i)));
    *slot = fs.release();
    reinterpret_cast<Node*>(node)->flags &= static_cast<uint8_t>(~NF_FV_FEW);
    Py_DECREF(few);
}

PyObject* free_vars_frozenset(PyObject* node, int k) {
    PyObject** slot = free_vars_field(node, k);
    if (reinterpret_cast<Node*>(node)->flags & NF_FV_FEW) materialize_free_vars_few(node, k);
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
            PyObject* fv = free_vars_cache(node, k);
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
        PyObject* fv = free_vars_cache(node, k);
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

}  // namespace kv
