// Structural queries over terms and formulas: free and bound variables, depth
// and size.  Class tests hold for subclasses of the node classes; the
// second-order quantifiers are recognised by their class name.
#include "ast/state.hpp"

#include <vector>

namespace kv::ast {

static PyObject* class_text(PyObject* o) { return check(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(o)))); }

[[noreturn]] static void unsupported(const AstApi& api, const char* prefix, PyObject* o) {
    Ref cls = Ref::steal(class_text(o));
    raise_invalid(api, PyUnicode_FromFormat("%s%U", prefix, cls.get()));
}

// Exact nodes are read in place (the caller holds the tree, which is
// immutable); fields of instances of subclasses are read through attribute
// access and kept alive in `keep` for the rest of the walk.
struct FieldReader {
    const AstApi& api;
    std::vector<Ref> keep;

    PyObject* get(PyObject* node, bool exact, PyObject* name, PyObject* in_place) {
        if (exact) return in_place;
        keep.push_back(Ref::check(PyObject_GetAttr(node, name)));
        return keep.back().get();
    }
};

// ---------------------------------------------------------------- bound_variables

// Pre-order walk of the formula spine; terms and atoms bind nothing.
static void collect_bound(const AstApi& api, PyObject* root, PyObject* acc) {
    SmallStack<PyObject*, 64> stack;
    FieldReader rd{api, {}};
    stack.emplace_back(root);
    while (!stack.empty()) {
        PyObject* n = stack.back();
        stack.pop_back();
        int k = api.exact_kind(n);
        bool exact = k >= 0;
        if (!exact) k = api.instance_kind(n);
        switch (k) {
            case K_VARIABLE:
            case K_CONSTANT:
            case K_FUNCTION_APP:
            case K_PREDICATE_APP:
            case K_EQUALITY:
                continue;
            case K_NOT:
                stack.emplace_back(rd.get(n, exact, api.s_operand, exact ? reinterpret_cast<NotNode*>(n)->operand : nullptr));
                continue;
            case K_AND:
            case K_OR:
            case K_IMPLIES:
            case K_IFF: {
                BinaryNode* b = reinterpret_cast<BinaryNode*>(n);
                PyObject* l = rd.get(n, exact, api.s_left, exact ? b->left : nullptr);
                PyObject* r = rd.get(n, exact, api.s_right, exact ? b->right : nullptr);
                stack.emplace_back(r);
                stack.emplace_back(l);
                continue;
            }
            case K_FORALL:
            case K_EXISTS: {
                QuantNode* q = reinterpret_cast<QuantNode*>(n);
                check_int(PySet_Add(acc, rd.get(n, exact, api.s_variable, exact ? q->variable : nullptr)));
                stack.emplace_back(rd.get(n, exact, api.s_body, exact ? q->body : nullptr));
                continue;
            }
            default:
                break;
        }
        if (api.is_sol_quantifier(n)) {
            stack.emplace_back(rd.get(n, false, api.s_body, nullptr));
            continue;
        }
        unsupported(api, "Unsupported AST node type: ", n);
    }
}

// ---------------------------------------------------------------- depth and size

static long term_size(const AstApi& api, PyObject* t);

static long args_size(const AstApi& api, PyObject* args) {
    long total = 0;
    if (PyTuple_CheckExact(args)) {
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args); i < n; ++i) total += term_size(api, PyTuple_GET_ITEM(args, i));
        return total;
    }
    Ref it = Ref::check(PyObject_GetIter(args));
    while (PyObject* item = PyIter_Next(it.get())) {
        Ref own = Ref::steal(item);
        total += term_size(api, item);
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
    return total;
}

static long term_size(const AstApi& api, PyObject* t) {
    int k = api.exact_kind(t);
    if (k == K_VARIABLE || k == K_CONSTANT) return 1;
    if (k == K_FUNCTION_APP) {
        PyObject* args = reinterpret_cast<FunctionAppNode*>(t)->args;
        if (PyTuple_CheckExact(args) && PyTuple_GET_SIZE(args) == 0) return 1;
        RecursionGuard guard(" in formula_size");
        return 1 + args_size(api, args);
    }
    k = api.instance_kind(t);
    if (k == K_VARIABLE || k == K_CONSTANT) return 1;
    if (k != K_FUNCTION_APP) unsupported(api, "Expected Term, got ", t);
    RecursionGuard guard(" in formula_size");
    Ref args = FIELD(api, t, k, FunctionAppNode, args);
    return 1 + args_size(api, args.get());
}

