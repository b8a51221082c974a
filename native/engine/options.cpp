// The option dict of saturate(): each key read and checked into Options, and
// the tuples of the names the engine understands, exported by the module so
// that callers learn at once what is built.
#include "engine/options.hpp"

#include <cmath>
#include <cstring>
#include <iterator>

namespace kv::engine {

[[noreturn]] static void fail(PyObject* type, const char* fmt, PyObject* arg = nullptr) {
    if (arg) PyErr_Format(type, fmt, arg);
    else PyErr_SetString(type, fmt);
    throw PyErrorSet{};
}

static Ref key_name(const char* key) { return Ref::check(PyUnicode_FromString(key)); }

static double read_seconds(PyObject* v, const char* key) {
    if (!PyFloat_Check(v) && !PyLong_Check(v)) fail(PyExc_TypeError, "option %R must be a number or None", key_name(key).get());
    double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
    if (std::isnan(d)) fail(PyExc_ValueError, "option %R must not be NaN", key_name(key).get());
    return d;
}

static int64_t read_count(PyObject* v, const char* key) {
    if (!PyLong_Check(v) || PyBool_Check(v)) fail(PyExc_TypeError, "option %R must be an int", key_name(key).get());
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (n == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (overflow > 0) return INT64_MAX;
    if (overflow < 0 || n < 0) fail(PyExc_ValueError, "option %R must not be negative", key_name(key).get());
    return n;
}

static bool read_bool(PyObject* v, const char* key) {
    if (!PyBool_Check(v)) fail(PyExc_TypeError, "option %R must be a bool", key_name(key).get());
    return v == Py_True;
}

// The index of v in `names`; `what` names the kind in the errors.
template <size_t N>
static size_t read_name(PyObject* v, const char* key, const char* const (&names)[N], const char* unknown) {
    if (!PyUnicode_Check(v)) fail(PyExc_TypeError, "option %R must be a str", key_name(key).get());
    const char* name = PyUnicode_AsUTF8(v);
    if (!name) throw PyErrorSet{};
    for (size_t i = 0; i < N; ++i)
        if (std::strcmp(name, names[i]) == 0) return i;
    fail(PyExc_ValueError, unknown, v);
}

// A tuple of the items of an iterable other than str and bytes; TypeError
// with `shape` when v is not one.
static Ref items_of(PyObject* v, const char* shape) {
    if (PyUnicode_Check(v) || PyBytes_Check(v)) fail(PyExc_TypeError, shape);
    PyObject* it = PyObject_GetIter(v);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            fail(PyExc_TypeError, shape);
        }
        throw PyErrorSet{};
    }
    Ref iter = Ref::steal(it);
    return Ref::check(PySequence_Tuple(iter.get()));
}

static std::vector<std::pair<Heuristic, int>> read_queues(PyObject* v) {
    static const char* shape = "option 'queues' must be a sequence of (heuristic, ratio) pairs";
    Ref seq = items_of(v, shape);
    Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    if (n == 0) fail(PyExc_ValueError, "option 'queues' must not be empty");
    std::vector<std::pair<Heuristic, int>> out;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref pair = items_of(PyTuple_GET_ITEM(seq.get(), i), shape);
        if (PyTuple_GET_SIZE(pair.get()) != 2) fail(PyExc_TypeError, shape);
        PyObject* name = PyTuple_GET_ITEM(pair.get(), 0);
        PyObject* ratio = PyTuple_GET_ITEM(pair.get(), 1);
        if (!PyUnicode_Check(name)) fail(PyExc_TypeError, "a queue's heuristic must be a str");
        size_t h = read_name(name, "queues", kHeuristicNames, "unknown clause-selection heuristic %R");
        if (!PyLong_Check(ratio) || PyBool_Check(ratio)) fail(PyExc_TypeError, "a queue's ratio must be an int");
        int overflow = 0;
        long long r = PyLong_AsLongLongAndOverflow(ratio, &overflow);
        if (r == -1 && PyErr_Occurred()) throw PyErrorSet{};
        if (overflow || r < 1 || r > 1000000) fail(PyExc_ValueError, "a queue's ratio must be between 1 and 1000000");
        out.emplace_back(static_cast<Heuristic>(h), static_cast<int>(r));
    }
    return out;
}

