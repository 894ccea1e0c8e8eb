#include "numpy_api.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL quarnel_ARRAY_API
#include <numpy/arrayobject.h>

#include <mutex>
#include <string>

#include "boundary.hpp"
#include "core/stop.hpp"

namespace quarnel::py::numpy {
namespace {

using quarnel::py::Ref;

// "TypeName: message" of the pending exception, which is cleared.
std::string pending_error_text() {
    Ref error(PyErr_GetRaisedException());
    std::string text = "unknown error";
    if (error) {
        Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), "__name__"));
        Ref message(PyObject_Str(error.get()));
        const char* n = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
        const char* m = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
        text = std::string(n ? n : "Error") + ": " + (m ? m : "");
    }
    PyErr_Clear();
    return text;
}

// The NumPy major version, read as numpy.lib.NumpyVersion(numpy.__version__).major.
long long numpy_major() {
    Ref np(PyImport_ImportModule("numpy"));
    Ref version(np ? PyObject_GetAttrString(np.get(), "__version__") : nullptr);
    Ref lib(version ? PyImport_ImportModule("numpy.lib") : nullptr);
    Ref parser(lib ? PyObject_GetAttrString(lib.get(), "NumpyVersion") : nullptr);
    Ref parsed(parser ? PyObject_CallOneArg(parser.get(), version.get()) : nullptr);
    Ref major(parsed ? PyObject_GetAttrString(parsed.get(), "major") : nullptr);
    return major ? PyLong_AsLongLong(major.get()) : -1;
}

bool api_ready = false;

// Locates the API table once per process; stops when it cannot be had.
// Runs with the interpreter lock held, which serialises it.
void ensure_api() {
    if (api_ready) return;
    long long major = numpy_major();
    Ref capsule;
    if (major >= 0 || !PyErr_Occurred()) {
        const char* module = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
        if (Ref m{PyImport_ImportModule(module)}) capsule = Ref(PyObject_GetAttrString(m.get(), "_ARRAY_API"));
    }
    // The table lives as long as NumPy's module, which is never unloaded.
    void* table = capsule ? PyCapsule_GetPointer(capsule.get(), nullptr) : nullptr;
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

// The capsule that owns an adopted container frees it.
template <class Container>
void free_buffer(PyObject* capsule) {
    delete static_cast<Container*>(PyCapsule_GetPointer(capsule, "quarnel.buffer"));
}

// A non-NULL data pointer keeps NumPy from allocating.
template <class T>
void ensure_data(std::vector<T>& buffer) {
    if (buffer.empty()) buffer.reserve(1);
}
template <class T>
void ensure_data(Buffer<T>& buffer) {
    if (!buffer.data()) buffer = Buffer<T>(0);
}

template <class Container>
PyObject* adopt_buffer(Container&& buffer, int type_number) {
    ensure_api();
    ensure_data(buffer);
    auto* owned = new Container(std::move(buffer));
    PyObject* base = PyCapsule_New(owned, "quarnel.buffer", &free_buffer<Container>);
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
    const int type_number = element == Element::float64 ? NPY_DOUBLE
                            : element == Element::int64 ? NPY_INT64
                                                        : NPY_INT32;
    if (!dtype_matches(array, type_number)) return false;
    const npy_intp size = element == Element::int32 ? 4 : 8;
    // Elements are read through double / int64 / int32 pointers, which must
    // be aligned to their size; a buffer at an odd offset
    // (np.frombuffer(..., offset=1)) is refused like odd strides below.
    if (!PyArray_ISALIGNED(array)) return false;
    layout.data = PyArray_DATA(array);
    layout.ndim = ndim;
    for (int axis = 0; axis < ndim; ++axis) {
        npy_intp stride = PyArray_STRIDE(array, axis);
        // Views address whole elements; arrays with other byte strides
        // (only possible by explicit stride manipulation) are refused.
        if (stride % size != 0) return false;
        layout.extent[axis] = PyArray_DIM(array, axis);
        layout.stride[axis] = stride / size;
    }
    layout.contiguous = PyArray_FLAGS(array) & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS);
    layout.writable = PyArray_ISWRITEABLE(array);
    return true;
}

PyObject* adopt(std::vector<double>&& buffer) { return adopt_buffer(std::move(buffer), NPY_DOUBLE); }
PyObject* adopt(std::vector<std::int64_t>&& buffer) { return adopt_buffer(std::move(buffer), NPY_INT64); }
PyObject* adopt(Buffer<double>&& buffer) { return adopt_buffer(std::move(buffer), NPY_DOUBLE); }
PyObject* adopt(Buffer<std::int64_t>&& buffer) { return adopt_buffer(std::move(buffer), NPY_INT64); }
PyObject* adopt(Buffer<std::int32_t>&& buffer) { return adopt_buffer(std::move(buffer), NPY_INT32); }

}  // namespace quarnel::py::numpy
