// Robinson unification with occurs check, producing idempotent most general
// unifiers as dicts, exactly as the Python reference in
// kelvara.core.substitutions does: the same pair order (a LIFO of pairs), the
// same bindings in the same insertion order, the same failures.
//
// A failure raises UnificationError(reason, left, right) without creating the
// exception object: the interpreter instantiates it only when somebody looks at
// it, and the inference loops usually just clear it.  Failure is the common
// outcome, so it is reported by return value up to the entry point instead of
// unwinding with a C++ exception (which would cost more than the unification).
#include "companions/state.hpp"

#include <utility>
#include <vector>

namespace kv::native {

namespace {

// Sets UnificationError(reason, a, b); returns false.
bool fail(State* st, PyObject* reason, PyObject* a, PyObject* b) {
    PyObject* args = PyTuple_Pack(3, reason, a, b);
    if (!args) throw PyErrorSet{};
    PyErr_SetObject(st->unification_error, args);
    Py_DECREF(args);
    return false;
}

inline bool differ(PyObject* a, PyObject* b) { return check_int(PyObject_RichCompareBool(a, b, Py_NE)) != 0; }

// Sort of an exact Variable, Constant or FunctionApp.
inline PyObject* term_sort(PyObject* t, int k) {
    switch (k) {
        case K_VARIABLE: return reinterpret_cast<VariableNode*>(t)->sort;
        case K_CONSTANT: return reinterpret_cast<ConstantNode*>(t)->sort;
        default: return reinterpret_cast<FunctionAppNode*>(t)->sort;
    }
}

struct Unifier {
    State* st;
    const AstApi& api;
    Ref subst;  // the substitution being built (a dict)
    std::vector<std::pair<Ref, Ref>> stack;

    Unifier(State* s, Ref start) : st(s), api(s->api), subst(std::move(start)) {}

    void push(PyObject* a, PyObject* b) { stack.emplace_back(Ref::borrow(a), Ref::borrow(b)); }

    int term_kind(PyObject* t) const {
        int k = api.exact_kind(t);
        if (k != K_VARIABLE && k != K_CONSTANT && k != K_FUNCTION_APP) throw Fallback{};
        return k;
    }

    // The term under the current (idempotent) substitution.
    Ref resolve(Ref t) {
        PyObject* s = subst.get();
        int k = term_kind(t.get());
        if (k == K_VARIABLE) {
            PyObject* v = PyDict_GetItemWithError(s, t.get());
            if (v) return Ref::borrow(v);
            if (PyErr_Occurred()) throw PyErrorSet{};
        } else if (k == K_FUNCTION_APP && PyDict_GET_SIZE(s) && !fv_disjoint(t.get(), k, s)) {
            return subst_term(api, t.get(), s);
        }
        return t;
    }

    // Extends the substitution with var := term (term already resolved);
    // false with UnificationError set when that is impossible.
    bool bind(PyObject* var, PyObject* term, int kt) {
        if (kt == K_VARIABLE) {
            if (check_int(PyObject_RichCompareBool(var, term, Py_EQ))) return true;
        } else if (kt == K_FUNCTION_APP) {
            if (fv_contains(term, kt, var)) return fail(st, st->s_occurs_check, var, term);
        }
        if (differ(reinterpret_cast<VariableNode*>(var)->sort, term_sort(term, kt)))
            return fail(st, st->s_sort_mismatch, var, term);
        PyObject* s = subst.get();
        if (PyDict_GET_SIZE(s)) {
            Ref single;
            Py_ssize_t pos = 0;
            PyObject* key;
            PyObject* value;
            while (PyDict_Next(s, &pos, &key, &value)) {
                int kv = api.exact_kind(value);
                if (kv == K_VARIABLE) {
                    if (check_int(PyObject_RichCompareBool(value, var, Py_EQ)))
                        check_int(PyDict_SetItem(s, key, term));
                } else if (kv == K_FUNCTION_APP && fv_contains(value, kv, var)) {
                    if (!single) {
                        single = Ref::check(PyDict_New());
                        check_int(PyDict_SetItem(single.get(), var, term));
                    }
                    Ref updated = subst_term(api, value, single.get());
                    // Replacing the value of an existing key does not disturb the iteration.
                    check_int(PyDict_SetItem(s, key, updated.get()));
                }
            }
        }
        check_int(PyDict_SetItem(s, var, term));
        return true;
    }

