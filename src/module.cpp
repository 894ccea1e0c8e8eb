// Module entry: PyInit_quarnel, the module definition and registration of
// the function table.
//
// Single-phase initialisation. The module is created once per process and
// cached, so a re-import returns the same object; it refuses to load in a
// second interpreter, since its state (module cache, exception class, thread
// pool) is process-wide.
#include <atomic>
#include <cstdint>

#include "boundary.hpp"
#include "functions.hpp"

namespace quarnel::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quarnel",
    "Quarnel \xe2\x80\x94 native accelerated core.",
    0,        // no per-module state
    nullptr,  // functions are added by the initialiser, not through the definition
    nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> interpreter_slot{-1};
PyObject* module_cache = nullptr;  // strong reference once initialised

[[noreturn]] void fail_with_pending_or_system_error() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    throw PyError{};
}

void check(int status) {
    if (status < 0) throw PyError{};
}

// Adds one function: a builtin bound to the module, its name appended to
// __all__, and the module attribute of that name.
void register_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
    Ref function(PyCMethod_New(def, module, module_name, nullptr));
    if (!function) throw PyError{};
    Ref name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) throw PyError{};
    if (!PyUnicode_Check(name.get())) {
        PyErr_SetString(PyExc_TypeError, "function __name__ is not a str");
        throw PyError{};
    }
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{};
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all) throw PyError{};
        check(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        throw PyError{};
    }
    check(PyList_Append(all.get(), name.get()));
    check(PyObject_SetAttr(module, name.get(), function.get()));
}

// The table entries must outlive the function objects: copies kept for the
// life of the process.
std::vector<PyMethodDef>& method_table() {
    static std::vector<PyMethodDef>* table = [] {
        auto* t = new std::vector<PyMethodDef>;
        for (auto part : {knn_functions(), kde_functions(), cluster_functions()})
            t->insert(t->end(), part.begin(), part.end());
        return t;
    }();
    return *table;
}

PyObject* init_module() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) fail_with_pending_or_system_error();
    std::int64_t expected = -1;
    if (!interpreter_slot.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "quarnel keeps process-wide state and its native modules do not yet support "
                        "subinterpreters; import it in the main interpreter only");
        throw PyError{};
    }
    if (module_cache) return Py_NewRef(module_cache);

    Ref module(PyModule_Create2(&module_def, 1013));
    if (!module) fail_with_pending_or_system_error();
    Ref module_name(PyModule_GetNameObject(module.get()));
    if (!module_name) throw PyError{};
    for (PyMethodDef& def : method_table()) register_function(module.get(), module_name.get(), &def);

    if (!module_cache) module_cache = module.release();
    return Py_NewRef(module_cache);
}

}  // namespace
}  // namespace quarnel::py

PyMODINIT_FUNC PyInit_quarnel(void) {
    return quarnel::py::guarded([] { return quarnel::py::init_module(); });
}
