// Canonical renaming of bound variables: every first-order quantifier, in
// pre-order, receives the next index not used by a free variable, so that
// alpha-equivalent formulas become equal.
#include "ast/canonical.hpp"

#include <utility>

namespace kv::ast {

namespace {

// The renaming in force: bound variable of the input -> canonical variable.
// Entering a quantifier pushes a binding and leaving it pops, which gives the
// scoping and shadowing of a copied mapping.  Lookup scans from the innermost
// binding, comparing by node equality.
class Environment {
public:
    explicit Environment(const AstApi& api) : api_(api) {}
    bool empty() const { return stack_.empty(); }
    void push(PyObject* var, PyObject* canon) { stack_.emplace_back(Ref::borrow(var), Ref::borrow(canon)); }
    void pop() {
        stack_.back() = {};
        stack_.pop_back();
    }
    PyObject* lookup(PyObject* v) {
        for (size_t i = stack_.size(); i-- > 0;) {
            PyObject* b = stack_[i].first.get();
            if (b == v) return stack_[i].second.get();
            if (api_.exact_kind(b) == K_VARIABLE && api_.exact_kind(v) == K_VARIABLE && hash_cached(b, K_VARIABLE) &&
                hash_cached(v, K_VARIABLE)) {
                if (reinterpret_cast<HashedNode*>(b)->hash != reinterpret_cast<HashedNode*>(v)->hash) continue;
                if (nodes_equal(api_, b, v)) return stack_[i].second.get();
                continue;
            }
            Py_hash_t hb = PyObject_Hash(b), hv = PyObject_Hash(v);
            if (hb == -1 || hv == -1) throw PyErrorSet{};
            if (hb == hv && check_int(PyObject_RichCompareBool(b, v, Py_EQ))) return stack_[i].second.get();
        }
        return nullptr;
    }

private:
    const AstApi& api_;
    SmallStack<std::pair<Ref, Ref>, 8> stack_;
};

class Canonicalizer {
public:
    Canonicalizer(State* st) : st_(st), api_(st->api), env_(st->api), floor_(stack_floor()) {}

    // Reserves the index of every free variable whose id equals a
    // non-negative int, by value, as variable equality compares ids: 0.0,
    // False or an int subclass reserve the index they equal.
    void reserve_free(PyObject* formula) {
        // Trees of exact nodes: read the atoms' cached free variables under
        // the binders in scope, without building the set.
        if (reserve_free_ids(formula)) return;
        Ref fv = Ref::check(free_variables(api_, formula));
        Ref it = Ref::check(PyObject_GetIter(fv.get()));
        while (Ref v = Ref::steal(PyIter_Next(it.get()))) {
            Ref id = api_.exact_kind(v.get()) == K_VARIABLE ? Ref::borrow(reinterpret_cast<VariableNode*>(v.get())->id)
                                                            : Ref::check(PyObject_GetAttr(v.get(), api_.s_id));
            reserve_id(id.get());
        }
        if (PyErr_Occurred()) throw PyErrorSet{};
    }

    // The canonical form of term t; `same` tells whether it equals t (t
    // itself, or a copy whose fields equal t's).
    PyObject* term(PyObject* t, bool& same) {
        int k = api_.exact_kind(t);
        if (k == K_VARIABLE) {
            PyObject* m = env_.empty() ? nullptr : env_.lookup(t);
            same = !m || m == t;
            return Py_NewRef(m ? m : t);
        }
        if (k == K_CONSTANT) {
            same = true;
            return Py_NewRef(t);
        }
        if (k == K_FUNCTION_APP && PyTuple_CheckExact(reinterpret_cast<FunctionAppNode*>(t)->args)) {
            RecursionGuard guard(" in canonicalize_bound_variables", floor_);
            Ref nargs = map_args(reinterpret_cast<FunctionAppNode*>(t)->args, same);
            return derive_app(api_, t, k, nargs.get(), same);
        }
        PyObject* r = term(t);
        same = r == t;
        return r;
    }

    PyObject* term(PyObject* t) {
        int k = api_.instance_kind(t);
        if (k == K_VARIABLE) {
            if (env_.empty()) return Py_NewRef(t);
            PyObject* m = env_.lookup(t);
            return Py_NewRef(m ? m : t);
        }
        if (k != K_FUNCTION_APP) return Py_NewRef(t);  // constants and unknown objects pass through
        RecursionGuard guard(" in canonicalize_bound_variables", floor_);
        Ref func = FIELD(api_, t, k, FunctionAppNode, func);
        Ref arity = FIELD(api_, t, k, FunctionAppNode, arity);
        Ref args = FIELD(api_, t, k, FunctionAppNode, args);
        Ref rs = FIELD(api_, t, k, FunctionAppNode, return_sort);
        Ref nargs = map_args(args.get());
        return make_function_app(api_, nullptr, func.get(), arity.get(), nargs.get(), rs.get());
    }

