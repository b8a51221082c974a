// Module state of kelvara._native, the native twin of the unification,
// substitution and literal-ordering companions, and the declarations shared by
// its files.
//
// It also defines the clause and literal classes of kelvara.prover.clausifier
// (`Literal`, `Clause`; the Python classes there are their reference twins).
//
// Every entry point handles exact node classes itself and hands anything else
// (subclasses of node classes, second-order quantifiers, mappings that are not
// dicts, symbols it cannot order) to the pure-Python reference in the companion
// modules, so that both give the same results on every input.  A C++ helper
// that meets such an input throws `Fallback`; the entry point then discards its
// partial work and calls the reference with the original arguments.
#pragma once

#include "common/nodes.hpp"
#include "common/records.hpp"

namespace kv::native {

// Thrown when the input leaves the native fast path; no Python error is set.
struct Fallback {};

// The `args` tuple of an exact FunctionApp or PredicateApp; throws Fallback
// when they are anything else (the reference iterates them).
inline PyObject* fast_args(PyObject* node, int k) {
    PyObject* args = indexable_args(node, k);
    if (!args) throw Fallback{};
    return args;
}

// Interned strings: reasons of UnificationError and attribute names.
#define KV_NATIVE_NAMES(X)                                                                     \
    X(occurs_check, "occurs check") X(sort_mismatch, "sort mismatch")                          \
    X(symbol_clash, "symbol clash") X(cannot_unify, "cannot unify")                            \
    X(predicate_clash, "predicate clash") X(node_clash, "node clash") X(atom, "atom")          \
    X(positive, "positive") X(order, "_order") X(value, "value") X(__name__, "__name__")      \
    X(unify_terms, "unify_terms") X(unify_formulas, "unify_formulas")                          \
    X(substitute_term, "substitute_term") X(substitute_formula, "substitute_formula")          \
    X(sort_literals, "sort_literals") X(python_implementation, "python_implementation")        \
    X(literals, "literals") X(substitute, "substitute") X(atom_text, "atom_text")              \
    X(free_variables, "free_variables") X(match_args, "__match_args__") X(tilde, "~")          \
    X(bar, " | ") X(comma, ", ") X(empty_text, "[]")

struct State {
    AstApi api;
    PyTypeObject* literal_type = nullptr;         // Literal
    PyTypeObject* clause_type = nullptr;          // Clause
    PyObject* frozen_error = nullptr;             // dataclasses.FrozenInstanceError
    PyObject* native_substitute_formula = nullptr;// this module's substitute_formula function
    PyObject* clausifier_globals = nullptr;       // dict of kelvara.prover.clausifier, read on first need
    setattrofunc dispatching_setattro = nullptr;  // the interpreter's setattro of classes defining __setattr__
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
// `with_self` counts a leading `self` in the messages, as for a Python method.
void parse_args(const char* fname, const char* const* names, int n, int nrequired, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, PyObject** out, bool with_self = false);

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

// Simultaneous substitution into a formula as this module's substitute_formula
// does (inputs outside the fast path go to the reference).
Ref substitute_formula_impl(State* st, PyObject* formula, PyObject* mapping);

// The byte order key of a literal: cached in the `_order` slot of a Literal of
// this module, read through attributes for other objects.  Throws Fallback
// when the encoding does not cover the literal.
Ref literal_order_key(State* st, PyObject* lit);

// The elements of a frozenset as a tuple in clause order (the reference orders
// what the native order does not cover).
Ref order_literal_set(State* st, PyObject* lits);

// The global `name` of kelvara.prover.clausifier, looked up at call time as
// the methods of the Python twins look up theirs (NameError when missing).
Ref clausifier_global(State* st, PyObject* name);

// True when `o` is a Literal or Clause of this module, its exact class.
bool is_exact_literal(PyObject* o);
bool is_exact_clause(PyObject* o);

// A new Literal of the exact class (hash computed, GC tracking decided).
PyObject* new_literal(State* st, PyObject* atom, bool positive);

// parse_args for a call with an argument tuple and a keyword dict, `self` counted.
void parse_call_args(const char* fname, const char* const* names, int n, int nrequired, PyObject* args,
                     PyObject* kwds, PyObject** out);

// lit.substitute(mapping) for a Literal of the exact class, with the
// clausifier's current `substitute_formula`: `lit` itself when the atom does
// not change.
Ref substitute_literal(State* st, PyObject* lit, PyObject* mapping, PyObject* substitute_formula);

// The state of the module whose class defined a method (METH_METHOD).
inline State* state_of_class(PyTypeObject* defining_class) {
    State* st = static_cast<State*>(PyType_GetModuleState(defining_class));
    if (!st) throw PyErrorSet{};
    return st;
}

// Frozen records: `__setattr__` and `__delattr__` raise FrozenInstanceError
// for every name, as the Python twins' do, while object.__setattr__ still
// writes the private cache slots (see make_frozen in module.cpp).
[[noreturn]] void raise_frozen(State* st, const char* fname, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);
void make_frozen(PyTypeObject* type, State* st);
extern const char kSetattrDoc[];
extern const char kDelattrDoc[];

PyTypeObject* make_literal_type(PyObject* module, State* st);
PyTypeObject* make_clause_type(PyObject* module, State* st);

// Creates the Literal and Clause classes and adds them to the module.
void add_clause_types(PyObject* module, State* st);
int traverse_clause_types(State* st, visitproc visit, void* arg);

extern PyMethodDef unify_terms_def;
extern PyMethodDef unify_formulas_def;
extern PyMethodDef substitute_term_def;
extern PyMethodDef substitute_formula_def;
extern PyMethodDef sort_literals_def;

}  // namespace kv::native
