// Simultaneous, capture-avoiding substitution of terms for variables, the
// native twin of substitute_term and substitute_formula in
// kelvara.core.substitutions.  Unchanged subtrees are shared and an unchanged
// input is returned itself; a quantifier whose bound variable occurs in a
// replacement that is actually inserted below it is renamed to a fresh
// variable, with ids chosen exactly as the reference chooses them.
#include "companions/state.hpp"

namespace kv::native {

Ref subst_term(const AstApi& api, PyObject* term, PyObject* mapping) {
    switch (api.exact_kind(term)) {
        case K_VARIABLE: {
            PyObject* v = PyDict_GetItemWithError(mapping, term);
            if (v) return Ref::borrow(v);
            if (PyErr_Occurred()) throw PyErrorSet{};
            return Ref::borrow(term);
        }
        case K_CONSTANT: return Ref::borrow(term);
        case K_FUNCTION_APP: {
            if (fv_disjoint(term, K_FUNCTION_APP, mapping)) return Ref::borrow(term);
            RecursionGuard guard(" while substituting into a term");
            auto* f = reinterpret_cast<FunctionAppNode*>(term);
            PyObject* olds = fast_args(term, K_FUNCTION_APP);
            Py_ssize_t n = PyTuple_GET_SIZE(olds);
            Ref args;  // created at the first changed argument
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* old = PyTuple_GET_ITEM(olds, i);
                Ref r = subst_term(api, old, mapping);
                if (!args) {
                    if (r.get() == old) continue;
                    args = Ref::check(PyTuple_New(n));
                    for (Py_ssize_t j = 0; j < i; ++j)
                        PyTuple_SET_ITEM(args.get(), j, Py_NewRef(PyTuple_GET_ITEM(olds, j)));
                }
                PyTuple_SET_ITEM(args.get(), i, r.release());
            }
            if (!args) return Ref::borrow(term);
            return Ref::steal(make_function_app(api, nullptr, f->func, f->arity, args.get(), f->return_sort));
        }
        default: throw Fallback{};
    }
}

namespace {

// Python-int maximum that keeps the interpreter's comparison semantics.
void raise_max(Ref& top, PyObject* id) {
    if (check_int(PyObject_RichCompareBool(id, top.get(), Py_GT))) top = Ref::borrow(id);
}

// Largest id of any variable occurring in an exact formula or term (free or
// bound), as max_variable_id; -1 when there is none.
Ref max_variable_id(const AstApi& api, PyObject* node) {
    Ref top = Ref::check(PyLong_FromLong(-1));
    SmallStack<PyObject*, 32> stack;
    stack.emplace_back(node);
    while (!stack.empty()) {
        PyObject* n = stack.back();
        stack.pop_back();
        int k = api.exact_kind(n);
        switch (k) {
            case K_VARIABLE: raise_max(top, reinterpret_cast<VariableNode*>(n)->id); break;
            case K_CONSTANT: break;
            case K_FUNCTION_APP:
            case K_PREDICATE_APP:
            case K_EQUALITY:
                for_each_free_var(n, k, [&](PyObject* v) {
                    if (api.exact_kind(v) != K_VARIABLE) throw Fallback{};
                    raise_max(top, reinterpret_cast<VariableNode*>(v)->id);
                });
                break;
            case K_NOT: stack.emplace_back(reinterpret_cast<NotNode*>(n)->operand); break;
            case K_AND:
            case K_OR:
            case K_IMPLIES:
            case K_IFF:
                stack.emplace_back(reinterpret_cast<BinaryNode*>(n)->right);
                stack.emplace_back(reinterpret_cast<BinaryNode*>(n)->left);
                break;
            case K_FORALL:
            case K_EXISTS:
                stack.emplace_back(reinterpret_cast<QuantNode*>(n)->variable);
                stack.emplace_back(reinterpret_cast<QuantNode*>(n)->body);
                break;
            default: throw Fallback{};
        }
    }
    return top;
}

// Renaming state of one substitute_formula call, computed on first need.
struct Scope {
    const AstApi& api;
    PyObject* formula;  // the formula being substituted (borrowed)
    PyObject* mapping;  // the caller's mapping as a dict (borrowed)
    Ref range_vars;     // variables of the replacement terms (a set)
    Ref next_id;        // next fresh id

    PyObject* ranges() {
        if (!range_vars) {
            Ref rv = Ref::check(PySet_New(nullptr));
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(mapping, &pos, &key, &value)) {
                int k = api.exact_kind(value);
                if (k == K_VARIABLE) check_int(PySet_Add(rv.get(), value));
                else if (k != K_CONSTANT) add_free_variables(api, value, rv.get());
            }
            range_vars = std::move(rv);
        }
        return range_vars.get();
    }