    PyObject* formula(PyObject* f) {
        RecursionGuard guard(" in canonicalize_bound_variables", floor_);
        // Exact atoms are copied field by field: only their arguments change,
        // and an atom whose arguments come back equal keeps its hash and free
        // variables.  Everything else takes the general path below.
        int k = api_.exact_kind(f);
        if (k == K_PREDICATE_APP && PyTuple_CheckExact(reinterpret_cast<PredicateAppNode*>(f)->args)) {
            bool same;
            Ref nargs = map_args(reinterpret_cast<PredicateAppNode*>(f)->args, same);
            return derive_app(api_, f, k, nargs.get(), same);
        }
        if (k == K_EQUALITY) {
            bool same_l, same_r;
            Ref nl = Ref::steal(term(reinterpret_cast<EqualityNode*>(f)->left, same_l));
            Ref nr = Ref::steal(term(reinterpret_cast<EqualityNode*>(f)->right, same_r));
            return derive_equality(api_, f, nl.get(), nr.get(), same_l && same_r);
        }
        // Exact connectives and quantifiers: their fields read in place (the
        // node, held by its parent, keeps them alive).
        switch (k) {
            case K_NOT: {
                Ref nop = Ref::steal(formula(reinterpret_cast<NotNode*>(f)->operand));
                return make_not(api_, nullptr, nop.get());
            }
            case K_AND:
            case K_OR:
            case K_IMPLIES:
            case K_IFF: {
                BinaryNode* b = reinterpret_cast<BinaryNode*>(f);
                Ref nl = Ref::steal(formula(b->left));
                Ref nr = Ref::steal(formula(b->right));
                return make_binary(api_, k, nullptr, nl.get(), nr.get());
            }
            case K_FORALL:
            case K_EXISTS: {
                QuantNode* q = reinterpret_cast<QuantNode*>(f);
                if (api_.exact_kind(q->variable) != K_VARIABLE) break;
                VariableNode* vn = reinterpret_cast<VariableNode*>(q->variable);
                Ref id = Ref::check(PyLong_FromLong(gen_.get_next()));
                Ref canon = Ref::steal(make_variable(api_, nullptr, id.get(), vn->vkind, vn->sort));
                return quantified(k, q->variable, canon.get(), q->body);
            }
            default:
                break;
        }
        k = api_.instance_kind(f);
        switch (k) {
            case K_PREDICATE_APP: {
                Ref pred = FIELD(api_, f, k, PredicateAppNode, pred);
                Ref arity = FIELD(api_, f, k, PredicateAppNode, arity);
                Ref args = FIELD(api_, f, k, PredicateAppNode, args);
                Ref nargs = map_args(args.get());
                return make_predicate_app(api_, nullptr, pred.get(), arity.get(), nargs.get());
            }
            case K_EQUALITY: {
                Ref l = FIELD(api_, f, k, EqualityNode, left);
                Ref nl = Ref::steal(term(l.get()));
                Ref r = FIELD(api_, f, k, EqualityNode, right);
                Ref nr = Ref::steal(term(r.get()));
                return make_equality(api_, nullptr, nl.get(), nr.get());
            }
            case K_NOT: {
                Ref op = FIELD(api_, f, k, NotNode, operand);
                Ref nop = Ref::steal(formula(op.get()));
                return make_not(api_, nullptr, nop.get());
            }
            case K_AND:
            case K_OR:
            case K_IMPLIES:
            case K_IFF: {
                Ref l = FIELD(api_, f, k, BinaryNode, left);
                Ref nl = Ref::steal(formula(l.get()));
                Ref r = FIELD(api_, f, k, BinaryNode, right);
                Ref nr = Ref::steal(formula(r.get()));
                return make_binary(api_, k, nullptr, nl.get(), nr.get());
            }
            case K_FORALL:
            case K_EXISTS: {
                Ref var = FIELD(api_, f, k, QuantNode, variable);
                long new_id = gen_.get_next();
                Ref id = Ref::check(PyLong_FromLong(new_id));
                bool exact_var = api_.exact_kind(var.get()) == K_VARIABLE;
                VariableNode* vn = reinterpret_cast<VariableNode*>(var.get());
                Ref sort = exact_var ? Ref::borrow(vn->sort) : Ref::check(PyObject_GetAttr(var.get(), api_.s_sort));
                Ref vkind = exact_var ? Ref::borrow(vn->vkind) : Ref::check(PyObject_GetAttr(var.get(), api_.s_kind));
                Ref canon = Ref::steal(make_variable(api_, nullptr, id.get(), vkind.get(), sort.get()));
                if (!exact_var && PyObject_Hash(var.get()) == -1) throw PyErrorSet{};
                Ref body = FIELD(api_, f, k, QuantNode, body);
                return quantified(k, var.get(), canon.get(), body.get());
            }
            default:
                break;
        }
        if (api_.is_sol_quantifier(f)) {
            Ref body = Ref::check(PyObject_GetAttr(f, api_.s_body));
            Ref nb = Ref::steal(formula(body.get()));
            Ref var = Ref::check(PyObject_GetAttr(f, api_.s_variable));
            Ref kw = Ref::check(PyDict_New());
            check_int(PyDict_SetItem(kw.get(), api_.s_variable, var.get()));
            check_int(PyDict_SetItem(kw.get(), api_.s_body, nb.get()));
            return check(PyObject_Call(reinterpret_cast<PyObject*>(Py_TYPE(f)), st_->empty_tuple, kw.get()));
        }
        Ref cls = Ref::check(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(f))));
        raise_invalid(api_, PyUnicode_FromFormat("Unsupported Formula node: %U", cls.get()));
    }

private:
    // The quantifier of kind k binding `canon` over `body` canonicalized with
    // `var` renamed to `canon` inside it.
    PyObject* quantified(int k, PyObject* var, PyObject* canon, PyObject* body) {
        env_.push(var, canon);
        PyObject* nb = nullptr;
        try {
            nb = formula(body);
        } catch (...) {
            env_.pop();
            throw;
        }
        Ref new_body = Ref::steal(nb);
        env_.pop();
        return make_quant(api_, k, nullptr, canon, new_body.get());
    }

