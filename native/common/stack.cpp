// The C-stack floor of the running thread: the lowest address recursive
// native code may reach before it raises RecursionError (see RecursionGuard
// in ref.hpp).  Measured once per thread from the thread's stack bounds,
// which each platform reports its own way (thread_stack_range, compat.hpp).
#include "common/compat.hpp"
#include "common/ref.hpp"

namespace kv {

KV_THREAD_LOCAL uintptr_t t_stack_floor = 0;

uintptr_t measure_stack_floor() {
    uintptr_t low = 0;
    size_t size = 0;
    if (!thread_stack_range(low, size)) return 1;  // nothing known: never trips
    size_t margin = size >= (size_t(1) << 20) ? size_t(256) << 10 : size / 2;
    return low + margin;
}

void raise_stack_exhausted(const char* where) {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
}

}  // namespace kv
