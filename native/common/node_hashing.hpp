// The hash of a new node from its class and fields, as hash() of the tuple of
// them would give, reading the cached hashes of exact children in place.
// Used by construction (construct.cpp, plain_copies.cpp).
#pragma once

#include "common/nodes.hpp"

namespace kv {

// Hash of a child: read straight from the cache of an exact node.
inline void add_child_hash(const AstApi& api, TupleHasher& h, PyObject* o) {
    int k = api.exact_kind(o);
    if (k >= 0 && hash_cached(o, k)) h.add_hash(reinterpret_cast<HashedNode*>(o)->hash);
    else h.add(o);
}

// hash(args): the tuple hash computed here from the children's cached hashes
// (same value as the interpreter's, which is not cached on tuples).
inline void add_args_hash(const AstApi& api, TupleHasher& h, PyObject* args) {
    if (!PyTuple_CheckExact(args)) {
        h.add(args);
        return;
    }
    TupleHasher inner;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args); i < n; ++i) add_child_hash(api, inner, PyTuple_GET_ITEM(args, i));
    h.add_hash(inner.finish());
}

inline Py_hash_t type_hash(PyTypeObject* t) {
    Py_hash_t h = PyObject_Hash(reinterpret_cast<PyObject*>(t));
    if (h == -1) throw PyErrorSet{};
    return h;
}

// Hash of the class of a node being built: `type`, or the exact class of kind
// k (nullptr), whose hash is taken once.
inline Py_hash_t class_hash(const AstApi& api, int k, PyTypeObject* type) {
    if (type) return type_hash(type);
    Py_hash_t h = api.type_hashes[k];
    if (h == 0) api.type_hashes[k] = h = type_hash(api.types[k]);
    return h;
}

// hash() of a symbol or arity field: read from an exact str that has it,
// computed for a small exact int, asked of the object otherwise.
inline void add_field_hash(TupleHasher& h, PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyUnicode_Type) {
        Py_hash_t sh = reinterpret_cast<PyASCIIObject*>(o)->hash;
        if (sh != -1) {
            h.add_hash(sh);
            return;
        }
    } else if (t == &PyLong_Type) {
        long v;
        if (small_int_value(o, v)) {
            h.add_hash(v == -1 ? -2 : v);
            return;
        }
    }
    h.add(o);
}

}  // namespace kv