    // True when `v` equals a variable bound in `scope`.
    bool bound(SmallStack<PyObject*, 16>& scope, PyObject* v) {
        Py_hash_t hv = reinterpret_cast<HashedNode*>(v)->hash;
        for (size_t i = 0; i < scope.size(); ++i) {
            PyObject* b = scope[i];
            if (b == v) return true;
            if (reinterpret_cast<HashedNode*>(b)->hash == hv && nodes_equal(api_, b, v)) return true;
        }
        return false;
    }

    // Reserves the ids of the free variables of a tree of exact nodes whose
    // variables have cached hashes and small int ids; false for any other
    // tree (the ids reserved so far are ids of free variables all the same).
    // Iterative: an explicit stack of (node, binders in scope for it).
    // Reserves the id of `v` unless a binder in `scope` binds it; false when
    // `v` is not an exact Variable with a cached hash and a small int id.
    bool reserve_var(SmallStack<PyObject*, 16>& scope, PyObject* v) {
        long id;
        if (api_.exact_kind(v) != K_VARIABLE || !hash_cached(v, K_VARIABLE) ||
            !small_int_value(reinterpret_cast<VariableNode*>(v)->id, id))
            return false;
        if (!bound(scope, v)) gen_.reserve(id);
        return true;
    }

    // reserve_var for each free variable of an argument of an atom: the
    // argument itself (a Variable), none (a Constant), the cached ones (a
    // FunctionApp); false for any other object.
    bool reserve_term(SmallStack<PyObject*, 16>& scope, PyObject* t) {
        int k = api_.exact_kind(t);
        if (k == K_VARIABLE) return reserve_var(scope, t);
        if (k == K_CONSTANT) return true;
        if (k != K_FUNCTION_APP) return false;
        bool ok = true;
        for_each_free_var(t, k, [&](PyObject* v) { ok = ok && reserve_var(scope, v); });
        return ok;
    }

    // A pending node of the walk below and the number of binders in scope for it.
    struct Pending {
        PyObject* node;
        size_t depth;
    };

