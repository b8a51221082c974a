// Recycled memory of exact nodes.  Freeing an exact node returns its memory to
// a short list for its layout instead of the interpreter's allocator, and the
// next node of that layout built by any module reuses it: the allocator's and
// collector's bookkeeping for the common build-and-drop pattern of rewriting
// walks (a canonical copy, a substituted copy) is skipped.
//
// One pool per kelvara.core.ast module object (per interpreter), kept in its
// state; the other modules reach it through a strong reference to that
// module.  Entries are dead objects: reference count 0, no reference to their
// type, untracked by the collector (a node is untracked before it is freed;
// an untracked object's collector header is in the same state as a new one's).
// Python subclasses never come here: their instances have other sizes.
//
// A node built on pooled memory is announced as a new object
// (revive_object), as the interpreter's own free lists do.  Under
// AddressSanitizer the memory of an entry is poisoned, so a read of a freed
// node still fails.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KV_POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define KV_POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define KV_POOL_POISON(p, n) ((void)(p), (void)(n))
#define KV_POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace kv {

class NodePool {
public:
    // Layouts: Variable, Constant, FunctionApp, PredicateApp, Equality, Not,
    // and the two-field nodes (connectives, quantifiers).
    static constexpr int kLayouts = 7;
    // Entries kept per layout (at most about 100 KiB of the largest layout).
    static constexpr uint16_t kCapacity = 1024;

    static int layout(int kind) { return kind < kLayouts - 1 ? kind : kLayouts - 1; }

    // Opens the pool for a module whose node classes have been created.
    void open() { open_ = true; }

    // Takes the memory of a dead exact node of `kind` and `size` bytes; false
    // when the pool is closed or full (the caller then frees it as usual).
    bool push(PyObject* o, int kind, size_t size) {
        int l = layout(kind);
        if (!open_ || count_[l] >= kCapacity) return false;
        next_of(o) = head_[l];
        head_[l] = o;
        ++count_[l];
        KV_POOL_POISON(o, size);
        return true;
    }

    // A dead node of `kind`, `size` bytes, or nullptr.  Its reference count,
    // type and fields are the caller's to set.
    PyObject* pop(int kind, size_t size) {
        int l = layout(kind);
        PyObject* o = head_[l];
        if (!o) return nullptr;
        KV_POOL_UNPOISON(o, size);
        head_[l] = next_of(o);
        --count_[l];
        return o;
    }

    // Frees every entry and closes the pool.  `gc[l]`: the layout's objects
    // carry a collector header.
    void close(const bool (&gc)[kLayouts], const size_t (&size)[kLayouts]) {
        open_ = false;
        for (int l = 0; l < kLayouts; ++l) {
            while (PyObject* o = pop(l, size[l])) {
                if (gc[l]) PyObject_GC_Del(o);
                else PyObject_Free(o);
            }
        }
    }

    size_t count(int l) const { return count_[l]; }

private:
    // The link to the next entry, stored past the object header (the
    // reference count stays 0 while the object is in the pool).
    static PyObject*& next_of(PyObject* o) {
        return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + sizeof(PyObject));
    }

    PyObject* head_[kLayouts] = {};
    uint16_t count_[kLayouts] = {};
    bool open_ = false;
};

}  // namespace kv
