// Reading the option dict of saturate() into the run's Options, and the name
// tuples (SELECTIONS, PRECEDENCES, WEIGHTS, HEURISTICS) the module exports.
#pragma once

#include "engine/state.hpp"

namespace kv::engine {

// Wrong types raise TypeError, unknown names and values out of range ValueError.
void read_options(PyObject* options, Options& opt, size_t ninputs);
void add_option_names(PyObject* module);

}  // namespace kv::engine
