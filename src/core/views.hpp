// Read-only views of caller arrays and their bounds-checked accessors.
//
// A view addresses the elements of an array in their logical order whatever
// its strides: `base` points at logical element [0] / [0, 0] and strides are
// in elements (they may be negative). Views never own memory.
//
// Each view kind has exactly one checked accessor, `at`, which produces that
// kind's stop message:
//   MatrixView / VectorView (NumPy arrays read through strides):
//       "ndarray: index out of bounds"
//   Slice (a contiguous run of elements):
//       "index out of bounds: the len is L but the index is I"
// Unchecked access (`operator()` / `operator[]`) is for loops whose bounds
// were checked once up front.
#pragma once

#include <cstddef>
#include <cstdint>
#include <source_location>

#include "core/stop.hpp"

namespace quarnel {

template <class T>
struct MatrixView {
    const T* base = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;  // in elements
    std::ptrdiff_t col_stride = 0;  // in elements

    T operator()(std::size_t i, std::size_t j) const noexcept {
        return base[static_cast<std::ptrdiff_t>(i) * row_stride +
                    static_cast<std::ptrdiff_t>(j) * col_stride];
    }
    T at(std::uint64_t i, std::uint64_t j,
         std::source_location where = std::source_location::current()) const {
        if (i >= rows || j >= cols) stop_ndarray(where);
        return (*this)(static_cast<std::size_t>(i), static_cast<std::size_t>(j));
    }
    // Pointer to element [i, 0]; consecutive columns are `col_stride` apart.
    const T* row(std::size_t i) const noexcept {
        return base + static_cast<std::ptrdiff_t>(i) * row_stride;
    }
};

template <class T>
struct VectorView {
    const T* base = nullptr;
    std::size_t len = 0;
    std::ptrdiff_t stride = 0;  // in elements

    std::size_t size() const noexcept { return len; }
    T operator[](std::size_t i) const noexcept {
        return base[static_cast<std::ptrdiff_t>(i) * stride];
    }
    T at(std::uint64_t i, std::source_location where = std::source_location::current()) const {
        if (i >= len) stop_ndarray(where);
        return (*this)[static_cast<std::size_t>(i)];
    }
};

template <class T>
struct Slice {
    const T* data = nullptr;
    std::size_t len = 0;

    std::size_t size() const noexcept { return len; }
    const T* begin() const noexcept { return data; }
    const T* end() const noexcept { return data + len; }
    T operator[](std::size_t i) const noexcept { return data[i]; }
    T at(std::uint64_t i, std::source_location where = std::source_location::current()) const {
        return data[checked(len, i, where)];
    }
};

}  // namespace quarnel
