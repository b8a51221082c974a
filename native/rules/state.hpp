// Module state of kelvara.prover.rules and the declarations shared by its
// files: argument parsing, global-name lookup and the entry points.
#pragma once

#include "common/nodes.hpp"

#include <initializer_list>
#include <vector>

namespace kv::rules {

// Interned names used on hot paths.
#define KV_RULES_NAMES(X)                                                                  \
    X(literals) X(free_variables) X(substitute) X(atom) X(positive) X(apply) X(signature)  \
    X(bound_vars) X(match_and_instantiate) X(name) X(description) X(rule_type)             \
    X(Clause) X(Literal) X(unify_formulas) X(unify_terms) X(UnificationError)              \
    X(resolve_clauses) X(factor_clause) X(paramodulate) X(ForallPred) X(ExistsPred)        \
    X(PredicateVariable) X(ho_pattern_unify) X(substitute_predicate)                       \
    X(instantiate_induction) X(to_cnf) X(__file__) X(__qualname__) X(substitute_formula)

struct State {
    AstApi api;
    PyTypeObject* rule_type = nullptr;         // InferenceRule
    PyTypeObject* sol_rule_type = nullptr;     // SOLInstantiateRule
    PyTypeObject* placeholder_type = nullptr;  // operation of a reconstruction rule
    PyObject* frozen_error = nullptr;          // dataclasses.FrozenInstanceError
    PyObject* kw_atom_positive = nullptr;      // ("atom", "positive")
    PyObject* kw_signature = nullptr;          // ("signature",)
    PyObject* kw_bound_vars = nullptr;         // ("bound_vars",)
    PyObject* one = nullptr;                   // int 1
    PyObject* str_resolution = nullptr;        // "resolution"
    PyObject* str_reconstruction = nullptr;    // "reconstruction"
    // The native clause and literal classes (nullptr when kelvara._native is
    // not built), what their namespaces held at load for the attributes the
    // rules use, and the version tags under which they were last seen so.
    PyTypeObject* clause_type = nullptr;
    PyTypeObject* literal_type = nullptr;
    PyObject* clause_attrs[3] = {};   // free_variables, substitute, literals
    PyObject* literal_attrs[2] = {};  // atom, positive
    unsigned int clause_version = 0;
    unsigned int literal_version = 0;
    PyObject* clausifier_dict = nullptr;            // namespace of kelvara.prover.clausifier
    PyObject* native_substitute_formula = nullptr;  // kelvara._native.substitute_formula
    PyObject* native_unify_formulas = nullptr;      // kelvara._native.unify_formulas
    PyObject* unification_error = nullptr;          // the UnificationError it raises
#define X(n) PyObject* s_##n = nullptr;
    KV_RULES_NAMES(X)
#undef X
};

extern PyModuleDef module_def;

inline State* state_of_module(PyObject* m) { return static_cast<State*>(PyModule_GetState(m)); }
// State of the module that defined `tp` or one of its bases.
State* state_of_type(PyTypeObject* tp);

// The value of a module global as the interpreter's name lookup finds it at
// call time (module namespace, then builtins); NameError when missing.
Ref global(PyObject* module, PyObject* name);

// Positional-or-keyword argument parsing with the interpreter's messages for
// a function `fname`.  `out` receives borrowed references, nullptr for an
// absent optional parameter.
struct Params {
    const char* fname;           // e.g. "resolve_clauses" or "SOLInstantiateRule.match_and_instantiate"
    const char* const* names;    // parameter names
    int n;                       // number of parameters
    int nrequired;               // leading required parameters
    int nself = 0;               // 1 for a method: `self` counts in the messages
};
void parse_args(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// Calls `f(a, b)` through vectorcall.
inline Ref call2(PyObject* f, PyObject* a, PyObject* b) {
    PyObject* argv[2] = {a, b};
    return Ref::check(PyObject_Vectorcall(f, argv, 2, nullptr));
}
inline Ref call1(PyObject* f, PyObject* a) { return Ref::check(PyObject_Vectorcall(f, &a, 1, nullptr)); }
inline Ref call_method0(PyObject* o, PyObject* name) {
    return Ref::check(PyObject_VectorcallMethod(name, &o, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline Ref call_method1(PyObject* o, PyObject* name, PyObject* a) {
    PyObject* argv[2] = {o, a};
    return Ref::check(PyObject_VectorcallMethod(name, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline Ref getattr(PyObject* o, PyObject* name) { return Ref::check(PyObject_GetAttr(o, name)); }
inline bool truthy(PyObject* o) { return check_int(PyObject_IsTrue(o)) != 0; }

// Runs `f`; when it raises an instance of `exc_class`, clears the error and
// returns false.  Any other error propagates.
template <class F>
inline bool skip_on(PyObject* exc_class, F&& f) {
    try {
        f();
        return true;
    } catch (const PyErrorSet&) {
        if (!PyErr_ExceptionMatches(exc_class)) throw;
        PyErr_Clear();
        return false;
    }
}

// Calls unify(a, b).  When it raises an instance of `exc_class` the error is
// cleared and an empty Ref returned, without unwinding: failed unification is
// the common case of the inference loops.  Other errors throw.
inline Ref try_unify(PyObject* unify, PyObject* a, PyObject* b, PyObject* exc_class) {
    PyObject* argv[2] = {a, b};
    PyObject* r = PyObject_Vectorcall(unify, argv, 2, nullptr);
    if (r) return Ref::steal(r);
    if (!PyErr_ExceptionMatches(exc_class)) throw PyErrorSet{};
    PyErr_Clear();
    return Ref();
}

// ---- module contents, in definition order ----
// record.cpp
void create_record_types(PyObject* module, State* st);  // InferenceRule and the placeholder type
extern PyMethodDef get_resolution_rules_def;
extern PyMethodDef get_reconstruction_rules_def;
extern PyMethodDef apply_rule_def;
// resolution.cpp
extern PyMethodDef standardize_def;
extern PyMethodDef resolve_clauses_def;
extern PyMethodDef factor_clause_def;
// paramodulation.cpp
extern PyMethodDef extract_subterms_def;
extern PyMethodDef extract_atom_subterms_def;
extern PyMethodDef replace_subterm_def;
extern PyMethodDef replace_atom_subterm_def;
extern PyMethodDef paramodulate_def;
// schema.cpp
void create_sol_rule_type(PyObject* module, State* st);

// Shared with paramodulation: renames c2 apart from c1; returns (c1, c2', renaming).
struct Standardized {
    Ref c1, c2, renaming;
};
Standardized standardize(State* st, PyObject* c1, PyObject* c2);
// native_clauses.cpp: true when the native clause and literal classes and the
// clausifier's substitute_formula are as loaded.
bool records_pristine(State* st);
// The literals of c1 and of c2 renamed apart from c1, as standardize() would
// leave them in (c1, c2') for clauses on the native fast path; false (nothing
// done) when the general path must run.
bool standardize_literals(State* st, PyObject* c1, PyObject* c2, Ref& lits1, Ref& lits2);
// The same with c2's literals renamed one at a time, when first needed.
struct Shifter;
class ApartPair {
public:
    ApartPair() = default;
    ~ApartPair();
    ApartPair(const ApartPair&) = delete;
    ApartPair& operator=(const ApartPair&) = delete;
    // False (nothing else to call) when the general path must run.
    bool init(State* st, PyObject* c1, PyObject* c2);
    PyObject* lits1() const { return lits1_.get(); }  // c1's literals (native Literals)
    PyObject* lits2() const { return lits2_.get(); }  // c2's literals before renaming
    // Literal j of the renamed c2 (borrowed from the pair).
    PyObject* renamed(Py_ssize_t j);
    // All of them, in c2's order.
    Ref renamed_all();

private:
    State* st_ = nullptr;
    Ref lits1_, lits2_;
    bool renames_ = false;
    long offset_ = 0;
    Shifter* shifter_ = nullptr;
    std::vector<Ref> renamed_;
};
// Clause(frozenset(union of `sets` and `extra`)).substitute(subst) built in one
// step when `subst` is a dict, the records are pristine and every literal is a
// native Literal (`extra` may be nullptr); an empty Ref when not.
Ref substituted_clause(State* st, std::initializer_list<PyObject*> sets, PyObject* extra, PyObject* subst);
// The literals of `clause` that are not equal to `lit`, as a new set.
Ref rest_of(PyObject* literals, PyObject* lit);
// A sequence snapshot of a clause's `literals` (a tuple or list is used as it is).
Ref literals_of(State* st, PyObject* clause);

}  // namespace kv::rules
