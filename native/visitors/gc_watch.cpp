// Counting the collector's runs (3.10 and 3.11).  There a collection, and with
// it any Python code a finaliser or a collector callback runs, can start at
// any allocation of an object the collector tracks; a whole walk that must
// notice such code (SubstWalk::refresh) would otherwise check everything it
// relies on after every allocation.  A callback kept first in gc.callbacks
// counts the runs: while the count is unchanged and the callback is still
// first, no collection has started since, so no Python code has run.  The
// count is trusted only once the callback has been called (the list it was
// put in is then the collector's own) and only while it is first (a callback
// ahead of it could take it out of the list before it is called).
#include "visitors/state.hpp"

namespace kv::vis {

#if PY_VERSION_HEX < 0x030C0000
uint64_t g_collections = 0;
static bool g_collections_seen = false;

static PyObject* count_collection(PyObject*, PyObject* const*, Py_ssize_t) noexcept {
    ++g_collections;
    g_collections_seen = true;
    Py_RETURN_NONE;
}

static PyMethodDef count_collection_def = {
    "_count_collection", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(count_collection)),
    METH_FASTCALL, "Counts the collector's runs for the visitors' whole walks."};

void start_counting_collections(State* st) {
    Ref gc = Ref::check(PyImport_ImportModule("gc"));
    Ref list = Ref::check(PyObject_GetAttrString(gc.get(), "callbacks"));
    if (!PyList_CheckExact(list.get())) return;  // never trusted: every allocation is checked after
    Ref hook = Ref::check(PyCFunction_New(&count_collection_def, nullptr));
    check_int(PyList_Insert(list.get(), 0, hook.get()));
    st->gc_callbacks = list.release();
    st->gc_counter = hook.release();
}

void stop_counting_collections(State* st) {
    if (PyObject* list = st->gc_callbacks) {
        for (Py_ssize_t i = PyList_GET_SIZE(list) - 1; i >= 0; --i)
            if (PyList_GET_ITEM(list, i) == st->gc_counter && PySequence_DelItem(list, i) < 0) PyErr_Clear();
    }
    Py_CLEAR(st->gc_callbacks);
    Py_CLEAR(st->gc_counter);
}

bool collections_counted(const State* st) {
    PyObject* list = st->gc_callbacks;
    return g_collections_seen && list && PyList_GET_SIZE(list) > 0 && PyList_GET_ITEM(list, 0) == st->gc_counter;
}
#else
void start_counting_collections(State*) {}
void stop_counting_collections(State*) {}
#endif

}  // namespace kv::vis