    bool reserve_free_ids(PyObject* root) {
        SmallStack<Pending, 32> todo;
        SmallStack<PyObject*, 16> scope;
        todo.emplace_back(Pending{root, 0});
        while (!todo.empty()) {
            auto [f, depth] = todo.back();
            todo.pop_back();
            while (scope.size() > depth) scope.pop_back();
            int k = api_.exact_kind(f);
            switch (k) {
                case K_PREDICATE_APP:
                case K_EQUALITY: {
                    // The atom's free variables are those of its arguments,
                    // read off the arguments (no walk over the cached set).
                    if (k == K_EQUALITY) {
                        EqualityNode* e = reinterpret_cast<EqualityNode*>(f);
                        if (!reserve_term(scope, e->left) || !reserve_term(scope, e->right)) return false;
                        break;
                    }
                    PyObject* args = indexable_args(f, k);
                    if (!args) return false;
                    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args); i < n; ++i)
                        if (!reserve_term(scope, PyTuple_GET_ITEM(args, i))) return false;
                    break;
                }
                case K_NOT: todo.emplace_back(Pending{reinterpret_cast<NotNode*>(f)->operand, depth}); break;
                case K_AND:
                case K_OR:
                case K_IMPLIES:
                case K_IFF: {
                    auto* b = reinterpret_cast<BinaryNode*>(f);
                    prefetch_node(b->right);
                    todo.emplace_back(Pending{b->right, depth});
                    todo.emplace_back(Pending{b->left, depth});
                    break;
                }
                case K_FORALL:
                case K_EXISTS: {
                    auto* q = reinterpret_cast<QuantNode*>(f);
                    if (api_.exact_kind(q->variable) != K_VARIABLE || !hash_cached(q->variable, K_VARIABLE))
                        return false;
                    scope.emplace_back(q->variable);
                    todo.emplace_back(Pending{q->body, depth + 1});
                    break;
                }
                default: return false;
            }
        }
        return true;
    }

    void reserve_id(PyObject* id) {
        if (PyLong_CheckExact(id)) {
            int overflow = 0;
            long x = PyLong_AsLongAndOverflow(id, &overflow);
            if (x == -1 && PyErr_Occurred()) throw PyErrorSet{};
            if (!overflow) gen_.reserve(x);
            return;
        }
        // A value equal to the int n hashes like n, and hash(n) == n for the
        // indices the counter can reach; so the hash names the one candidate.
        Py_hash_t h = PyObject_Hash(id);
        if (h == -1) throw PyErrorSet{};
        if (h < 0) return;
        Ref candidate = Ref::check(PyLong_FromSsize_t(h));
        if (check_int(PyObject_RichCompareBool(id, candidate.get(), Py_EQ))) gen_.reserve(static_cast<long>(h));
    }

    // The canonical arguments of an exact tuple: the tuple itself when every
    // argument comes back as the same object, else a new tuple; `same` tells
    // whether they all come back equal.
    Ref map_args(PyObject* args, bool& same) {
        for (Py_ssize_t i = 1, n = PyTuple_GET_SIZE(args); i < n; ++i) prefetch_node(PyTuple_GET_ITEM(args, i));
        return map_arg_tuple(args, same, [this](PyObject* a, bool& s) { return term(a, s); });
    }

    Ref map_args(PyObject* args) {
        Ref seq = Ref::check(PySequence_Tuple(args));
        Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
        Ref out = Ref::check(PyTuple_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(out.get(), i, term(PyTuple_GET_ITEM(seq.get(), i)));
        return out;
    }

    State* st_;
    const AstApi& api_;
    IndexGenerator gen_;
    Environment env_;
    uintptr_t floor_;  // the running thread's stack floor, read once per call
};

}  // namespace

static PyObject* py_canonicalize(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* formula = one_arg("canonicalize_bound_variables", "formula", args, nargs, kwnames);
        State* st = static_cast<State*>(PyModule_GetState(module));
        if (PyObject* r = canonicalize_plain(st->api, formula)) return r;
        Canonicalizer c(st);
        c.reserve_free(formula);
        return c.formula(formula);
    });
}

PyMethodDef canonicalize_def = {
    "canonicalize_bound_variables", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_canonicalize)), METH_FASTCALL | METH_KEYWORDS,
    "canonicalize_bound_variables($module, formula)\n--\n\n"
    "Performs canonical alpha-conversion of bound variables in a formula.\n\n"
    "Free variables retain their original IDs and sorts.\n"
    "Bound variables are renamed sequentially (v_0, v_1, ...) skipping free variable IDs.\n\n"
    "Guarantees:\n"
    "    Idempotency: canonicalize(canonicalize(f)) == canonicalize(f)\n"
    "    Alpha-equivalence: If f1 and f2 are alpha-equivalent, canonicalize(f1) == canonicalize(f2)\n"
    "    Free variable preservation: free_variables(canonicalize(f)) == free_variables(f)\n\n"
    "Returns:\n"
    "    A new Formula node with bound variables renamed canonically."};

}  // namespace kv::ast
