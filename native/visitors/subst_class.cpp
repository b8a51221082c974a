// Creating a SubstitutionTransformer: the class's __init__ slot.  type.__call__
// runs a class's __init__ through that slot; for a class whose __init__ is a
// descriptor like ours the interpreter installs a generic slot that looks
// __init__ up, binds it and calls it with the argument tuple.  The class
// SubstitutionTransformer gets a slot of its own instead, which finds the same
// __init__ the same way and, when it is ours and called with the mapping
// alone, stores it directly; any other __init__ or call goes through the
// generic slot.  Assigning or deleting __init__ on the class or on a base puts
// the generic slot back, and subclasses get the generic slot as before.
#include "visitors/state.hpp"

namespace kv::vis {

void store_mapping(State* st, PyObject* self, PyObject* mapping) {
    if (!PyDict_CheckExact(mapping)) {
        PyErr_Format(PyExc_TypeError, "Argument 'mapping' has incorrect type (expected dict, got %.200s)",
                     Py_TYPE(mapping)->tp_name);
        throw PyErrorSet{};
    }
    check_int(PyObject_SetAttr(self, st->s_mapping, mapping));
}

namespace {

// The generic slot (read from the class before it is replaced) and the
// interned name it looks up; the same for every instance of the module.
initproc g_generic_init = nullptr;
PyObject* g_init_name = nullptr;

int subst_tp_init(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
    // Read at once, before anything can run Python code.
    PyObject* init = type_lookup_peek(Py_TYPE(self), g_init_name);
    if (!init || !is_method(init) || method_def(init) != &kSubstitutionMethods[0] || !PyTuple_CheckExact(args) ||
        PyTuple_GET_SIZE(args) != 1 || (kwds && (!PyDict_Check(kwds) || PyDict_GET_SIZE(kwds) != 0)))
        return g_generic_init(self, args, kwds);
    State* st = method_state(init);
    return boundary<int>(-1, [&]() -> int {
        store_mapping(st, self, PyTuple_GET_ITEM(args, 0));
        return 0;
    });
}

}  // namespace

void install_subst_init(State* st, PyObject* cls) {
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
    if (!g_init_name) g_init_name = Py_NewRef(st->s_init);  // interned, kept for the process
    if (!g_generic_init) g_generic_init = tp->tp_init;
    // Only over the generic slot (the class's own __init__, found through it).
    if (tp->tp_init == g_generic_init) tp->tp_init = subst_tp_init;
}

}  // namespace kv::vis
