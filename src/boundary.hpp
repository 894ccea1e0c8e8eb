// The call boundary: the only code that touches PyObject.
//
// An exported function is a `Function` record (name, parameter names, raw
// doc, body). Its body receives the bound arguments as `Args`, converts them
// in parameter order with the converters below, calls the core, and builds
// its result with the result builders. Converted arrays are held by RAII
// `Array*` values, so every path out of the body releases them exactly once
// (in reverse order of conversion).
//
// Failures inside a body leave as C++ exceptions and are turned into Python
// exceptions by `entry_point`:
//   PyError            a Python exception is already set (conversion errors)
//   quarnel::ValueError ValueError with the same text
//   quarnel::Stop       PanicException carrying the stop's message
//   std::bad_alloc      MemoryError
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/buffer.hpp"
#include "core/index_lists.hpp"
#include "core/stop.hpp"
#include "core/views.hpp"

namespace quarnel::py {

// Thrown when a Python exception has been set and the call must unwind.
struct PyError {};

// Owning reference to a Python object.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) { Py_XDECREF(p_); p_ = std::exchange(o.p_, nullptr); }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref borrow(PyObject* o) noexcept { Py_XINCREF(o); return Ref(o); }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// A converted array argument: a reference to the array, held until the end
// of the call, and the view of its elements.
template <class View>
class ArrayArg {
public:
    ArrayArg(Ref array, View view) : array_(std::move(array)), view_(view) {}
    const View& view() const noexcept { return view_; }
    PyObject* object() const noexcept { return array_.get(); }

private:
    Ref array_;
    View view_;
};

using FloatMatrix = ArrayArg<MatrixView<double>>;
using IndexMatrix = ArrayArg<MatrixView<std::int64_t>>;
using FloatVector = ArrayArg<VectorView<double>>;
using IndexVector = ArrayArg<VectorView<std::int64_t>>;
using Index32Matrix = ArrayArg<MatrixView<std::int32_t>>;

// The bound arguments of one call: one borrowed object per parameter.
class Args {
public:
    Args(const char* function, std::span<const char* const> params,
         PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

    // Converters, one per argument kind. Each converts the argument in slot
    // `i` and throws PyError (with the exception relabelled) on failure.
    FloatMatrix float_matrix(std::size_t i) const;
    FloatVector float_vector(std::size_t i) const;
    IndexMatrix index_matrix(std::size_t i) const;
    // True when slot `i` holds an int32 matrix (then index32_matrix converts
    // it); anything else goes to index_matrix, whose failure names int64.
    bool holds_index32_matrix(std::size_t i) const;
    Index32Matrix index32_matrix(std::size_t i) const;
    IndexVector index_vector(std::size_t i) const;
    IndexLists index_lists(std::size_t i) const;
    double float_scalar(std::size_t i) const;
    std::uint64_t size_scalar(std::size_t i) const;

private:
    std::span<const char* const> params_;
    PyObject* slots_[16] = {};
};

// The contiguous element run of a converted vector argument, for the
// parameters that are read as plain runs. Throws PyError with
// TypeError "The given array is not contiguous".
Slice<double> contiguous(const FloatVector& a);
Slice<std::int64_t> contiguous(const IndexVector& a);

// Result builders. A NULL from an interpreter constructor prints the pending
// error and stops with "Python API call failed".
Ref result_array(std::vector<double>&& buffer);
Ref result_array(std::vector<std::int64_t>&& buffer);
Ref result_array(Buffer<double>&& buffer);
Ref result_array(Buffer<std::int64_t>&& buffer);
Ref result_array(Buffer<std::int32_t>&& buffer);
Ref result_lists(const IndexLists& lists);
Ref result_float(double v);
Ref result_uint(std::uint64_t v);
Ref result_int(std::int64_t v);
Ref result_tuple(std::initializer_list<Ref*> items);
template <class... R>
Ref tuple(R&&... items) {
    return result_tuple({&items...});
}
// A neighbour table (any kind with dist and index buffers) as the tuple
// (nn_dist, nn_indices) of flat arrays.
template <class Table>
Ref table_result(Table&& t) {
    Ref dist = result_array(std::move(t.dist));
    Ref index = result_array(std::move(t.index));
    return tuple(dist, index);
}

// One exported function.
struct Function {
    const char* name;
    std::span<const char* const> params;
    const char* raw_doc;  // "name(sig)\n--\n\ndocstring"
    Ref (*body)(const Args&);
};

// Runs `run` inside the trap that turns C++ exceptions into Python ones.
template <class F>
PyObject* guarded(F&& run) noexcept;
PyObject* raise_current_exception() noexcept;  // called from a catch block

template <class F>
PyObject* guarded(F&& run) noexcept {
    try {
        return run();
    } catch (...) {
        return raise_current_exception();
    }
}

template <const Function& F>
PyObject* entry_point(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        Args bound(F.name, F.params, args, nargs, kwnames);
        return F.body(bound).release();
    });
}

template <const Function& F>
inline PyMethodDef method_def() {
    return PyMethodDef{F.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry_point<F>)),
                       METH_FASTCALL | METH_KEYWORDS, F.raw_doc};
}

}  // namespace quarnel::py
