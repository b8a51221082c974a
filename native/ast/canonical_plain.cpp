// Canonical renaming of a small plain tree: the same walk and the same new
// nodes as the general pass, with what NF_PLAIN guarantees taken as read.
// Every node is exact, application arguments are exact tuples, quantifiers
// bind Variables with cached hashes, and the height is known; so the pass
// recurses without a guard per level, reads fields in place and keeps its
// bindings in an array on the stack.
#include "ast/canonical.hpp"

namespace kv::ast {

namespace {

class PlainCanonicalizer {
public:
    explicit PlainCanonicalizer(const AstApi& api) : api_(api) {}

    // Reserves the ids of the free variables, the ids the general pass
    // reserves from the same fields; false when the tree holds something the
    // general pass would look at differently (a term at a formula position,
    // or, under a binder, a formula at a term position or a variable whose
    // id is not a compact int), with no effect but reservations on a
    // generator the caller then drops.
    //
    // Reservations only set bits, so the order of the walk is free: it goes
    // level by level (the formula nodes breadth first, then the atoms'
    // argument tuples, their arguments, the arguments' free-variable tuples)
    // and requests each object a level ahead, so that the loads of a level
    // overlap instead of following one another down each path.  The
    // renaming pass then finds what it reads cached.  A tree with more
    // formula nodes, atoms or arguments than the arrays hold is walked again
    // depth first (the ids reserved so far are among those it reserves).
    bool reserve(PyObject* root) {
        Pending nodes[kLevel];  // formula nodes, then the atoms among them
        Pending terms[kLevel];  // arguments of atoms
        PyObject* binder[kBinders];
        int up[kBinders];  // the index of the binder enclosing each one, -1 for none
        int nnodes = 0, natoms = 0, nterms = 0, nbinders = 0;
        nodes[nnodes++] = Pending{root, -1};
        for (int at = 0; at < nnodes; ++at) {
            auto [f, scope] = nodes[at];
            int k = kind(f);
            if (k == K_PREDICATE_APP || k == K_EQUALITY) {
                // the atoms move to the front of the array, over nodes already visited
                if (k == K_PREDICATE_APP) {
                    prefetch_node(reinterpret_cast<PredicateAppNode*>(f)->args);
                } else {
                    prefetch_node(reinterpret_cast<EqualityNode*>(f)->left);
                    prefetch_node(reinterpret_cast<EqualityNode*>(f)->right);
                }
                nodes[natoms++] = nodes[at];
                continue;
            }
            if (nnodes + 2 > kLevel) return reserve_depth_first(root);
            if (k == K_NOT) {
                push(nodes, nnodes, reinterpret_cast<NotNode*>(f)->operand, scope);
            } else if (kind_is_binary(k)) {
                push(nodes, nnodes, reinterpret_cast<BinaryNode*>(f)->left, scope);
                push(nodes, nnodes, reinterpret_cast<BinaryNode*>(f)->right, scope);
            } else if (kind_is_quant(k)) {
                if (nbinders == kBinders) return reserve_depth_first(root);
                binder[nbinders] = reinterpret_cast<QuantNode*>(f)->variable;
                up[nbinders] = scope;
                push(nodes, nnodes, reinterpret_cast<QuantNode*>(f)->body, nbinders++);
            } else {
                return false;
            }
        }
        // Without a binder no index is handed out and nothing is renamed: the
        // reservations would go unread, and the renaming pass passes every
        // term through as the general pass does (whatever its shape or id).
        if (nbinders == 0) return true;
        for (int i = 0; i < natoms; ++i) {
            auto [f, scope] = nodes[i];
            if (kind(f) == K_EQUALITY) {
                if (nterms + 2 > kLevel) return reserve_depth_first(root);
                terms[nterms++] = Pending{reinterpret_cast<EqualityNode*>(f)->left, scope};
                terms[nterms++] = Pending{reinterpret_cast<EqualityNode*>(f)->right, scope};
                continue;
            }
            PyObject* args = reinterpret_cast<PredicateAppNode*>(f)->args;
            Py_ssize_t n = PyTuple_GET_SIZE(args);
            if (nterms + n > kLevel) return reserve_depth_first(root);
            for (PyObject** a = &PyTuple_GET_ITEM(args, 0), **end = a + n; a != end; ++a) push(terms, nterms, *a, scope);
        }
        auto reserve_var = [&](PyObject* v, int scope) {
            long id;
            if (kind(v) != K_VARIABLE || !small_int_value(reinterpret_cast<VariableNode*>(v)->id, id)) return false;
            Py_hash_t hv = reinterpret_cast<HashedNode*>(v)->hash;
            for (int s = scope; s >= 0; s = up[s])
                if (same_variable(binder[s], v, hv)) return true;
            gen_.reserve(id);
            return true;
        };
        int napps = 0;  // the terms that are applications, moved to the front
        for (int i = 0; i < nterms; ++i) {
            auto [t, scope] = terms[i];
            int k = kind(t);
            if (k == K_VARIABLE) {
                if (!reserve_var(t, scope)) return false;
                continue;
            }
            if (k == K_CONSTANT) continue;
            if (k != K_FUNCTION_APP) return false;
            FunctionAppNode* a = reinterpret_cast<FunctionAppNode*>(t);
            prefetch_node(a->args);  // read by the renaming pass
            if (a->flags & NF_FV_SINGLE) {
                if (!reserve_var(a->free_vars, scope)) return false;
            } else if (a->flags & NF_FV_FEW) {
                prefetch_node(a->free_vars);  // read next
            } else {
                bool ok = true;
                for_each_in_set(a->free_vars, [&](PyObject* v) { ok = ok && reserve_var(v, scope); });
                if (!ok) return false;
            }
            terms[napps++] = terms[i];
        }
        // The arguments of the applications, for the renaming pass, and the
        // free variables of those that keep a few in a tuple.
        for (int i = 0; i < napps; ++i) {
            PyObject* args = reinterpret_cast<FunctionAppNode*>(terms[i].node)->args;
            for (Py_ssize_t j = 0, n = PyTuple_GET_SIZE(args); j < n; ++j) prefetch_node(PyTuple_GET_ITEM(args, j));
        }
        for (int i = 0; i < napps; ++i) {
            auto [t, scope] = terms[i];
            if (!(reinterpret_cast<Node*>(t)->flags & NF_FV_FEW)) continue;
            PyObject* fv = reinterpret_cast<FunctionAppNode*>(t)->free_vars;
            for (Py_ssize_t j = 0, n = PyTuple_GET_SIZE(fv); j < n; ++j)
                if (!reserve_var(PyTuple_GET_ITEM(fv, j), scope)) return false;
        }
        return true;
    }

private:
    // A node of the level-by-level walk and the innermost binder in scope for it.
    struct Pending {
        PyObject* node;
        int scope;
    };
    static constexpr int kLevel = 128;
    static constexpr int kBinders = 64;

