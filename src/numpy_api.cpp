#include "numpy_api.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL quarnel_ARRAY_API
#include <numpy/arrayobject.h>

#include <mutex>
#include <string>

#include "core/stop.hpp"

namespace quarnel::py::numpy {
namespace {

std::string pending_error_text() {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    std::string text = "unknown error";
    if (value) {
        if (PyObject* s = PyObject_Str(value)) {
            PyObject* name = type ? PyObject_GetAttrString(type, "__name__") : nullptr;
            const char* n = name ? PyUnicode_AsUTF8(name) : nullptr;
            const char* v = PyUnicode_AsUTF8(s);
            text = std::string(n ? n : "Error") + ": " + (v ? v : "");
            Py_XDECREF(name);
            Py_DECREF(s);
        }
    }
    PyErr_Clear();
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(trace);
    return text;
}

// The NumPy major version, read as numpy.lib.NumpyVersion(numpy.__version__).major.
long numpy_major() {
    PyObject* np = PyImport_ImportModule("numpy");
    if (!np) return -1;
    PyObject* version = PyObject_GetAttrString(np, "__version__");
    PyObject* lib = version ? PyImport_ImportModule("numpy.lib") : nullptr;
    PyObject* cls = lib ? PyObject_GetAttrString(lib, "NumpyVersion") : nullptr;
    PyObject* parsed = cls ? PyObject_CallOneArg(cls, version) : nullptr;
    PyObject* major = parsed ? PyObject_GetAttrString(parsed, "major") : nullptr;
    long result = major ? PyLong_AsLong(major) : -1;
    Py_XDECREF(major);
    Py_XDECREF(parsed);
    Py_XDECREF(cls);
    Py_XDECREF(lib);
    Py_XDECREF(version);
    Py_DECREF(np);
    return result;
}

bool api_ready = false;

// Locates the API table once per process; stops when it cannot be had.
// Runs with the interpreter lock held, which serialises it.
void ensure_api() {
    if (api_ready) return;
    long major = numpy_major();
    PyObject* capsule = nullptr;
    if (major >= 0 || !PyErr_Occurred()) {
        const char* module = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
        if (PyObject* m = PyImport_ImportModule(module)) {
            capsule = PyObject_GetAttrString(m, "_ARRAY_API");
            Py_DECREF(m);
        }
    }
    void* table = capsule ? PyCapsule_GetPointer(capsule, nullptr) : nullptr;
    Py_XDECREF(capsule);  // the table lives as long as numpy's module
    if (!table) stop("Failed to access NumPy array API capsule: " + pending_error_text());
    quarnel_ARRAY_API = static_cast<void**>(table);
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    api_ready = true;
}

bool dtype_matches(PyArrayObject* array, int type_number) {
    PyArray_Descr* have = PyArray_DESCR(array);
    PyArray_Descr* want = PyArray_DescrFromType(type_number);
    bool same = have == want || PyArray_EquivTypes(have, want);
    Py_XDECREF(want);
    return same;
}

void free_buffer_double(PyObject* capsule) {
    delete static_cast<std::vector<double>*>(PyCapsule_GetPointer(capsule, "quarnel.buffer"));
}
void free_buffer_int64(PyObject* capsule) {
    delete static_cast<std::vector<std::int64_t>*>(PyCapsule_GetPointer(capsule, "quarnel.buffer"));
}

template <class T>
PyObject* adopt_buffer(std::vector<T>&& buffer, int type_number, PyCapsule_Destructor free_fn) {
    ensure_api();
    if (buffer.empty()) buffer.reserve(1);  // a non-NULL data pointer keeps NumPy from allocating
    auto* owned = new std::vector<T>(std::move(buffer));
    PyObject* base = PyCapsule_New(owned, "quarnel.buffer", free_fn);
    if (!base) {
        delete owned;
        return nullptr;
    }
    npy_intp length = static_cast<npy_intp>(owned->size());
    PyArray_Descr* descr = PyArray_DescrFromType(type_number);  // reference stolen below
    PyObject* array = descr ? PyArray_NewFromDescr(&PyArray_Type, descr, 1, &length, nullptr,
                                                   owned->data(), NPY_ARRAY_CARRAY, nullptr)
                            : nullptr;
    if (!array) {
        Py_DECREF(base);
        return nullptr;
    }
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), base) < 0) {  // steals base
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

}  // namespace

bool inspect(PyObject* obj, Element element, int ndim, ArrayLayout& layout) {
    ensure_api();
    if (!PyArray_Check(obj)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != ndim) return false;
    if (!dtype_matches(array, element == Element::float64 ? NPY_DOUBLE : NPY_INT64)) return false;
    layout.data = PyArray_DATA(array);
    layout.ndim = ndim;
    for (int axis = 0; axis < ndim; ++axis) {
        npy_intp stride = PyArray_STRIDE(array, axis);
        // Views address whole elements; arrays with other byte strides
        // (only possible by explicit stride manipulation) are refused.
        if (stride % 8 != 0) return false;
        layout.extent[axis] = PyArray_DIM(array, axis);
        layout.stride[axis] = stride / 8;
    }
    layout.contiguous = PyArray_FLAGS(array) & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS);
    return true;
}

PyObject* adopt(std::vector<double>&& buffer) {
    return adopt_buffer(std::move(buffer), NPY_DOUBLE, &free_buffer_double);
}

PyObject* adopt(std::vector<std::int64_t>&& buffer) {
    return adopt_buffer(std::move(buffer), NPY_INT64, &free_buffer_int64);
}

}  // namespace quarnel::py::numpy