    Ref fresh(PyObject* var) {
        if (!next_id) {
            Ref top = max_variable_id(api, formula);
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(mapping, &pos, &key, &value)) {
                if (api.exact_kind(key) == K_VARIABLE) raise_max(top, reinterpret_cast<VariableNode*>(key)->id);
                else if (api.instance_kind(key) == K_VARIABLE) throw Fallback{};
            }
            Ref it = Ref::check(PyObject_GetIter(ranges()));
            while (PyObject* item = PyIter_Next(it.get())) {
                Ref v = Ref::steal(item);
                if (api.exact_kind(v.get()) != K_VARIABLE) throw Fallback{};
                raise_max(top, reinterpret_cast<VariableNode*>(v.get())->id);
            }
            if (PyErr_Occurred()) throw PyErrorSet{};
            Ref one = Ref::check(PyLong_FromLong(1));
            next_id = Ref::check(PyNumber_Add(top.get(), one.get()));
        }
        auto* v = reinterpret_cast<VariableNode*>(var);
        Ref nv = Ref::steal(make_variable(api, nullptr, next_id.get(), v->vkind, v->sort));
        Ref one = Ref::check(PyLong_FromLong(1));
        next_id = Ref::check(PyNumber_Add(next_id.get(), one.get()));
        return nv;
    }
};

// True when `var` occurs in the replacement `value` (a Variable equal to it,
// or a term containing it).
bool inserts(const AstApi& api, PyObject* value, PyObject* var) {
    switch (api.exact_kind(value)) {
        case K_VARIABLE: return check_int(PyObject_RichCompareBool(value, var, Py_EQ)) != 0;
        case K_CONSTANT: return false;
        case K_FUNCTION_APP:
            if (check_int(PyObject_RichCompareBool(value, var, Py_EQ))) return true;
            return fv_contains(value, K_FUNCTION_APP, var);
        default: throw Fallback{};
    }
}

Ref subst_formula(Scope& sc, PyObject* f, PyObject* mapping);

Ref subst_quantifier(Scope& sc, PyObject* f, int k, PyObject* mapping) {
    const AstApi& api = sc.api;
    auto* q = reinterpret_cast<QuantNode*>(f);
    PyObject* var = q->variable;
    PyObject* body = q->body;
    if (api.exact_kind(var) != K_VARIABLE) throw Fallback{};
    Ref narrowed;
    if (check_int(PyDict_Contains(mapping, var))) {
        narrowed = Ref::check(PyDict_Copy(mapping));
        check_int(PyDict_DelItem(narrowed.get(), var));
        if (PyDict_GET_SIZE(narrowed.get()) == 0) return Ref::borrow(f);
        mapping = narrowed.get();
    }
    if (check_int(PySet_Contains(sc.ranges(), var))) {
        // Renaming is needed only when a replacement mentioning `var` is
        // actually inserted below this quantifier.
        Ref body_free = Ref::steal(free_variables(api, body));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(mapping, &pos, &key, &value)) {
            if (!check_int(PySet_Contains(body_free.get(), key))) continue;
            if (!inserts(api, value, var)) continue;
            Ref new_var = sc.fresh(var);
            Ref inner = Ref::check(PyDict_Copy(mapping));
            check_int(PyDict_SetItem(inner.get(), var, new_var.get()));
            Ref new_body = subst_formula(sc, body, inner.get());
            return Ref::steal(make_quant(api, k, nullptr, new_var.get(), new_body.get()));
        }
    }
    Ref new_body = subst_formula(sc, body, mapping);
    if (new_body.get() == body) return Ref::borrow(f);
    return Ref::steal(make_quant(api, k, nullptr, var, new_body.get()));
}

// Substitution into an exact PredicateApp or Equality.
Ref subst_atom(const AstApi& api, PyObject* f, int k, PyObject* mapping) {
    if (fv_disjoint(f, k, mapping)) return Ref::borrow(f);
    if (k == K_EQUALITY) {
        auto* e = reinterpret_cast<EqualityNode*>(f);
        Ref left = subst_term(api, e->left, mapping);
        Ref right = subst_term(api, e->right, mapping);
        if (left.get() == e->left && right.get() == e->right) return Ref::borrow(f);
        return Ref::steal(make_equality(api, nullptr, left.get(), right.get()));
    }
    auto* p = reinterpret_cast<PredicateAppNode*>(f);
    PyObject* olds = fast_args(f, K_PREDICATE_APP);
    Py_ssize_t n = PyTuple_GET_SIZE(olds);
    Ref args;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* old = PyTuple_GET_ITEM(olds, i);
        Ref r = subst_term(api, old, mapping);
        if (!args) {
            if (r.get() == old) continue;
            args = Ref::check(PyTuple_New(n));
            for (Py_ssize_t j = 0; j < i; ++j) PyTuple_SET_ITEM(args.get(), j, Py_NewRef(PyTuple_GET_ITEM(olds, j)));
        }
        PyTuple_SET_ITEM(args.get(), i, r.release());
    }
    if (!args) return Ref::borrow(f);
    return Ref::steal(make_predicate_app(api, nullptr, p->pred, p->arity, args.get()));
}

