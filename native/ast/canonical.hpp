// Shared pieces of the canonical renaming of bound variables: the index
// generator, and the entry point of the pass over small plain trees.
#pragma once

#include "ast/state.hpp"

#include <memory>
#include <unordered_set>
#include <vector>

namespace kv::ast {

// The canonical arguments of an exact tuple, each argument mapped by
// `term(a, same_a)` (a new reference; `same_a` tells whether it came back
// equal): the tuple itself when every argument comes back as the same
// object, else a new tuple; `same` tells whether they all come back equal.
template <class Term>
[[gnu::always_inline]] inline Ref map_arg_tuple(PyObject* args, bool& same, Term&& term) {
    same = true;
    Ref out;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args); i < n; ++i) {
        PyObject* a = PyTuple_GET_ITEM(args, i);
        bool s;
        PyObject* r = term(a, s);
        same = same && s;
        if (!out && r != a) {
            out = Ref::steal(PyTuple_New(n));
            if (!out) {
                Py_DECREF(r);
                throw PyErrorSet{};
            }
            for (Py_ssize_t j = 0; j < i; ++j) PyTuple_SET_ITEM(out.get(), j, Py_NewRef(PyTuple_GET_ITEM(args, j)));
        }
        if (out) PyTuple_SET_ITEM(out.get(), i, r);
        else Py_DECREF(r);
    }
    return out ? std::move(out) : Ref::borrow(args);
}

// Hands out indices 0, 1, 2, ... skipping the reserved ones (the ids of the
// free variables, by value).  Negative ids cannot collide with the counter
// and are ignored.
class IndexGenerator {
public:
    [[gnu::always_inline]] void reserve(long id) {
        if (static_cast<unsigned long>(id) < kSmall) small_[id >> 6] |= uint64_t{1} << (id & 63);
        else if (id >= kSmall) reserve_large(id);
    }
    long get_next() {
        while (reserved(current_)) ++current_;
        return current_++;
    }

private:
    static constexpr long kSmall = 256;  // ids below: a bitset in place
    static constexpr long kDense = 1 << 16;
    // Reserved ids from kSmall on, made on the first one (most formulas have none).
    struct Large {
        std::vector<bool> dense;
        std::unordered_set<long> sparse;
    };
    void reserve_large(long id) {
        if (!large_) large_ = std::make_unique<Large>();
        if (id < kDense) {
            if (large_->dense.size() <= static_cast<size_t>(id)) large_->dense.resize(id + 1, false);
            large_->dense[id] = true;
        } else {
            large_->sparse.insert(id);
        }
    }
    bool reserved(long i) const {
        if (i < kSmall) return (small_[i >> 6] >> (i & 63)) & 1;
        if (!large_) return false;
        if (i < static_cast<long>(large_->dense.size())) return large_->dense[i];
        return !large_->sparse.empty() && large_->sparse.count(i);
    }
    uint64_t small_[kSmall / 64] = {};
    std::unique_ptr<Large> large_;
    long current_ = 0;
};

// The tallest plain tree the plain pass takes: it recurses once per level
// without consulting the stack floor or the recursion limit, as freeing and
// comparing such trees do.
constexpr unsigned kPlainCanonHeight = 32;

// The canonical form of `formula` when it is a plain tree (NF_PLAIN) of at
// most kPlainCanonHeight levels whose shape the plain pass covers: every
// formula position holds an atom, a connective or a first-order quantifier,
// every term position a Variable with a compact int id, a Constant or a
// FunctionApp.  Returns nullptr, with nothing done and no error set, for any
// other input: the general pass then takes it from the start.  Throws
// PyErrorSet on error.
PyObject* canonicalize_plain(const AstApi& api, PyObject* formula);

}  // namespace kv::ast
