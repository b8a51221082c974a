// What ExportVisitor's two whole walks share: the notations, the row of a
// node, and the straight-text walk (export_text.cpp) that the piece walk
// (export.cpp) tries first.
#pragma once

#include "visitors/state.hpp"

namespace kv::vis {

enum Notation { N_INFIX, N_PREFIX, N_LATEX };

// The text of `node` in notation `nt` when it can be written without running
// any Python code and within `limit` levels (a new reference); nullptr with
// no error set otherwise, before anything Python can see was made.  Throws
// PyErrorSet on errors (memory).
PyObject* export_text(State* st, Notation nt, long limit, PyObject* node);

}  // namespace kv::vis