    static void push(Pending* level, int& n, PyObject* o, int scope) {
        prefetch_node(o);
        level[n++] = Pending{o, scope};
    }

    // The walk of reserve() depth first, which needs no arrays but loads one
    // node after another.
    bool reserve_depth_first(PyObject* root) {
        nscope_ = 0;
        return reserve_dfs(root);
    }

    // One step of reserve_depth_first: the binders in scope are on scope_.
    bool reserve_dfs(PyObject* f) {
        // The last child of each node is taken in this frame: recursion
        // only for the left side of binary connectives.  A quantifier's
        // binder stays in scope for the rest of the loop, which is all its
        // body; `depth` restores the scope of the caller.
        int depth = nscope_;
        bool ok = true;
        for (;;) {
            int k = kind(f);
            if (k == K_PREDICATE_APP) {
                PyObject* args = reinterpret_cast<PredicateAppNode*>(f)->args;
                for (Py_ssize_t i = 1, n = PyTuple_GET_SIZE(args); i < n; ++i) prefetch_node(PyTuple_GET_ITEM(args, i));
                for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args); ok && i < n; ++i)
                    ok = reserve_term(PyTuple_GET_ITEM(args, i));
                break;
            }
            if (k == K_EQUALITY) {
                EqualityNode* e = reinterpret_cast<EqualityNode*>(f);
                ok = reserve_term(e->left) && reserve_term(e->right);
                break;
            }
            if (k == K_NOT) {
                f = reinterpret_cast<NotNode*>(f)->operand;
            } else if (kind_is_binary(k)) {
                BinaryNode* b = reinterpret_cast<BinaryNode*>(f);
                prefetch_node(b->right);
                if (!(ok = reserve_dfs(b->left))) break;
                f = b->right;
            } else if (kind_is_quant(k)) {
                QuantNode* q = reinterpret_cast<QuantNode*>(f);
                scope_[nscope_++] = q->variable;
                f = q->body;
            } else {
                ok = false;
                break;
            }
        }
        nscope_ = depth;
        return ok;
    }

public:
    // The canonical form of the formula f (a new reference).
    PyObject* formula(PyObject* f) {
        int k = kind(f);
        switch (k) {
            case K_PREDICATE_APP: {
                bool same;
                Ref nargs = map_args(reinterpret_cast<PredicateAppNode*>(f)->args, same);
                return copy_plain_app(api_, f, nargs.get(), same);
            }
            case K_EQUALITY: {
                EqualityNode* e = reinterpret_cast<EqualityNode*>(f);
                bool same_l, same_r;
                Ref nl = Ref::steal(term(e->left, same_l));
                Ref nr = Ref::steal(term(e->right, same_r));
                return copy_plain_equality(api_, f, nl.get(), nr.get(), same_l && same_r);
            }
            case K_NOT: {
                Ref nop = Ref::steal(formula(reinterpret_cast<NotNode*>(f)->operand));
                return copy_plain_connective(api_, f, nop.get(), nullptr);
            }
            case K_FORALL:
            case K_EXISTS: {
                QuantNode* q = reinterpret_cast<QuantNode*>(f);
                Ref canon = Ref::steal(copy_plain_variable(api_, q->variable, gen_.get_next()));
                // The binding lives until the body is built; the array holds
                // borrowed references that this frame keeps alive.
                env_vars_[nenv_] = q->variable;
                env_canon_[nenv_] = canon.get();
                ++nenv_;
                PyObject* nb;
                try {
                    nb = formula(q->body);
                } catch (...) {
                    --nenv_;
                    throw;
                }
                --nenv_;
                Ref body = Ref::steal(nb);
                return copy_plain_connective(api_, f, canon.get(), body.get());
            }
            default: {  // binary connectives (the reservation walk saw every position)
                BinaryNode* b = reinterpret_cast<BinaryNode*>(f);
                Ref nl = Ref::steal(formula(b->left));
                Ref nr = Ref::steal(formula(b->right));
                return copy_plain_connective(api_, f, nl.get(), nr.get());
            }
        }
    }

private:
    static int kind(PyObject* o) { return reinterpret_cast<Node*>(o)->kind; }

