// Memory layout of the clause and literal records of kelvara.prover.clausifier
// (the native classes of kelvara._native), shared with the rules module, which
// reads them directly after checking the exact class.
#pragma once

#include "common/ref.hpp"

namespace kv {

// A literal: an atom with a sign (kelvara.prover.clausifier.Literal).
// `atom` and `positive` are plain object slots read through member
// descriptors, which the interpreter's attribute specialization reads as fast
// as the slots of a Python class.
struct LiteralObject {
    PyObject_HEAD
    Py_hash_t hash;      // hash((atom, positive)), taken at construction
    PyObject* atom;      // the atom, owned: a PredicateApp or Equality in practice, anything hashable allowed
    PyObject* positive;  // the sign, Py_True (the atom itself) or Py_False, owned
    PyObject* key;       // `_key`: the reference's structural order key once it computed it, else nullptr (None)
    PyObject* order;     // `_order`: the byte order key (bytes) once computed, else nullptr (None)
};
inline bool is_positive(const LiteralObject* l) { return l->positive == Py_True; }

// A clause: a set of literals read as their disjunction (kelvara.prover.clausifier.Clause).
struct ClauseObject {
    PyObject_HEAD
    Py_hash_t hash;      // hash of `set`, taken at construction
    PyObject* set;       // frozenset of the literals, owned (`_set`, `literal_set`)
    PyObject* literals;  // tuple of the same literals in clause order, owned
};

}  // namespace kv
