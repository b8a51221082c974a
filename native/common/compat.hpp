// The one place where the native modules reach past the public C API or
// depend on the interpreter version.  Every entry says why it is here and
// which versions have what it uses; code elsewhere calls these wrappers.
//
// Checked against the C API changes of 3.14 (its removals, and the private
// functions it deprecates for removal in 3.18): nothing here is removed
// there.  PyDictObject.ma_version_tag, which 3.14 removes, is read only
// before 3.12; the thread state's recursion counters, which 3.14 replaces by
// stack limits, are read only up to 3.13; _PyType_Lookup and
// _PyType_LookupRef are still declared in 3.14's cpython/object.h; none of
// the private functions 3.14 deprecates (_PyDict_Pop, _PyLong_Sign,
// _PyUnicodeWriter_*, _PyThreadState_UncheckedGet, _Py_HashPointer, ...) is
// used.  Outside this header the modules use, on 3.12+, dict watchers
// (PyDict_AddWatcher), present in 3.14.
#pragma once

#include "common/ref.hpp"

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace kv {

// ---- module slots
// Declares that the module relies on the GIL, so a free-threaded build
// enables the GIL when importing it instead of running it unprotected.
// Py_mod_gil exists from 3.13 on; earlier interpreters always hold a GIL.
#ifdef Py_mod_gil
#define KV_MOD_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define KV_MOD_GIL_SLOT
#endif

// ---- sets
// Calls f(key) for every element of the set or frozenset `s`; `key` is a
// strong reference for the duration of the call, so `f` may run Python code.
// 3.10-3.12 declare the interpreter's allocation-free entry walk
// (_PySet_NextEntry, cpython/setobject.h); 3.13 moved it to the internal
// headers, so from 3.13 on the set's public iterator is used.
template <class F>
inline void for_each_in_set(PyObject* s, F&& f) {
#if PY_VERSION_HEX < 0x030D0000
    Py_ssize_t pos = 0;
    PyObject* key;
    Py_hash_t h;
    while (_PySet_NextEntry(s, &pos, &key, &h)) {
        Ref keep = Ref::borrow(key);
        f(key);
    }
#else
    Ref it = Ref::check(PyObject_GetIter(s));
    while (PyObject* item = PyIter_Next(it.get())) {
        Ref keep = Ref::steal(item);
        f(item);
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
#endif
}

// The hash table of a set or frozenset: `slots` entries, each a key
// (nullptr when the slot is empty) and its hash.  PySetObject's `table` and
// `mask` are declared outside the limited API on 3.10-3.14
// (cpython/setobject.h; setobject.h on 3.10).  A frozenset's table holds no
// dummy entries, as nothing is ever removed from one; read it only while no
// Python code runs.
inline const setentry* frozenset_table(PyObject* s, Py_ssize_t& slots) {
    PySetObject* so = reinterpret_cast<PySetObject*>(s);
    slots = so->mask + 1;
    return so->table;
}

// acc |= items for a set `acc` and a set or frozenset `items`.  3.10-3.12
// declare _PySet_Update (cpython/setobject.h), which resizes once; 3.13
// removed it from the headers, so there the in-place `|` operator does the
// same merge (a set's nb_inplace_or, public on every version).
inline void set_merge(PyObject* acc, PyObject* items) {
#if PY_VERSION_HEX < 0x030D0000
    if (_PySet_Update(acc, items) < 0) throw PyErrorSet{};
#else
    Ref same = Ref::check(PyNumber_InPlaceOr(acc, items));
#endif
}

// ---- small ints
// The value of an exact int `o` whose magnitude fits one internal digit;
// false for a larger one.  3.12 added the unstable-tier PyUnstable_Long_IsCompact
// and PyUnstable_Long_CompactValue (present in 3.14); before 3.12 the int's
// size and first digit are read from its layout (cpython/longintrepr.h),
// which those versions keep.
inline bool compact_int_value(PyObject* o, long& v) {
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) return false;
    v = static_cast<long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o)));
    return true;
#else
    Py_ssize_t size = Py_SIZE(o);
    if (size < -1 || size > 1) return false;
    v = size == 0 ? 0 : static_cast<long>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]) * size;
    return true;
#endif
}

// ---- recycled objects
// Gives a dead object whose memory is reused (reference count 0, type set)
// its first reference, as the interpreter's own free lists do: the count
// becomes 1, and what watches new objects sees it (tracemalloc's traceback
// of the memory, 3.13's reference tracer, a debug build's total count and
// list of objects).  _Py_NewReference is declared in cpython/object.h on
// 3.10-3.13.
inline void revive_object(PyObject* o) { _Py_NewReference(o); }

// ---- instance dictionaries
// Whether instances of `tp` can have a __dict__ (a dict offset, or one kept
// by the interpreter: Py_TPFLAGS_MANAGED_DICT, 3.12+).
inline bool has_instance_dict(PyTypeObject* tp) {
#ifdef Py_TPFLAGS_MANAGED_DICT
    if (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) return true;
#endif
    return tp->tp_dictoffset != 0;
}