Ref subst_formula(Scope& sc, PyObject* f, PyObject* mapping) {
    const AstApi& api = sc.api;
    int k = api.exact_kind(f);
    switch (k) {
        case K_PREDICATE_APP:
        case K_EQUALITY: return subst_atom(api, f, k, mapping);
        case K_VARIABLE:
        case K_CONSTANT:
        case K_FUNCTION_APP: return subst_term(api, f, mapping);
        case K_NOT: {
            RecursionGuard guard(" while substituting into a formula");
            PyObject* op = reinterpret_cast<NotNode*>(f)->operand;
            Ref r = subst_formula(sc, op, mapping);
            if (r.get() == op) return Ref::borrow(f);
            return Ref::steal(make_not(api, nullptr, r.get()));
        }
        case K_AND:
        case K_OR:
        case K_IMPLIES:
        case K_IFF: {
            RecursionGuard guard(" while substituting into a formula");
            auto* b = reinterpret_cast<BinaryNode*>(f);
            Ref left = subst_formula(sc, b->left, mapping);
            Ref right = subst_formula(sc, b->right, mapping);
            if (left.get() == b->left && right.get() == b->right) return Ref::borrow(f);
            return Ref::steal(make_binary(api, k, nullptr, left.get(), right.get()));
        }
        case K_FORALL:
        case K_EXISTS: {
            RecursionGuard guard(" while substituting into a formula");
            return subst_quantifier(sc, f, k, mapping);
        }
        default: throw Fallback{};
    }
}

}  // namespace

Ref substitute_formula_impl(State* st, PyObject* formula, PyObject* mapping) {
    try {
        if (!PyDict_CheckExact(mapping)) throw Fallback{};
        if (PyDict_GET_SIZE(mapping) == 0) return Ref::borrow(formula);
        int k = st->api.exact_kind(formula);
        if (k == K_PREDICATE_APP || k == K_EQUALITY) return subst_atom(st->api, formula, k, mapping);
        Scope sc{st->api, formula, mapping, Ref(), Ref()};
        return subst_formula(sc, formula, mapping);
    } catch (const Fallback&) {
        PyObject* a[2] = {formula, mapping};
        return Ref::check(call_reference(st, "kelvara.core.substitutions", st->s_substitute_formula, a, 2));
    }
}

namespace {

const char* const kTermNames[] = {"term", "mapping"};
const char* const kFormulaNames[] = {"formula", "mapping"};

PyObject* substitute_term(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[2];
        parse_args("substitute_term", kTermNames, 2, 2, args, nargs, kwnames, a);
        State* st = state_of_module(module);
        try {
            if (!PyDict_CheckExact(a[1])) throw Fallback{};
            if (PyDict_GET_SIZE(a[1]) == 0) return Py_NewRef(a[0]);
            return subst_term(st->api, a[0], a[1]).release();
        } catch (const Fallback&) {
            return call_reference(st, "kelvara.core.substitutions", st->s_substitute_term, a, 2);
        }
    });
}

PyObject* substitute_formula(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[2];
        parse_args("substitute_formula", kFormulaNames, 2, 2, args, nargs, kwnames, a);
        return substitute_formula_impl(state_of_module(module), a[0], a[1]).release();
    });
}

}  // namespace

PyMethodDef substitute_term_def = {
    "substitute_term", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(substitute_term)),
    METH_FASTCALL | METH_KEYWORDS,
    "substitute_term($module, /, term, mapping)\n--\n\n"
    "Apply mapping (Variable -> term) simultaneously to term."};

PyMethodDef substitute_formula_def = {
    "substitute_formula", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(substitute_formula)),
    METH_FASTCALL | METH_KEYWORDS,
    "substitute_formula($module, /, formula, mapping)\n--\n\n"
    "Apply mapping (Variable -> term) simultaneously to the free variables of formula, avoiding capture."};

}  // namespace kv::native