    // Whether the Variables b and v are equal: the same object, or equal
    // cached hashes and equal fields.
    bool same_variable(PyObject* b, PyObject* v, Py_hash_t hv) {
        return b == v || (reinterpret_cast<HashedNode*>(b)->hash == hv && nodes_equal(api_, b, v));
    }

    // Whether v equals a binder in scope, searched from the outermost as the
    // general walk does.
    bool bound(PyObject* v) {
        Py_hash_t hv = reinterpret_cast<HashedNode*>(v)->hash;
        for (int i = 0; i < nscope_; ++i)
            if (same_variable(scope_[i], v, hv)) return true;
        return false;
    }

    // The canonical variable bound to v, searched from the innermost binding;
    // nullptr when none binds it.
    PyObject* lookup(PyObject* v) {
        Py_hash_t hv = reinterpret_cast<HashedNode*>(v)->hash;
        for (int i = nenv_; i-- > 0;)
            if (same_variable(env_vars_[i], v, hv)) return env_canon_[i];
        return nullptr;
    }

    bool reserve_var(PyObject* v) {
        long id;
        if (kind(v) != K_VARIABLE || !small_int_value(reinterpret_cast<VariableNode*>(v)->id, id)) return false;
        if (!bound(v)) gen_.reserve(id);
        return true;
    }

    // An argument of an atom: a Variable, a Constant or a FunctionApp, whose
    // free variables are read from its cache.
    bool reserve_term(PyObject* t) {
        int k = kind(t);
        if (k == K_VARIABLE) return reserve_var(t);
        if (k == K_CONSTANT) return true;
        if (k != K_FUNCTION_APP) return false;
        prefetch_node(reinterpret_cast<FunctionAppNode*>(t)->args);  // read by the renaming pass
        uint8_t flags = reinterpret_cast<Node*>(t)->flags;
        PyObject* fv = reinterpret_cast<FunctionAppNode*>(t)->free_vars;
        if (flags & NF_FV_SINGLE) return reserve_var(fv);
        if (flags & NF_FV_FEW) {
            for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(fv); i < n; ++i)
                if (!reserve_var(PyTuple_GET_ITEM(fv, i))) return false;
            return true;
        }
        bool ok = true;
        for_each_in_set(fv, [&](PyObject* v) { ok = ok && reserve_var(v); });
        return ok;
    }

    // The canonical form of term t; `same` tells whether it equals t.
    PyObject* term(PyObject* t, bool& same) {
        int k = kind(t);
        if (k == K_VARIABLE) {
            PyObject* m = nenv_ ? lookup(t) : nullptr;
            same = !m || m == t;
            return Py_NewRef(m ? m : t);
        }
        if (k == K_FUNCTION_APP) {
            Ref nargs = map_args(reinterpret_cast<FunctionAppNode*>(t)->args, same);
            return copy_plain_app(api_, t, nargs.get(), same);
        }
        same = true;  // constants, and anything else passes through
        return Py_NewRef(t);
    }

    Ref map_args(PyObject* args, bool& same) {
        return map_arg_tuple(args, same, [this](PyObject* a, bool& s) { return term(a, s); });
    }

    const AstApi& api_;
    IndexGenerator gen_;
    // Binders enclosing the node the reservation walk is at.
    PyObject* scope_[kPlainCanonHeight];
    int nscope_ = 0;
    // Bindings in force, innermost last: bound variable of the input and
    // its canonical variable.
    PyObject* env_vars_[kPlainCanonHeight];
    PyObject* env_canon_[kPlainCanonHeight];
    int nenv_ = 0;
};

}  // namespace

PyObject* canonicalize_plain(const AstApi& api, PyObject* formula) {
    if (plain_height(api, formula) - 1 >= kPlainCanonHeight) return nullptr;  // 0 (not plain) wraps around
    PlainCanonicalizer c(api);
    if (!c.reserve(formula)) return nullptr;
    return c.formula(formula);
}

}  // namespace kv::ast
