// The free-variable cache of a new compound node: FreeVarBuilder gathers its
// children's free variables and says how the node keeps them (see NodeFlags).
// Used by construction (construct.cpp).
#pragma once

#include "common/nodes.hpp"

namespace kv {

// Accumulates the free variables of several children.  The result is the
// shared empty frozenset, a single Variable (flagged NF_FV_SINGLE: the common
// case of one variable, kept without allocating a set), a few variables
// (NF_FV_FEW: up to kFewFreeVars exact variables whose cached hashes all
// differ, the next most common case, kept in a tuple until a frozenset is
// asked for), a child's cached frozenset or tuple of a few when it is the only
// contribution, or a brand-new frozenset.  Whatever is kept stands for the
// very frozenset the additions would have built: its elements added in the
// same order.
class FreeVarBuilder {
public:
    explicit FreeVarBuilder(const AstApi& api) : api_(api) {}
    FreeVarBuilder(const FreeVarBuilder&) = delete;
    FreeVarBuilder& operator=(const FreeVarBuilder&) = delete;
    ~FreeVarBuilder() {
        for (int i = 0; i < nvars_; ++i) Py_DECREF(vars_[i]);
    }

    void add_child(PyObject* child) {
        int k = api_.exact_kind(child);
        if (k == K_VARIABLE) {
            add_item(child);
        } else if (k == K_CONSTANT) {
        } else if (kind_has_free_vars(k)) {
            uint8_t flags = reinterpret_cast<Node*>(child)->flags;
            PyObject* fv = *free_vars_field(child, k);
            if (flags & NF_FV_SINGLE) add_item(fv);
            else if (flags & NF_FV_FEW) add_few(child, k, fv);
            else add_set(fv);
        } else {
            Ref s = Ref::check(free_variables(api_, child));
            if (PySet_GET_SIZE(s.get()) > 0) {
                materialize();
                merge(s.get());
            }
        }
    }

    // Returns the cache value (new reference); sets `fv_flags` to the node
    // flags that say how it is kept (NF_FV_SINGLE, NF_FV_FEW or none).
    PyObject* finish(uint8_t& fv_flags) {
        fv_flags = 0;
        if (acc_) return acc_.release();
        if (set_) return set_.release();
        if (few_) {
            fv_flags = NF_FV_FEW;
            return few_.release();
        }
        if (nvars_ >= 2) {
            PyObject* t = check(PyTuple_New(nvars_));
            for (int i = 0; i < nvars_; ++i) PyTuple_SET_ITEM(t, i, vars_[i]);  // the references move
            nvars_ = 0;
            PyObject_GC_UnTrack(t);  // it holds exact variables, which take no part in cycles
            fv_flags = NF_FV_FEW;
            return t;
        }
        if (nvars_ == 1) {
            fv_flags = NF_FV_SINGLE;
            nvars_ = 0;
            return vars_[0];
        }
        return Py_NewRef(api_.empty_frozenset);
    }

private:
    void add_item(PyObject* v) {
        if (!acc_ && !set_ && !few_) {
            for (int i = 0; i < nvars_; ++i)
                if (vars_[i] == v) return;
            if (nvars_ == 0 || (nvars_ < kFewFreeVars && joins(v))) {
                vars_[nvars_++] = Py_NewRef(v);
                return;
            }
        }
        materialize();
        check_int(PySet_Add(acc_.get(), v));
    }
    // Whether a frozenset holding the variables so far would take `v` without
    // comparing it to any of them (its hash differs from theirs), and all can
    // sit in an untracked tuple.
    bool joins(PyObject* v) const {
        PyTypeObject* var_type = api_.types[K_VARIABLE];
        if (Py_TYPE(v) != var_type || !(reinterpret_cast<Node*>(v)->flags & NF_HASH_CACHED)) return false;
        Py_hash_t h = reinterpret_cast<HashedNode*>(v)->hash;
        for (int i = 0; i < nvars_; ++i) {
            PyObject* w = vars_[i];
            if (Py_TYPE(w) != var_type || !(reinterpret_cast<Node*>(w)->flags & NF_HASH_CACHED) ||
                reinterpret_cast<HashedNode*>(w)->hash == h)
                return false;
        }
        return true;
    }
    void add_set(PyObject* fs) {
        if (PySet_GET_SIZE(fs) == 0) return;
        if (!acc_ && !set_ && !nvars_ && !few_) {
            set_ = Ref::borrow(fs);
            return;
        }
        if (set_.get() == fs) return;
        materialize();
        merge(fs);
    }
    // A child (kind k) whose free variables are the tuple of a few `t`.
    void add_few(PyObject* child, int k, PyObject* t) {
        if (!acc_ && !set_ && !nvars_ && !few_) {
            few_ = Ref::borrow(t);
            few_owner_ = Ref::borrow(child);
            few_kind_ = k;
            return;
        }
        if (few_.get() == t) return;
        // Merged in its frozenset's order: the child's frozenset is made now.
        add_set(free_vars_cache(child, k));
    }
    void materialize() {
        if (acc_) return;
        if (few_) {
            set_ = Ref::borrow(free_vars_cache(few_owner_.get(), few_kind_));
            few_.reset();
            few_owner_.reset();
        }
        acc_ = Ref::check(PyFrozenSet_New(nullptr));
        for (int i = 0; i < nvars_; ++i) check_int(PySet_Add(acc_.get(), vars_[i]));
        for (; nvars_ > 0; --nvars_) Py_DECREF(vars_[nvars_ - 1]);
        if (set_) {
            merge(set_.get());
            set_.reset();
        }
    }
    void merge(PyObject* s) {
        for_each_in_set(s, [&](PyObject* key) { check_int(PySet_Add(acc_.get(), key)); });
    }

    const AstApi& api_;
    PyObject* vars_[kFewFreeVars];  // owned: the contributions so far, variables, first to last
    int nvars_ = 0;
    Ref set_;        // the only contribution so far, a child's frozenset
    Ref few_;        // the only contribution so far, a child's tuple of a few ...
    Ref few_owner_;  // ... and that child (kind few_kind_)
    int few_kind_ = 0;
    Ref acc_;        // a brand-new frozenset being filled
};

// The free-variable cache of an application with arguments `args` (any
// iterable; an exact tuple is read in place), and its form in `fv_flags`.
inline PyObject* free_vars_of_args(const AstApi& api, PyObject* args, uint8_t& fv_flags) {
    FreeVarBuilder b(api);
    if (PyTuple_CheckExact(args)) {
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args); i < n; ++i) b.add_child(PyTuple_GET_ITEM(args, i));
    } else {
        Ref it = Ref::check(PyObject_GetIter(args));
        while (PyObject* item = PyIter_Next(it.get())) {
            Ref own = Ref::steal(item);
            b.add_child(item);
        }
        if (PyErr_Occurred()) throw PyErrorSet{};
    }
    return b.finish(fv_flags);
}

}  // namespace kv
