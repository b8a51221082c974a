// Owned and borrowed references to Python objects, the error boundary between
// C++ and the interpreter, and the recursion guard used by every recursive walk.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <utility>
#include <vector>

namespace kv {

// Thrown when a Python exception is set and the current C++ frame must unwind.
struct PyErrorSet {};

// A move-only owned reference.  Borrowed references stay plain PyObject*.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    // Steals a new reference and throws when it is null (a Python error is set).
    static Ref check(PyObject* o) {
        if (!o) throw PyErrorSet{};
        return Ref(o);
    }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* o = p_;
        p_ = nullptr;
        return o;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept {
        PyObject* o = p_;
        p_ = nullptr;
        Py_XDECREF(o);
    }

private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// A strong reference to what a record's field holds now.  Records whose
// __init__ may run again on a live object (Literal, Clause, InferenceRule, as
// their Python twins allow) replace and release their fields when it does, and
// any call that can run Python code may do that: native code reads such a
// field through hold() whenever it keeps the value across such a call, never
// as a borrowed pointer.
inline Ref hold(PyObject* field_value) noexcept { return Ref::borrow(field_value); }

// Throws PyErrorSet when `o` is null; otherwise returns it.
inline PyObject* check(PyObject* o) {
    if (!o) throw PyErrorSet{};
    return o;
}
inline int check_int(int r) {
    if (r < 0) throw PyErrorSet{};
    return r;
}

// Runs `f` and converts C++ exceptions into a set Python error.  `fail` is the
// value the slot returns on error (nullptr or -1).
template <class R, class F>
inline R boundary(R fail, F&& f) noexcept {
    try {
        return f();
    } catch (const PyErrorSet&) {
        return fail;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return fail;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in kelvara");
        return fail;
    }
}

// The lowest address the C stack of the running thread may reach (stack.cpp);
// 0 until measured on this thread.  GCC and Clang's __thread needs no
// per-access initialisation check (C++ thread_local does across files).
#if defined(_MSC_VER)
#define KV_THREAD_LOCAL thread_local
#else
#define KV_THREAD_LOCAL __thread
#endif
extern KV_THREAD_LOCAL uintptr_t t_stack_floor;
uintptr_t measure_stack_floor();
inline uintptr_t stack_floor() {
    if (!t_stack_floor) t_stack_floor = measure_stack_floor();
    return t_stack_floor;
}
// True when the running thread's C stack is below its floor.
inline bool stack_exhausted() {
    char probe;
    return reinterpret_cast<uintptr_t>(&probe) < stack_floor();
}
// Sets RecursionError "maximum recursion depth exceeded<where>".
void raise_stack_exhausted(const char* where);

// Guards one level of a recursive walk: raises RecursionError beyond the
// interpreter's recursion limit or when the C stack left to the running thread
// runs low (with the recursion limit raised far enough, C++ recursion would
// otherwise overrun the stack before the interpreter's counter trips).  Every
// recursive native function holds one per level.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) : RecursionGuard(where, stack_floor()) {}
    // With the floor read once by the walk (stack_floor() of the running
    // thread), which spares a thread-local lookup per level.
    RecursionGuard(const char* where, uintptr_t floor) {
        char probe;
        if (reinterpret_cast<uintptr_t>(&probe) < floor) {
            raise_stack_exhausted(where);
            throw PyErrorSet{};
        }
        if (Py_EnterRecursiveCall(where)) throw PyErrorSet{};
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// Looks up an optional attribute: returns an empty Ref when it is missing
// (AttributeError is swallowed), throws on any other error.
inline Ref lookup_attr(PyObject* obj, PyObject* name) {
    PyObject* r = PyObject_GetAttr(obj, name);
    if (!r) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return Ref();
        }
        throw PyErrorSet{};
    }
    return Ref::steal(r);
}

// True when `obj` has attribute `name` (hasattr semantics).
inline bool has_attr(PyObject* obj, PyObject* name) { return bool(lookup_attr(obj, name)); }

