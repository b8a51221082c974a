// The C-stack floor of the running thread: the lowest address recursive
// native code may reach before it raises RecursionError (see RecursionGuard
// in ref.hpp).  Measured once per thread from the thread's stack bounds.
#include "common/ref.hpp"

#include <pthread.h>

namespace kv {

__thread uintptr_t t_stack_floor = 0;

uintptr_t measure_stack_floor() {
    pthread_attr_t attr;
    void* addr = nullptr;
    size_t size = 0;
    uintptr_t floor = 1;  // nothing known: never trips
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr && size) {
            size_t margin = size >= (size_t(1) << 20) ? size_t(256) << 10 : size / 2;
            floor = reinterpret_cast<uintptr_t>(addr) + margin;
        }
        pthread_attr_destroy(&attr);
    }
    return floor;
}

void raise_stack_exhausted(const char* where) {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
}

}  // namespace kv
