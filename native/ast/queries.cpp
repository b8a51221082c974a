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

#define FIELD(api, node, k, T, f) node_field(api, node, k, api.s_##f, offsetof(T, f))

// ---------------------------------------------------------------- bound_variables

// Pre-order walk of the formula spine; terms and atoms bind nothing.
static void collect_bound(const AstApi& api, PyObject* root, PyObject* acc) {
    std::vector<Ref> stack;
    stack.push_back(Ref::borrow(root));
    while (!stack.empty()) {
        Ref node = std::move(stack.back());
        stack.pop_back();
        PyObject* n = node.get();
        int k = api.instance_kind(n);
        switch (k) {
            case K_VARIABLE:
            case K_CONSTANT:
            case K_FUNCTION_APP:
            case K_PREDICATE_APP:
            case K_EQUALITY:
                continue;
            case K_NOT:
                stack.push_back(FIELD(api, n, k, NotNode, operand));
                continue;
            case K_AND:
            case K_OR:
            case K_IMPLIES:
            case K_IFF: {
                Ref l = FIELD(api, n, k, BinaryNode, left);
                Ref r = FIELD(api, n, k, BinaryNode, right);
                stack.push_back(std::move(r));
                stack.push_back(std::move(l));
                continue;
            }
            case K_FORALL:
            case K_EXISTS: {
                Ref v = FIELD(api, n, k, QuantNode, variable);
                check_int(PySet_Add(acc, v.get()));
                stack.push_back(FIELD(api, n, k, QuantNode, body));
                continue;
            }
            default:
                break;
        }
        if (api.is_sol_quantifier(n)) {
            stack.push_back(Ref::check(PyObject_GetAttr(n, api.s_body)));
            continue;
        }
        unsupported(api, "Unsupported AST node type: ", n);
    }
}

// ---------------------------------------------------------------- depth and size

static long term_size(const AstApi& api, PyObject* t) {
    int k = api.instance_kind(t);
    if (k == K_VARIABLE || k == K_CONSTANT) return 1;
    if (k != K_FUNCTION_APP) unsupported(api, "Expected Term, got ", t);
    RecursionGuard guard(" in formula_size");
    Ref args = FIELD(api, t, k, FunctionAppNode, args);
    long total = 1;
    if (PyTuple_CheckExact(args.get())) {
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args.get()); i < n; ++i)
            total += term_size(api, PyTuple_GET_ITEM(args.get(), i));
    } else {
        Ref it = Ref::check(PyObject_GetIter(args.get()));
        while (PyObject* item = PyIter_Next(it.get())) {
            Ref own = Ref::steal(item);
            total += term_size(api, item);
        }
        if (PyErr_Occurred()) throw PyErrorSet{};
    }
    return total;
}