// Mixes one lane into a running tuple hash exactly as the interpreter's tuple
// hash does, so that a node's hash equals hash() of the equivalent tuple.
struct TupleHasher {
#if SIZEOF_PY_UHASH_T > 4
    static constexpr Py_uhash_t P1 = 11400714785074694791ULL;
    static constexpr Py_uhash_t P2 = 14029467366897019727ULL;
    static constexpr Py_uhash_t P5 = 2870177450012600261ULL;
    static Py_uhash_t rot(Py_uhash_t x) { return (x << 31) | (x >> 33); }
#else
    static constexpr Py_uhash_t P1 = 2654435761UL;
    static constexpr Py_uhash_t P2 = 2246822519UL;
    static constexpr Py_uhash_t P5 = 374761393UL;
    static Py_uhash_t rot(Py_uhash_t x) { return (x << 13) | (x >> 19); }
#endif
    Py_uhash_t acc = P5;
    Py_ssize_t len = 0;
    void add_hash(Py_hash_t h) {
        acc += (Py_uhash_t)h * P2;
        acc = rot(acc);
        acc *= P1;
        ++len;
    }
    void add(PyObject* o) {
        Py_hash_t h = PyObject_Hash(o);
        if (h == -1) throw PyErrorSet{};
        add_hash(h);
    }
    Py_hash_t finish() const {
        Py_uhash_t a = acc + ((Py_uhash_t)len ^ (P5 ^ 3527539UL));
        if (a == (Py_uhash_t)-1) return 1546275796;
        return (Py_hash_t)a;
    }
};

// Builds a str from pieces; used for reprs and messages.
class TextBuilder {
public:
    void append(PyObject* s) { parts_.push_back(Ref::borrow(s)); }
    void append_steal(PyObject* s) { parts_.push_back(Ref::check(s)); }
    void append_ascii(const char* s) { parts_.push_back(Ref::check(PyUnicode_FromString(s))); }
    PyObject* finish() {
        Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(parts_.size())));
        for (size_t i = 0; i < parts_.size(); ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), parts_[i].release());
        Ref empty = Ref::check(PyUnicode_FromStringAndSize("", 0));
        return check(PyUnicode_Join(empty.get(), list.get()));
    }

private:
    std::vector<Ref> parts_;
};

// Parses the arguments of a METH_FASTCALL | METH_KEYWORDS call to a function
// with `n` positional-or-keyword parameters `names`, the first `nrequired`
// required, into `out` (borrowed; nullptr for an absent optional one), with
// the interpreter's messages and checks in its order.  `nself` counts a
// leading `self` in the messages, as for a Python method; `fname` names the
// function as in "fname() takes ...".  Throws PyErrorSet.
void parse_arguments(const char* fname, const char* const* names, int n, int nrequired, int nself,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// The arguments of a call made with a tuple and a dict (tp_new, tp_init),
// laid out as a vectorcall passes them: the positional values, then the
// keyword values, with the tuple of the keyword names.  The values are
// borrowed from `args` and `kwds`, which the caller holds for the call.
class TupleCall {
public:
    TupleCall(PyObject* args, PyObject* kwds);
    TupleCall(const TupleCall&) = delete;
    TupleCall& operator=(const TupleCall&) = delete;
    PyObject* const* args() const noexcept { return data_; }
    Py_ssize_t nargs() const noexcept { return nargs_; }
    PyObject* kwnames() const noexcept { return kwnames_.get(); }

private:
    PyObject* small_[8];
    std::vector<PyObject*> big_;
    PyObject** data_ = small_;
    Py_ssize_t nargs_ = 0;
    Ref kwnames_;
};

// Parses the single argument of a METH_FASTCALL | METH_KEYWORDS function that
// takes it positionally or as keyword `name`; returns it borrowed.
inline PyObject* one_arg(const char* func, const char* name, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    if (nargs == 1 && !kwnames) return args[0];
    const char* const names[] = {name};
    PyObject* out = nullptr;
    parse_arguments(func, names, 1, 1, 0, args, nargs, kwnames, &out);
    return out;
}

// Finds the module that defined `tp` (or one of its bases) for module `def`.
PyObject* module_by_def(PyTypeObject* tp, PyModuleDef* def);

}  // namespace kv