void read_options(PyObject* options, Options& opt, size_t ninputs) {
    if (options == Py_None) return;
    if (!PyDict_Check(options)) fail(PyExc_TypeError, "options must be a dict");
    Ref items = Ref::check(PyDict_Items(options));
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.get()); i < n; ++i) {
        PyObject* kv = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(kv, 0);
        PyObject* v = PyTuple_GET_ITEM(kv, 1);
        if (!PyUnicode_Check(key)) fail(PyExc_ValueError, "unknown option %R", key);
        const char* k = PyUnicode_AsUTF8(key);
        if (!k) throw PyErrorSet{};
        bool none = v == Py_None;
        auto is = [k](const char* name) { return std::strcmp(k, name) == 0; };
        if (is("time_limit")) {
            if (!none) {
                opt.time_limit = read_seconds(v, k);
                if (opt.time_limit < 0) fail(PyExc_ValueError, "option 'time_limit' must not be negative");
            }
        } else if (is("deadline")) {
            if (!none) {
                double d = read_seconds(v, k);
                Ref time = Ref::check(PyImport_ImportModule("time"));
                Ref now = Ref::check(PyObject_CallMethod(time.get(), "monotonic", nullptr));
                double clock = PyFloat_AsDouble(now.get());
                if (clock == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
                double left = d - clock;
                opt.deadline = left < 0 ? 0 : left;
            }
        } else if (is("memory_limit")) {
            if (!none) opt.memory_limit = read_count(v, k);
        } else if (is("max_clauses")) {
            if (!none) opt.max_clauses = read_count(v, k);
        } else if (is("selection")) {
            opt.selection = static_cast<Selection>(read_name(v, k, kSelectionNames, "unknown selection function %R"));
        } else if (is("pick_given_ratio")) {
            int64_t r = read_count(v, k);
            if (r > 1000000) fail(PyExc_ValueError, "option 'pick_given_ratio' is too large");
            opt.pick_given_ratio = static_cast<int>(r);
        } else if (is("goal_ids")) {
            Ref seq = Ref::check(PySequence_Tuple(v));
            for (Py_ssize_t j = 0, m = PyTuple_GET_SIZE(seq.get()); j < m; ++j) {
                int64_t id = read_count(PyTuple_GET_ITEM(seq.get(), j), k);
                if (id >= static_cast<int64_t>(ninputs)) fail(PyExc_ValueError, "goal id %R is not an input id",
                                                             PyTuple_GET_ITEM(seq.get(), j));
                opt.goal_ids.push_back(static_cast<int>(id));
            }
        } else if (is("progress_every")) {
            double d = read_seconds(v, k);
            if (!(d > 0)) fail(PyExc_ValueError, "option 'progress_every' must be positive");
            opt.progress_every = d;
        } else if (is("precedence")) {
            opt.precedence = static_cast<Precedence>(read_name(v, k, kPrecedenceNames, "unknown precedence scheme %R"));
        } else if (is("symbol_weight")) {
            opt.symbol_weight = static_cast<SymbolWeight>(read_name(v, k, kWeightNames, "unknown symbol weight scheme %R"));
        } else if (is("queues")) {
            opt.queues = read_queues(v);
        } else if (is("goal_factor")) {
            double d = read_seconds(v, k);
            if (!(d >= 1) || std::isinf(d)) fail(PyExc_ValueError, "option 'goal_factor' must be a finite number >= 1");
            opt.goal_factor = d;
        } else if (is("sos")) {
            opt.sos = read_bool(v, k);
        } else if (is("demodulation")) {
            opt.demodulation = read_bool(v, k);
        } else if (is("subsumption")) {
            opt.subsumption = read_bool(v, k);
        } else if (is("backward_simplification")) {
            opt.backward_simplification = read_bool(v, k);
        } else if (is("subsumption_resolution")) {
            opt.subsumption_resolution = read_bool(v, k);
        } else if (is("term_depth_limit")) {
            int64_t d = read_count(v, k);
            if (d < 1 || d > kMaxDepth) {
                Ref most = Ref::check(PyLong_FromUnsignedLong(kMaxDepth));
                fail(PyExc_ValueError, "option 'term_depth_limit' must be between 1 and %R", most.get());
            }
            opt.term_depth_limit = static_cast<uint32_t>(d);
        } else {
            fail(PyExc_ValueError, "unknown option %R", key);
        }
    }
}

template <size_t N>
static void add_names(PyObject* module, const char* attr, const char* const (&names)[N]) {
    Ref tup = Ref::check(PyTuple_New(N));
    for (size_t i = 0; i < N; ++i) PyTuple_SET_ITEM(tup.get(), i, check(PyUnicode_FromString(names[i])));
    check_int(PyModule_AddObjectRef(module, attr, tup.get()));
}

void add_option_names(PyObject* module) {
    add_names(module, "SELECTIONS", kSelectionNames);
    add_names(module, "PRECEDENCES", kPrecedenceNames);
    add_names(module, "WEIGHTS", kWeightNames);
    add_names(module, "HEURISTICS", kHeuristicNames);
}

}  // namespace kv::engine