static long atom_args_size(const AstApi& api, PyObject* args) {
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

// Both measures walk the spine with an explicit stack, so formula nesting is
// bounded by memory rather than by the C stack; term nesting uses recursion
// guarded against overflow.
static long formula_measure(const AstApi& api, PyObject* root, bool size) {
    struct Frame {
        Ref node;
        int k;
        int state;  // children already processed
        long acc;
    };
    std::vector<Frame> stack;
    std::vector<long> results;
    auto push = [&](Ref n) { stack.push_back(Frame{std::move(n), -2, 0, 0}); };
    push(Ref::borrow(root));
    while (!stack.empty()) {
        Frame& fr = stack.back();
        PyObject* n = fr.node.get();
        if (fr.k == -2) {
            int k = api.instance_kind(n);
            if (k < 0 && api.is_sol_quantifier(n)) k = -3;
            fr.k = k;
            switch (k) {
                case K_PREDICATE_APP:
                case K_EQUALITY: {
                    long v = 1;
                    if (size) {
                        if (k == K_PREDICATE_APP) {
                            Ref args = FIELD(api, n, k, PredicateAppNode, args);
                            v += atom_args_size(api, args.get());
                        } else {
                            Ref l = FIELD(api, n, k, EqualityNode, left);
                            v += term_size(api, l.get());
                            Ref r = FIELD(api, n, k, EqualityNode, right);
                            v += term_size(api, r.get());
                        }
                    }
                    stack.pop_back();
                    results.push_back(v);
                    continue;
                }
                case K_NOT:
                    push(FIELD(api, n, k, NotNode, operand));
                    continue;
                case K_AND:
                case K_OR:
                case K_IMPLIES:
                case K_IFF:
                    push(FIELD(api, n, k, BinaryNode, left));
                    continue;
                case K_FORALL:
                case K_EXISTS:
                    if (size) {
                        Ref v = FIELD(api, n, k, QuantNode, variable);
                        fr.acc = term_size(api, v.get());
                    }
                    push(FIELD(api, n, k, QuantNode, body));
                    continue;
                case -3:
                    push(Ref::check(PyObject_GetAttr(n, api.s_body)));
                    continue;
                default:
                    unsupported(api, "Expected Formula, got ", n);
            }
        }
        // A child finished.
        long child = results.back();
        results.pop_back();
        if (kind_is_binary(fr.k) && fr.state == 0) {
            fr.state = 1;
            fr.acc = child;
            Ref r = FIELD(api, n, fr.k, BinaryNode, right);
            push(std::move(r));
            continue;
        }
        long v;
        if (kind_is_binary(fr.k)) {
            v = size ? 1 + fr.acc + child : 1 + (fr.acc > child ? fr.acc : child);
        } else {
            v = 1 + child + (size ? fr.acc : 0);
        }
        stack.pop_back();
        results.push_back(v);
    }
    return results.back();
}

// ---------------------------------------------------------------- entry points

static PyObject* py_free_variables(PyObject* module, PyObject* node) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = static_cast<State*>(PyModule_GetState(module));
        return free_variables(st->api, node);
    });
}

static PyObject* py_bound_variables(PyObject* module, PyObject* node) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = static_cast<State*>(PyModule_GetState(module));
        Ref acc = Ref::check(PySet_New(nullptr));
        collect_bound(st->api, node, acc.get());
        return acc.release();
    });
}

static PyObject* py_formula_depth(PyObject* module, PyObject* formula) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = static_cast<State*>(PyModule_GetState(module));
        return PyLong_FromLong(formula_measure(st->api, formula, false));
    });
}

static PyObject* py_formula_size(PyObject* module, PyObject* formula) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = static_cast<State*>(PyModule_GetState(module));
        return PyLong_FromLong(formula_measure(st->api, formula, true));
    });
}

PyMethodDef free_variables_def = {
    "free_variables", py_free_variables, METH_O,
    "free_variables($module, node, /)\n--\n\n"
    "Returns the set of free individual variables present in a term or formula AST node.\n\n"
    "The result is a new mutable set; atoms and applications answer from the set\n"
    "cached at construction."};
PyMethodDef bound_variables_def = {
    "bound_variables", py_bound_variables, METH_O,
    "bound_variables($module, node, /)\n--\n\n"
    "Returns the set of bound variables introduced by quantifiers in a formula AST node.\n\n"
    "The result is a new mutable set; terms and atoms bind nothing."};
PyMethodDef formula_depth_def = {
    "formula_depth", py_formula_depth, METH_O,
    "formula_depth($module, formula, /)\n--\n\n"
    "Computes the maximum height/depth of the formula AST.\n\n"
    "Leaf formula nodes (PredicateApp, Equality) have depth 1."};
PyMethodDef formula_size_def = {
    "formula_size", py_formula_size, METH_O,
    "formula_size($module, formula, /)\n--\n\n"
    "Computes the total number of AST nodes (both Formula and Term nodes) in a formula tree.\n\n"
    "The bound variable of a first-order quantifier counts as a node."};

}  // namespace kv::ast
