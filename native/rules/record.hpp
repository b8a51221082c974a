// Layout of the InferenceRule record, shared by the record and the schema rule.
#pragma once

#include "rules/state.hpp"

namespace kv::rules {

enum RuleField { RF_NAME = 0, RF_DESCRIPTION, RF_RULE_TYPE, RF_APPLY, RF_COUNT };

struct RuleObject {
    PyObject_HEAD
    PyObject* fields[RF_COUNT];  // name, description, rule_type, apply; null until initialised
    PyObject* weakreflist;
};

// Sets the four fields of `self` (replacing earlier values).
void rule_set_fields(PyObject* self, PyObject* const* values);
// Parses the record initialiser's arguments into four borrowed values.
void parse_rule_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// Slots shared with SOLInstantiateRule.
PyObject* rule_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept;
void rule_dealloc(PyObject* self) noexcept;
int rule_traverse(PyObject* self, visitproc visit, void* arg) noexcept;
int rule_clear(PyObject* self) noexcept;

}  // namespace kv::rules
