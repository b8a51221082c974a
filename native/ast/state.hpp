// Module state of kelvara.core.ast and the declarations shared by its files.
#pragma once

#include "common/nodes.hpp"

namespace kv::ast {

// Reads field `f` of a node of kind k laid out as T (in place for exact nodes).
#define FIELD(api, node, k, T, f) node_field(api, node, k, api.s_##f, offsetof(T, f))

struct State {
    AstApi api;
    PyObject* variable_kind = nullptr;  // the VariableKind enum class
    PyObject* frozen_error = nullptr;   // dataclasses.FrozenInstanceError
    PyObject* newobj_ex = nullptr;      // copyreg.__newobj_ex__
    PyObject* empty_tuple = nullptr;
    NodePool pool;  // api.pool: every module's recycled node memory
};
// Other modules find api (and the pool) at the start of the module state.
static_assert(offsetof(State, api) == 0);

extern PyModuleDef module_def;

// State of the module that defined `tp` or one of its bases.
State* state_of_type(PyTypeObject* tp);
inline State* state_of(PyObject* o) { return state_of_type(Py_TYPE(o)); }

// Creates the twelve node classes and the two abstract bases (module exec step).
void create_node_types(PyObject* module, State* st);
// Creates VariableKind.
void create_variable_kind(PyObject* module, State* st);
// Adds __format__, _repr_pretty_ and _repr_latex_ to Term and Formula.
void install_display(PyObject* module, State* st);

// Module-level functions, in definition order.
extern PyMethodDef free_variables_def;
extern PyMethodDef bound_variables_def;
extern PyMethodDef formula_depth_def;
extern PyMethodDef formula_size_def;
extern PyMethodDef canonicalize_def;

// Shared node slots (all twelve classes use the same functions).
void node_dealloc(PyObject* self) noexcept;
// Frees the pooled node memory and closes the pool (module clear).
void close_pool(State* st);
// Forgets `module` as the one whose pool was used last (module clear).
void forget_pool_module(PyObject* module);
PyObject* node_richcompare(PyObject* self, PyObject* other, int op) noexcept;

}  // namespace kv::ast