// Both measures walk the spine with an explicit stack, so formula nesting is
// bounded by memory rather than by the C stack; term nesting uses recursion
// guarded against overflow.  Children are measured left before right, the
// bound variable of a quantifier before its body.
static long formula_measure(const AstApi& api, PyObject* root, bool size) {
    struct Frame {
        PyObject* node;
        int k;       // kind, or -3 for a second-order quantifier
        bool exact;
        bool second; // binary: the left child is done
        long acc;
    };
    SmallStack<Frame, 64> stack;
    FieldReader rd{api, {}};
    long result = 0;  // value of the child that finished last

    auto start = [&](PyObject* n) -> bool {
        // Pushes a frame for `n`, or sets `result` at once for an atom.
        int k = api.exact_kind(n);
        bool exact = k >= 0;
        if (!exact) {
            k = api.instance_kind(n);
            if (k < 0 && api.is_sol_quantifier(n)) k = -3;
        }
        switch (k) {
            case K_PREDICATE_APP:
            case K_EQUALITY: {
                long v = 1;
                if (size) {
                    if (k == K_PREDICATE_APP) {
                        v += args_size(api, rd.get(n, exact, api.s_args, exact ? reinterpret_cast<PredicateAppNode*>(n)->args : nullptr));
                    } else {
                        EqualityNode* e = reinterpret_cast<EqualityNode*>(n);
                        v += term_size(api, rd.get(n, exact, api.s_left, exact ? e->left : nullptr));
                        v += term_size(api, rd.get(n, exact, api.s_right, exact ? e->right : nullptr));
                    }
                }
                result = v;
                return false;
            }
            case K_NOT:
            case K_AND:
            case K_OR:
            case K_IMPLIES:
            case K_IFF:
            case K_FORALL:
            case K_EXISTS:
            case -3:
                stack.emplace_back(Frame{n, k, exact, false, 0});
                return true;
            default:
                unsupported(api, "Expected Formula, got ", n);
        }
    };
    auto first_child = [&](Frame& fr) -> PyObject* {
        PyObject* n = fr.node;
        switch (fr.k) {
            case K_NOT:
                return rd.get(n, fr.exact, api.s_operand, fr.exact ? reinterpret_cast<NotNode*>(n)->operand : nullptr);
            case K_FORALL:
            case K_EXISTS: {
                QuantNode* q = reinterpret_cast<QuantNode*>(n);
                if (size) fr.acc = term_size(api, rd.get(n, fr.exact, api.s_variable, fr.exact ? q->variable : nullptr));
                return rd.get(n, fr.exact, api.s_body, fr.exact ? q->body : nullptr);
            }
            case -3:
                return rd.get(n, false, api.s_body, nullptr);
            default:
                return rd.get(n, fr.exact, api.s_left, fr.exact ? reinterpret_cast<BinaryNode*>(n)->left : nullptr);
        }
    };

    if (!start(root)) return result;
    // Invariant: the top frame has not yet descended into its first child.
    PyObject* next = first_child(stack.back());
    while (true) {
        if (next) {
            if (start(next)) {
                next = first_child(stack.back());
                continue;
            }
            next = nullptr;
        }
        // `result` holds the value of the top frame's child that just finished.
        Frame& fr = stack.back();
        if (kind_is_binary(fr.k) && !fr.second) {
            fr.second = true;
            fr.acc = result;
            next = rd.get(fr.node, fr.exact, api.s_right, fr.exact ? reinterpret_cast<BinaryNode*>(fr.node)->right : nullptr);
            continue;
        }
        long v;
        if (kind_is_binary(fr.k)) v = size ? 1 + fr.acc + result : 1 + (fr.acc > result ? fr.acc : result);
        else v = 1 + result + (size ? fr.acc : 0);
        stack.pop_back();
        result = v;
        if (stack.empty()) break;
    }
    return result;
}

// ---------------------------------------------------------------- entry points

static PyObject* py_free_variables(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* node = one_arg("free_variables", "node", args, nargs, kwnames);
        State* st = static_cast<State*>(PyModule_GetState(module));
        return free_variables(st->api, node);
    });
}

static PyObject* py_bound_variables(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* node = one_arg("bound_variables", "node", args, nargs, kwnames);
        State* st = static_cast<State*>(PyModule_GetState(module));
        Ref acc = Ref::check(PySet_New(nullptr));
        collect_bound(st->api, node, acc.get());
        return acc.release();
    });
}

static PyObject* py_formula_depth(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* formula = one_arg("formula_depth", "formula", args, nargs, kwnames);
        State* st = static_cast<State*>(PyModule_GetState(module));
        return PyLong_FromLong(formula_measure(st->api, formula, false));
    });
}

static PyObject* py_formula_size(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* formula = one_arg("formula_size", "formula", args, nargs, kwnames);
        State* st = static_cast<State*>(PyModule_GetState(module));
        return PyLong_FromLong(formula_measure(st->api, formula, true));
    });
}

PyMethodDef free_variables_def = {
    "free_variables", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_free_variables)), METH_FASTCALL | METH_KEYWORDS,
    "free_variables($module, node)\n--\n\n"
    "Returns the set of free individual variables present in a term or formula AST node.\n\n"
    "The result is a new mutable set; atoms and applications answer from the set\n"
    "cached at construction."};
PyMethodDef bound_variables_def = {
    "bound_variables", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_bound_variables)), METH_FASTCALL | METH_KEYWORDS,
    "bound_variables($module, node)\n--\n\n"
    "Returns the set of bound variables introduced by quantifiers in a formula AST node.\n\n"
    "The result is a new mutable set; terms and atoms bind nothing."};
PyMethodDef formula_depth_def = {
    "formula_depth", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_formula_depth)), METH_FASTCALL | METH_KEYWORDS,
    "formula_depth($module, formula)\n--\n\n"
    "Computes the maximum height/depth of the formula AST.\n\n"
    "Leaf formula nodes (PredicateApp, Equality) have depth 1."};
PyMethodDef formula_size_def = {
    "formula_size", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_formula_size)), METH_FASTCALL | METH_KEYWORDS,
    "formula_size($module, formula)\n--\n\n"
    "Computes the total number of AST nodes (both Formula and Term nodes) in a formula tree.\n\n"
    "The bound variable of a first-order quantifier counts as a node."};

}  // namespace kv::ast
