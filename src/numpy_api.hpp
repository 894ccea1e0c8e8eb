// NumPy access for the boundary, with NumPy's own headers kept in one file.
//
// NumPy's C API table is located on the first array operation of the
// process (never at import), from `numpy._core.multiarray` for NumPy 2 and
// `numpy.core.multiarray` for NumPy 1, so one build runs with either.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

#include "core/buffer.hpp"

namespace quarnel::py::numpy {

enum class Element { float64, int64, int32 };

// What a converted array looks like: logical element [0...] address, extents
// and element strides (byte strides / element size).
struct ArrayLayout {
    const void* data;
    int ndim;
    std::int64_t extent[2];
    std::int64_t stride[2];
    bool contiguous;  // C- or Fortran-contiguous flag
    bool writable;
};

// Fills `layout` and returns true when `obj` is an ndarray (or subclass) of
// `ndim` dimensions whose dtype is (equivalent to) native `element`.
// Returns false otherwise (no Python error set). Stops if the NumPy API
// cannot be located.
bool inspect(PyObject* obj, Element element, int ndim, ArrayLayout& layout);

// A new 1-D array that takes over `buffer` (its base object frees it).
// Returns NULL with a Python error set on failure.
PyObject* adopt(std::vector<double>&& buffer);
PyObject* adopt(std::vector<std::int64_t>&& buffer);
PyObject* adopt(Buffer<double>&& buffer);
PyObject* adopt(Buffer<std::int64_t>&& buffer);
PyObject* adopt(Buffer<std::int32_t>&& buffer);

}  // namespace quarnel::py::numpy