    // The unifier (a new reference), or nullptr with UnificationError set.
    PyObject* run() {
        while (!stack.empty()) {
            Ref a = std::move(stack.back().first);
            Ref b = std::move(stack.back().second);
            stack.pop_back();
            if (a.get() == b.get()) continue;
            a = resolve(std::move(a));
            b = resolve(std::move(b));
            if (a.get() == b.get()) continue;
            int ka = term_kind(a.get());
            int kb = term_kind(b.get());
            if (ka == K_VARIABLE) {
                if (!bind(a.get(), b.get(), kb)) return nullptr;
            } else if (kb == K_VARIABLE) {
                if (!bind(b.get(), a.get(), ka)) return nullptr;
            } else if (ka == K_FUNCTION_APP && kb == K_FUNCTION_APP) {
                auto* fa = reinterpret_cast<FunctionAppNode*>(a.get());
                auto* fb = reinterpret_cast<FunctionAppNode*>(b.get());
                if (differ(fa->func, fb->func) || differ(fa->arity, fb->arity) ||
                    differ(fa->return_sort, fb->return_sort)) {
                    fail(st, st->s_symbol_clash, a.get(), b.get());
                    return nullptr;
                }
                PyObject* xs = fast_args(a.get(), K_FUNCTION_APP);
                PyObject* ys = fast_args(b.get(), K_FUNCTION_APP);
                Py_ssize_t n = PyTuple_GET_SIZE(xs);
                if (PyTuple_GET_SIZE(ys) < n) n = PyTuple_GET_SIZE(ys);
                for (Py_ssize_t i = 0; i < n; ++i) {
                    PyObject* x = PyTuple_GET_ITEM(xs, i);
                    PyObject* y = PyTuple_GET_ITEM(ys, i);
                    if (x != y) push(x, y);
                }
            } else if (check_int(PyObject_RichCompareBool(a.get(), b.get(), Py_EQ))) {
                continue;
            } else {
                fail(st, st->s_cannot_unify, a.get(), b.get());
                return nullptr;
            }
        }
        return subst.release();
    }
};

// The substitution a unification starts from: a copy of `subst`, or a new dict.
// It must be idempotent: a variable in a value that is itself a key must map to
// itself.  Anything else could make the unification run forever, so it is
// refused with ValueError, as the reference implementation does.
Ref start(State* st, PyObject* subst) {
    if (!subst || subst == Py_None) return Ref::check(PyDict_New());
    if (!PyDict_CheckExact(subst)) throw Fallback{};
    Ref copy = Ref::check(PyDict_Copy(subst));
    PyObject* s = copy.get();
    if (PyDict_GET_SIZE(s) == 0) return copy;
    const AstApi& api = st->api;
    bool ok = true;
    auto check_var = [&](PyObject* u) {
        if (!ok) return;
        PyObject* w = PyDict_GetItemWithError(s, u);
        if (!w) {
            if (PyErr_Occurred()) throw PyErrorSet{};
            return;
        }
        if (w != u && !check_int(PyObject_RichCompareBool(w, u, Py_EQ))) ok = false;
    };
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(s, &pos, &key, &value)) {
        int k = api.exact_kind(value);
        if (k == K_VARIABLE) check_var(value);
        else if (k == K_FUNCTION_APP) for_each_free_var(value, k, check_var);
        else if (k != K_CONSTANT) throw Fallback{};
        if (!ok) {
            PyErr_SetString(PyExc_ValueError, "the substitution to extend is not idempotent");
            throw PyErrorSet{};
        }
    }
    return copy;
}

const char* const kTermNames[] = {"t1", "t2", "subst"};
const char* const kAtomNames[] = {"a1", "a2", "subst"};

PyObject* unify_terms(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[3];
        parse_args("unify_terms", kTermNames, 3, 2, args, nargs, kwnames, a);
        State* st = state_of_module(module);
        try {
            Unifier u(st, start(st, a[2]));
            u.push(a[0], a[1]);
            return u.run();
        } catch (const Fallback&) {
            return call_reference(st, "kelvara.core.substitutions", st->s_unify_terms, a, a[2] ? 3 : 2);
        }
    });
}

PyObject* unify_formulas(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[3];
        parse_args("unify_formulas", kAtomNames, 3, 2, args, nargs, kwnames, a);
        State* st = state_of_module(module);
        try {
            const AstApi& api = st->api;
            int k1 = api.exact_kind(a[0]);
            int k2 = api.exact_kind(a[1]);
            if (k1 == K_PREDICATE_APP && k2 == K_PREDICATE_APP) {
                auto* p1 = reinterpret_cast<PredicateAppNode*>(a[0]);
                auto* p2 = reinterpret_cast<PredicateAppNode*>(a[1]);
                PyObject* xs = fast_args(a[0], K_PREDICATE_APP);
                PyObject* ys = fast_args(a[1], K_PREDICATE_APP);
                Py_ssize_t n = PyTuple_GET_SIZE(xs);
                if (differ(p1->pred, p2->pred) || differ(p1->arity, p2->arity) || n != PyTuple_GET_SIZE(ys)) {
                    fail(st, st->s_predicate_clash, a[0], a[1]);
                    return nullptr;
                }
                Unifier u(st, start(st, a[2]));
                u.stack.reserve(static_cast<size_t>(n) + 4);
                for (Py_ssize_t i = n - 1; i >= 0; --i)
                    u.push(PyTuple_GET_ITEM(xs, i), PyTuple_GET_ITEM(ys, i));
                return u.run();
            }
            if (k1 == K_EQUALITY && k2 == K_EQUALITY) {
                auto* e1 = reinterpret_cast<EqualityNode*>(a[0]);
                auto* e2 = reinterpret_cast<EqualityNode*>(a[1]);
                Unifier u(st, start(st, a[2]));
                u.push(e1->right, e2->right);
                u.push(e1->left, e2->left);
                return u.run();
            }
            if (k1 >= 0 && k2 >= 0) {
                fail(st, st->s_node_clash, a[0], a[1]);
                return nullptr;
            }
            throw Fallback{};
        } catch (const Fallback&) {
            return call_reference(st, "kelvara.core.substitutions", st->s_unify_formulas, a, a[2] ? 3 : 2);
        }
    });
}

}  // namespace

PyMethodDef unify_terms_def = {
    "unify_terms", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unify_terms)),
    METH_FASTCALL | METH_KEYWORDS,
    "unify_terms($module, /, t1, t2, subst=None)\n--\n\n"
    "Return the most general unifier of two terms as a new dict Variable -> term."};

PyMethodDef unify_formulas_def = {
    "unify_formulas", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unify_formulas)),
    METH_FASTCALL | METH_KEYWORDS,
    "unify_formulas($module, /, a1, a2, subst=None)\n--\n\n"
    "Return the most general unifier of two atoms as a new dict Variable -> term."};

}  // namespace kv::native