// The instance __dict__ of `o` (new reference; created when the object has
// none yet), or an empty Ref when its class gives instances no __dict__.
// Public API on every version (PyObject_GenericGetDict).  Before 3.12 an
// allocation may run a collection on the spot, and a finaliser that stores an
// attribute on `o` while its dict is being made loses the store (the dict
// under construction replaces the one the store made).  The collector is held
// off while the dict is made; it runs at the next allocation instead.
inline Ref instance_dict_of(PyObject* o) {
    if (!has_instance_dict(Py_TYPE(o))) return Ref();
#if PY_VERSION_HEX < 0x030C0000
    int was_enabled = PyGC_Disable();
    PyObject* d = PyObject_GenericGetDict(o, nullptr);
    if (was_enabled) PyGC_Enable();
    return Ref::check(d);
#else
    return Ref::check(PyObject_GenericGetDict(o, nullptr));
#endif
}

// The instance __dict__ of `o` as it is now (borrowed; nullptr when it has
// none), without a reference of its own: _PyObject_GetDictPtr, declared in
// cpython/object.h on 3.10-3.14.  Where an instance keeps its attributes in
// inline values (3.11+) and has no dict object yet, the dict is made from
// them; should that fail, the error is cleared and nullptr read.
inline PyObject* instance_dict_now(PyObject* o) {
    PyObject** p = _PyObject_GetDictPtr(o);
    return p ? *p : nullptr;
}

// ---- type attribute lookup
// The attribute `name` (a str) found in the MRO of `tp` without invoking
// descriptors, as a strong reference (empty when absent).  _PyType_Lookup is
// declared in cpython/object.h on 3.10-3.14 and returns a borrowed result, so
// a reference is taken at once; 3.13 and 3.14 also declare _PyType_LookupRef,
// which returns the result with its reference already taken (the only safe
// form where another thread could change the class meanwhile).
inline Ref type_lookup(PyTypeObject* tp, PyObject* name) {
#if PY_VERSION_HEX >= 0x030D0000
    return Ref::steal(_PyType_LookupRef(tp, name));
#else
    return Ref::borrow(_PyType_Lookup(tp, name));
#endif
}

// The same lookup when the caller only compares the result by identity and
// runs no Python code before doing so (the pointer is never dereferenced
// after Python code could have run).
inline PyObject* type_lookup_peek(PyTypeObject* tp, PyObject* name) { return _PyType_Lookup(tp, name); }

// ---- type versions
// The version tag of `tp`: any change to the class or to a base gives it a
// new one (tp_version_tag, a public field of PyTypeObject on every version;
// 0 means the class has none at the moment).  A lookup through type_lookup
// assigns one when the class has none.  Before 3.13 a change only clears the
// flag Py_TPFLAGS_VALID_VERSION_TAG (the old tag stays in the field); from
// 3.13 on the flag is no longer set and a change zeroes the field instead.
inline unsigned int type_version(PyTypeObject* tp) {
#if PY_VERSION_HEX < 0x030D0000
    if (!(tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    return tp->tp_version_tag;
}

// ---- recursion budget
// How many more levels of Py_EnterRecursiveCall the running thread may enter
// before RecursionError.  The counter is a PyThreadState field with a name
// that changed: recursion_depth (3.10), recursion_remaining (3.11),
// c_recursion_remaining (3.12, 3.13; the counter Py_EnterRecursiveCall
// decrements there).  Later versions bound recursion by the C stack alone and
// keep no such counter; there 0 is returned, which callers treat as "no
// levels known to be safe".
inline long recursion_budget() {
    PyThreadState* ts = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030E0000
    (void)ts;
    return 0;
#elif PY_VERSION_HEX >= 0x030C0000
    return ts->c_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
    return ts->recursion_remaining;
#else
    return Py_GetRecursionLimit() - ts->recursion_depth;
#endif
}

// ---- dict versions (3.10, 3.11 only)
// The version of a dict's contents, which changes with every change and is
// never reused (PEP 509's ma_version_tag, cpython/dictobject.h).  3.12
// deprecated it and 3.14 removed it; from 3.12 on dict watchers take its
// place (see native/visitors/dispatch.cpp), so this is only defined before 3.12.
#if PY_VERSION_HEX < 0x030C0000
inline uint64_t dict_contents_version(PyObject* d) { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }
#endif

// ---- the running thread's stack
// The lowest address and the size of the running thread's C stack, where the
// platform says; false when it does not.  glibc and the BSDs report a
// thread's attributes (pthread_getattr_np, pthread_attr_get_np), macOS its
// top and size, Windows its limits (GetCurrentThreadStackLimits, Windows 8+).
inline bool thread_stack_range(uintptr_t& low, size_t& size) {
#if defined(_WIN32)
    ULONG_PTR lo = 0, hi = 0;
    GetCurrentThreadStackLimits(&lo, &hi);
    low = static_cast<uintptr_t>(lo);
    size = static_cast<size_t>(hi - lo);
    return hi > lo;
#elif defined(__APPLE__)
    pthread_t self = pthread_self();
    uintptr_t top = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(self));
    size = pthread_get_stacksize_np(self);
    low = top - size;
    return top && size;
#elif defined(__linux__) || defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__)
    pthread_attr_t attr;
#if defined(__linux__)
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
#else
    if (pthread_attr_init(&attr) != 0) return false;
    if (pthread_attr_get_np(pthread_self(), &attr) != 0) {
        pthread_attr_destroy(&attr);
        return false;
    }
#endif
    void* addr = nullptr;
    size_t n = 0;
    bool ok = pthread_attr_getstack(&attr, &addr, &n) == 0 && addr && n;
    pthread_attr_destroy(&attr);
    low = reinterpret_cast<uintptr_t>(addr);
    size = n;
    return ok;
#else
    (void)low;
    (void)size;
    return false;
#endif
}

}  // namespace kv
