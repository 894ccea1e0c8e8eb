// The entry points of the two native modules, the only symbols the shared
// library exports: each extension file calls one from its PyInit_ function.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quarnel::py {

// quarnel: the twelve functions of the module, holding the interpreter lock.
__attribute__((visibility("default"))) PyObject* init_quarnel() noexcept;
// quarnel_cluster._native: the driver's helpers, which let go of the lock,
// and PanicException, the class of the stops of both modules.
__attribute__((visibility("default"))) PyObject* init_native() noexcept;

}  // namespace quarnel::py
