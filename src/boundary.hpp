// The call boundary: the only code that touches PyObject.
//
// An exported function is a `Function` record (name, parameter names, raw
// doc, body) in a module's function table. Its body is a plain C++ function
// of C++ values (views of arrays, scalars, index lists); the binder
// (`bound`) converts the call's arguments to the body's parameter types in
// parameter order, calls the body, with the interpreter lock let go where
// the table says so, and converts what the body returns (arrays, tables,
// lists, scalars, tuples of them) to Python objects. Converted arrays are
// held by RAII values until the call ends, so every path out of a call
// releases them exactly once.
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
#include <optional>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/buffer.hpp"
#include "core/index_lists.hpp"
#include "core/progress.hpp"
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

// The bound arguments of one call: one borrowed object per parameter. The
// first `positional` parameters are required and may be given by position;
// the others are optional and given by keyword only (an absent one is a
// null slot).
class Args {
public:
    Args(const char* function, std::span<const char* const> params, std::size_t positional,
         PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

    // Converters, one per argument kind. Each converts the argument in slot
    // `i` and throws PyError (with the exception relabelled) on failure.
    // Arrays: T is double, std::int64_t or std::int32_t.
    template <class T>
    ArrayArg<MatrixView<T>> matrix(std::size_t i) const;
    template <class T>
    ArrayArg<VectorView<T>> vector(std::size_t i) const;
    // True when slot `i` holds an int32 matrix (then matrix<std::int32_t>
    // converts it); anything else goes to matrix<std::int64_t>, whose
    // failure names int64.
    bool holds_index32_matrix(std::size_t i) const;
    IndexLists index_lists(std::size_t i) const;
    double float_scalar(std::size_t i) const;
    std::uint64_t size_scalar(std::size_t i) const;
    // An optional progress counter: None or absent for none, else a
    // writable, aligned, C-contiguous int64 array of shape (1,).
    ArrayArg<Progress> progress(std::size_t i) const;

private:
    std::span<const char* const> params_;
    PyObject* slots_[16] = {};
};

// The contiguous element run of a converted vector argument, for the
// parameters that are read as plain runs. Throws PyError with
// TypeError "The given array is not contiguous".
Slice<double> contiguous(const ArrayArg<VectorView<double>>& a);
Slice<std::int64_t> contiguous(const ArrayArg<VectorView<std::int64_t>>& a);

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
Ref result_tuple(std::span<Ref> items);  // takes the items

// Runs `run` inside the trap that turns C++ exceptions into Python ones.
PyObject* raise_current_exception() noexcept;  // called from a catch block
template <class F>
PyObject* guarded(F&& run) noexcept {
    try {
        return run();
    } catch (...) {
        return raise_current_exception();
    }
}

// ---- the binder -------------------------------------------------------------

// A neighbour table argument that may hold int32 or int64 indices.
using IndexTable = std::variant<MatrixView<std::int32_t>, MatrixView<std::int64_t>>;

// How a body parameter of type T is taken from the call: converted from its
// slot, then settled (after every argument is converted, in parameter
// order), then passed. Views of arrays; Slice<T>, a vector argument read as
// a contiguous run (settling checks the run: Python code run by a later
// conversion may have changed the array); IndexTable; IndexLists (moved
// into the body); double; std::uint64_t (a size); Progress.
template <class T>
struct Param;

template <class T>
struct Param<MatrixView<T>> {
    ArrayArg<MatrixView<T>> held;
    Param(const Args& a, std::size_t i) : held(a.matrix<T>(i)) {}
    void settle() {}
    MatrixView<T> get() { return held.view(); }
};
template <class T>
struct Param<VectorView<T>> {
    ArrayArg<VectorView<T>> held;
    Param(const Args& a, std::size_t i) : held(a.vector<T>(i)) {}
    void settle() {}
    VectorView<T> get() { return held.view(); }
};
template <class T>
struct Param<Slice<T>> {
    ArrayArg<VectorView<T>> held;
    Slice<T> run{};
    Param(const Args& a, std::size_t i) : held(a.vector<T>(i)) {}
    void settle() { run = contiguous(held); }
    Slice<T> get() { return run; }
};
template <>
struct Param<IndexTable> {
    std::optional<ArrayArg<MatrixView<std::int32_t>>> narrow;
    std::optional<ArrayArg<MatrixView<std::int64_t>>> wide;
    Param(const Args& a, std::size_t i) {
        if (a.holds_index32_matrix(i))
            narrow.emplace(a.matrix<std::int32_t>(i));
        else
            wide.emplace(a.matrix<std::int64_t>(i));
    }
    void settle() {}
    IndexTable get() { return narrow ? IndexTable(narrow->view()) : IndexTable(wide->view()); }
};
template <>
struct Param<IndexLists> {
    IndexLists held;
    Param(const Args& a, std::size_t i) : held(a.index_lists(i)) {}
    void settle() {}
    IndexLists&& get() { return std::move(held); }
};
template <>
struct Param<double> {
    double value;
    Param(const Args& a, std::size_t i) : value(a.float_scalar(i)) {}
    void settle() {}
    double get() { return value; }
};
template <>
struct Param<std::uint64_t> {
    std::uint64_t value;
    Param(const Args& a, std::size_t i) : value(a.size_scalar(i)) {}
    void settle() {}
    std::uint64_t get() { return value; }
};
template <>
struct Param<Progress> {
    ArrayArg<Progress> held;
    Param(const Args& a, std::size_t i) : held(a.progress(i)) {}
    void settle() {}
    Progress get() { return held.view(); }
};

// What a body returns, as a Python object: arrays from buffers and vectors,
// a neighbour table as (nn_dist, nn_indices), index lists as a list of
// lists, double as float, std::uint64_t as int, a tuple element by element,
// an empty std::optional as None.
inline Ref to_python(Ref&& r) { return std::move(r); }
inline Ref to_python(double v) { return result_float(v); }
inline Ref to_python(std::uint64_t v) { return result_uint(v); }
inline Ref to_python(const IndexLists& lists) { return result_lists(lists); }
template <class T>
Ref to_python(std::vector<T>&& v) {
    return result_array(std::move(v));
}
template <class T>
Ref to_python(Buffer<T>&& b) {
    return result_array(std::move(b));
}
template <class Table>
    requires requires(Table t) { t.dist; t.index; }
Ref to_python(Table&& t) {
    Ref items[] = {result_array(std::move(t.dist)), result_array(std::move(t.index))};
    return result_tuple(std::span<Ref>(items));
}
template <class... T>
Ref to_python(std::tuple<T...>&& t) {
    return std::apply(
        [](auto&&... item) {
            Ref items[] = {to_python(std::move(item))...};  // in order
            return result_tuple(std::span<Ref>(items));
        },
        std::move(t));
}

// An absent result is None; one of several kinds, that kind's object.
template <class T>
Ref to_python(std::optional<T>&& o) {
    return o ? to_python(std::move(*o)) : Ref::borrow(Py_None);
}
template <class... T>
Ref to_python(std::variant<T...>&& v) {
    return std::visit([](auto&& item) { return to_python(std::move(item)); }, std::move(v));
}

// Whether a body runs with the interpreter lock held or let go. Let go, other
// Python threads run meanwhile (a distributed run's worker serves the other
// workers' data from its event loop while its task computes); the body then
// touches no Python object, and the arguments stay referenced by the call.
enum class Lock { held, released };

// Lets go of the interpreter lock for its lifetime.
class Unlocked {
public:
    Unlocked() : state_(PyEval_SaveThread()) {}
    ~Unlocked() { PyEval_RestoreThread(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    PyThreadState* state_;
};

namespace detail {
template <class R, class... P>
constexpr std::size_t arity(R (*)(P...)) {
    return sizeof...(P);
}

template <auto Body, Lock L, class R, class... P, std::size_t... I>
Ref call(const Args& a, R (*)(P...), std::index_sequence<I...>) {
    // Braces: the arguments are converted in parameter order.
    std::tuple<Param<std::remove_cvref_t<P>>...> params{Param<std::remove_cvref_t<P>>(a, I)...};
    (std::get<I>(params).settle(), ...);
    if constexpr (L == Lock::released) {
        R result = [&] {
            Unlocked released;
            return Body(std::get<I>(params).get()...);
        }();
        return to_python(std::move(result));
    } else {
        return to_python(Body(std::get<I>(params).get()...));
    }
}
}  // namespace detail

// Converts the arguments for Body, calls it and converts its result.
template <auto Body, Lock L>
Ref bound(const Args& a) {
    return detail::call<Body, L>(a, Body, std::make_index_sequence<detail::arity(Body)>());
}

// One exported function: its entry in a module's function table.
struct Function {
    const char* name;
    std::span<const char* const> params;
    const char* raw_doc;  // "name(sig)\n--\n\ndocstring"
    Ref (*call)(const Args&);
    // Leading parameters that are required and positional; the rest are
    // optional keywords.
    std::size_t positional;
};

// The record of function `name` whose body is Body, all of whose
// parameters but the last `keywords` are required.
template <auto Body, Lock L>
constexpr Function function(const char* name, std::span<const char* const> params,
                            const char* raw_doc, std::size_t keywords = 0) {
    return Function{name, params, raw_doc, &bound<Body, L>, params.size() - keywords};
}

template <const Function& F>
PyObject* entry_point(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        Args bound_args(F.name, F.params, F.positional, args, nargs, kwnames);
        return F.call(bound_args).release();
    });
}

// Not constexpr: the entry point is cast, which a constant expression cannot
// do; tables of these are filled once at load time.
template <const Function& F>
inline PyMethodDef method_def() {
    return PyMethodDef{F.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry_point<F>)),
                       METH_FASTCALL | METH_KEYWORDS, F.raw_doc};
}

// ---- modules -------------------------------------------------------------------

// A native module: its definition and its function table, registered in
// table order (each function a module attribute, its name appended to
// __all__). Single-phase initialisation: the module is created once per
// process and cached, so a re-import returns the same object. Every module
// refuses to load in a second interpreter, since their state (module cache,
// exception class, NumPy's table, the thread pool) is process-wide.
struct Module {
    PyModuleDef def;
    std::span<const PyMethodDef> functions;
    bool names_panic_exception;  // also an attribute PanicException
    PyObject* cache = nullptr;   // strong reference once initialised
};

// The module, created on the first call. Throws PyError.
PyObject* module_of(Module& m);

}  // namespace quarnel::py
