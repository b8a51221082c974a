// Module state of kelvara._native, the native twin of the unification,
// substitution and literal-ordering companions, and the declarations shared by
// its files.
//
// Every entry point handles exact node classes itself and hands anything else
// (subclasses of node classes, second-order quantifiers, mappings that are not
// dicts, symbols it cannot order) to the pure-Python reference in the companion
// modules, so that both give the same results on every input.  A C++ helper
// that meets such an input throws `Fallback`; the entry point then discards its
// partial work and calls the reference with the original arguments.
#pragma once

#include "common/nodes.hpp"

namespace kv::native {

// Thrown when the input leaves the native fast path; no Python error is set.
struct Fallback {};

// Interned strings: reasons of UnificationError and attribute names.
#define KV_NATIVE_NAMES(X)                                                                     \
    X(occurs_check, "occurs check") X(sort_mismatch, "sort mismatch")                          \
    X(symbol_clash, "symbol clash") X(cannot_unify, "cannot unify")                            \
    X(predicate_clash, "predicate clash") X(node_clash, "node clash") X(atom, "atom")          \
    X(positive, "positive") X(order, "_order") X(value, "value") X(__name__, "__name__")      \
    X(unify_terms, "unify_terms") X(unify_formulas, "unify_formulas")                          \
    X(substitute_term, "substitute_term") X(substitute_formula, "substitute_formula")          \
    X(sort_literals, "sort_literals") X(python_implementation, "python_implementation")

struct State {
    AstApi api;
    PyObject* unification_error = nullptr;  // kelvara.core.exceptions.UnificationError
    PyObject* sort_keys = nullptr;          // dict: interned sort -> its encoded ordering key (bytes)
#define X(n, s) PyObject* s_##n = nullptr;
    KV_NATIVE_NAMES(X)
#undef X
};

extern PyModuleDef module_def;

inline State* state_of_module(PyObject* m) { return static_cast<State*>(PyModule_GetState(m)); }

// Parses up to three positional-or-keyword arguments with the interpreter's
// messages; `out` receives borrowed references, nullptr for an absent optional one.
void parse_args(const char* fname, const char* const* names, int n, int nrequired, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// Calls the pure-Python reference `name` (from the companion module `companion`)
// with the given arguments.
PyObject* call_reference(State* st, const char* companion, PyObject* name, PyObject* const* args, Py_ssize_t n);

// True when the cached free variables of an exact atom or application (kind k)
// contain `var`.
bool fv_contains(PyObject* node, int k, PyObject* var);
// True when no cached free variable of the node is a key of `mapping` (a dict).
bool fv_disjoint(PyObject* node, int k, PyObject* mapping);

// Simultaneous substitution of `mapping` (a dict) into a term made of exact
// nodes; returns `term` itself when nothing changes.  Throws Fallback.
Ref subst_term(const AstApi& api, PyObject* term, PyObject* mapping);

extern PyMethodDef unify_terms_def;
extern PyMethodDef unify_formulas_def;
extern PyMethodDef substitute_term_def;
extern PyMethodDef substitute_formula_def;
extern PyMethodDef sort_literals_def;

}  // namespace kv::native
