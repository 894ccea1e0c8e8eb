// Binding, conversion, result building and the exception trap.
#include "boundary.hpp"

#include <atomic>
#include <cstdio>
#include <string>
#include <type_traits>

#include "numpy_api.hpp"

namespace quarnel::py {
namespace {

// ---- exceptions -----------------------------------------------------------

std::string type_name(PyObject* obj) {
    std::string name = "<failed to extract type name>";
    if (PyObject* q = PyType_GetQualName(Py_TYPE(obj))) {
        if (const char* text = PyUnicode_AsUTF8(q)) name = text;
        Py_DECREF(q);
    }
    if (PyErr_Occurred()) PyErr_Clear();
    return name;
}


// A converter for parameter `name` failed with the pending exception. An
// exception of exactly TypeError is replaced by one whose message names the
// argument; every other exception passes through unchanged.
[[noreturn]] void relabel_and_throw(const char* name) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc && Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyObject* fresh = nullptr;
        if (PyObject* text = PyObject_Str(exc)) {
            fresh = PyObject_CallFunction(PyExc_TypeError, "N",
                                          PyUnicode_FromFormat("argument '%s': %U", name, text));
            Py_DECREF(text);
        }
        if (fresh) {
            PyException_SetCause(fresh, PyException_GetCause(exc));  // steals the new reference
            Py_DECREF(exc);
            exc = fresh;
        } else {
            Py_DECREF(exc);
            throw PyError{};  // the error from building the new exception is pending
        }
    }
    if (exc) PyErr_SetRaisedException(exc);
    throw PyError{};
}

[[noreturn]] void raise_not_convertible(PyObject* obj, const char* target, const char* name) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name(obj).c_str(), target);
    relabel_and_throw(name);
}

// ---- PanicException -------------------------------------------------------

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;  // created once, lives for the process
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "quarnel.PanicException",
            "Raised when native code called from Python stops internally.\n\n"
            "Like SystemExit, this exception derives from BaseException so that it\n"
            "typically propagates all the way through the stack and is not caught\n"
            "by handlers for Exception.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    if (!type) return;  // the failure to create the class is pending
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (!text) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void report_stop(const Stop& s) {
    std::fprintf(stderr, "\nthread '%s' stopped at %s:%u:%u:\n%s\n", s.thread().c_str(),
                 s.where().file_name(), static_cast<unsigned>(s.where().line()),
                 static_cast<unsigned>(s.where().column()), s.message().c_str());
    std::fflush(stderr);
}

// ---- checks on interpreter constructors -----------------------------------

PyObject* made(PyObject* obj) {
    if (!obj) {
        if (PyErr_Occurred()) PyErr_Print();
        stop("Python API call failed");
    }
    return obj;
}

// ---- arrays ----------------------------------------------------------------

template <class T>
constexpr numpy::Element element_of() {
    return std::is_same_v<T, double>         ? numpy::Element::float64
           : std::is_same_v<T, std::int32_t> ? numpy::Element::int32
                                             : numpy::Element::int64;
}

template <class T>
ArrayArg<MatrixView<T>> convert_matrix(PyObject* obj, const char* name) {
    numpy::ArrayLayout layout;
    if (!numpy::inspect(obj, element_of<T>(), 2, layout)) raise_not_convertible(obj, "PyArray<T, D>", name);
    MatrixView<T> view{static_cast<const T*>(layout.data), static_cast<std::size_t>(layout.extent[0]),
                       static_cast<std::size_t>(layout.extent[1]), layout.stride[0], layout.stride[1]};
    return {Ref::borrow(obj), view};
}

template <class T>
ArrayArg<VectorView<T>> convert_vector(PyObject* obj, const char* name) {
    numpy::ArrayLayout layout;
    if (!numpy::inspect(obj, element_of<T>(), 1, layout)) raise_not_convertible(obj, "PyArray<T, D>", name);
    VectorView<T> view{static_cast<const T*>(layout.data), static_cast<std::size_t>(layout.extent[0]),
                       layout.stride[0]};
    return {Ref::borrow(obj), view};
}

template <class T>
Slice<T> contiguous_run(const ArrayArg<VectorView<T>>& a) {
    // The array is looked at again: Python code run by a later conversion (an
    // __index__, an index-list item) may have reshaped or retyped it since,
    // and an array that no longer converts is not taken as a run either.
    numpy::ArrayLayout layout;
    if (!numpy::inspect(a.object(), element_of<T>(), 1, layout) || !layout.contiguous) {
        PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
        throw PyError{};
    }
    // A contiguous 1-D run starts at the lowest address; with length 0 or 1
    // any stride is allowed and base is that element.
    return {a.view().base, a.view().len};
}

// ---- index lists -------------------------------------------------------------

// Checks that `obj` may be taken as a list of items (a sequence, not a str)
// and calls `each(item)` for its items in iteration order. Exact lists and
// tuples are walked by index, which is what their iterators do, without
// creating an iterator object per inner list.
template <class Each>
void for_each_item(PyObject* obj, const char* name, std::size_t& size_hint, Each&& each) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "a 'str' cannot be taken as a list of integers");
        relabel_and_throw(name);
    }
    if (!PySequence_Check(obj)) raise_not_convertible(obj, "Sequence", name);
    Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) {
        PyErr_Clear();  // the length is only a capacity hint
        n = 0;
    }
    size_hint = static_cast<std::size_t>(n);
    if (PyList_CheckExact(obj)) {
        // The size is read again each step: an item's conversion may run
        // Python code that changes the list, as with the list's iterator.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
            each(item.get());
        }
        return;
    }
    if (PyTuple_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) each(PyTuple_GET_ITEM(obj, i));
        return;
    }
    Ref it(PyObject_GetIter(obj));
    if (!it) relabel_and_throw(name);
    while (Ref item{PyIter_Next(it.get())}) each(item.get());
    if (PyErr_Occurred()) relabel_and_throw(name);
}

// Python's cyclic garbage collector is paused while a call builds many
// container objects that cannot form cycles: its collections would scan
// them again and again for nothing.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    int was_enabled_;
};

}  // namespace

// ---- the exception trap -------------------------------------------------------

PyObject* raise_current_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    } catch (const Stop& s) {
        report_stop(s);
        raise_panic(s.message());
    } catch (const ValueError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();  // a request beyond what any allocator can give
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("internal error");
    }
    return nullptr;
}

// ---- binding -------------------------------------------------------------------

Args::Args(const char* function, std::span<const char* const> params, std::size_t positional,
           PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
    : params_(params) {
    const std::size_t n = params.size();
    const std::size_t given = static_cast<std::size_t>(nargs);
    if (given > positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given", function,
                     positional, nargs);
        throw PyError{};
    }
    for (std::size_t i = 0; i < given; ++i) slots_[i] = args[i];

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &len);
        if (!text) PyErr_Clear();  // no UTF-8 text (a lone surrogate): matches nothing
        std::size_t match = n;
        for (std::size_t i = 0; text && i < n; ++i) {
            if (std::string_view(params[i]) == std::string_view(text, static_cast<std::size_t>(len))) {
                match = i;
                break;
            }
        }
        if (match == n) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
            throw PyError{};
        }
        if (slots_[match]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                         params[match]);
            throw PyError{};
        }
        slots_[match] = args[nargs + k];
    }

    if (given < positional) {
        std::vector<const char*> missing;
        for (std::size_t i = given; i < positional; ++i)
            if (!slots_[i]) missing.push_back(params[i]);
        if (!missing.empty()) {
            std::string list;
            for (std::size_t i = 0; i < missing.size(); ++i) {
                if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
                list += std::string("'") + missing[i] + "'";
            }
            PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", function,
                         missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
            throw PyError{};
        }
    }
}

template <class T>
ArrayArg<MatrixView<T>> Args::matrix(std::size_t i) const {
    return convert_matrix<T>(slots_[i], params_[i]);
}
template <class T>
ArrayArg<VectorView<T>> Args::vector(std::size_t i) const {
    return convert_vector<T>(slots_[i], params_[i]);
}
template ArrayArg<MatrixView<double>> Args::matrix(std::size_t) const;
template ArrayArg<MatrixView<std::int64_t>> Args::matrix(std::size_t) const;
template ArrayArg<MatrixView<std::int32_t>> Args::matrix(std::size_t) const;
template ArrayArg<VectorView<double>> Args::vector(std::size_t) const;
template ArrayArg<VectorView<std::int64_t>> Args::vector(std::size_t) const;

bool Args::holds_index32_matrix(std::size_t i) const {
    numpy::ArrayLayout layout;
    return numpy::inspect(slots_[i], numpy::Element::int32, 2, layout);
}

ArrayArg<Progress> Args::progress(std::size_t i) const {
    PyObject* obj = slots_[i];
    if (!obj || obj == Py_None) return {Ref(), Progress{}};
    numpy::ArrayLayout layout;
    if (!numpy::inspect(obj, numpy::Element::int64, 1, layout) || layout.extent[0] != 1 ||
        !layout.writable) {
        PyErr_SetString(PyExc_TypeError, "expected a writable int64 array of shape (1,)");
        relabel_and_throw(params_[i]);
    }
    return {Ref::borrow(obj), Progress{static_cast<std::int64_t*>(const_cast<void*>(layout.data))}};
}

// One entry of an index list as a signed 64-bit integer: an int or an object
// with __index__ (a float is refused by the interpreter). Out of range raises
// OverflowError in the interpreter's own words for a 64-bit integer, so the
// message is the one a caller of this module has always seen.
static_assert(sizeof(long long) == sizeof(std::int64_t));
namespace {
std::int64_t list_entry(PyObject* value, const char* name) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
        relabel_and_throw(name);
    }
    if (v == -1 && PyErr_Occurred()) relabel_and_throw(name);
    return v;
}
}  // namespace

IndexLists Args::index_lists(std::size_t i) const {
    const char* name = params_[i];
    IndexLists lists;
    std::size_t hint = 0;
    bool reserved = false;
    for_each_item(slots_[i], name, hint, [&](PyObject* inner) {
        // A density graph has at most one entry per list on average.
        if (!reserved) lists.reserve(hint, hint), reserved = true;
        std::size_t inner_hint = 0;
        for_each_item(inner, name, inner_hint, [&](PyObject* value) {
            lists.add_entry(list_entry(value, name));
        });
        lists.end_list();
    });
    return lists;
}

double Args::float_scalar(std::size_t i) const {
    PyObject* obj = slots_[i];
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) relabel_and_throw(params_[i]);
    return v;
}

std::uint64_t Args::size_scalar(std::size_t i) const {
    PyObject* obj = slots_[i];
    unsigned long long v;
    if (PyLong_Check(obj)) {
        v = PyLong_AsUnsignedLongLong(obj);
    } else {
        Ref index(PyNumber_Index(obj));
        if (!index) relabel_and_throw(params_[i]);
        v = PyLong_AsUnsignedLongLong(index.get());
    }
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) relabel_and_throw(params_[i]);
    return v;
}

Slice<double> contiguous(const ArrayArg<VectorView<double>>& a) { return contiguous_run(a); }
Slice<std::int64_t> contiguous(const ArrayArg<VectorView<std::int64_t>>& a) { return contiguous_run(a); }

// ---- results ----------------------------------------------------------------------

Ref result_array(std::vector<double>&& buffer) { return Ref(made(numpy::adopt(std::move(buffer)))); }
Ref result_array(std::vector<std::int64_t>&& buffer) { return Ref(made(numpy::adopt(std::move(buffer)))); }
Ref result_array(Buffer<double>&& buffer) { return Ref(made(numpy::adopt(std::move(buffer)))); }
Ref result_array(Buffer<std::int64_t>&& buffer) { return Ref(made(numpy::adopt(std::move(buffer)))); }
Ref result_array(Buffer<std::int32_t>&& buffer) { return Ref(made(numpy::adopt(std::move(buffer)))); }

Ref result_lists(const IndexLists& lists) {
    GcPause pause;
    Ref outer(made(PyList_New(static_cast<Py_ssize_t>(lists.size()))));
    for (std::size_t p = 0; p < lists.size(); ++p) {
        PyObject* inner = made(PyList_New(static_cast<Py_ssize_t>(lists.length(p))));
        PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(p), inner);  // owned by outer from here
        Py_ssize_t j = 0;
        lists.for_each(p, [&](std::int64_t v) { PyList_SET_ITEM(inner, j++, made(PyLong_FromLongLong(v))); });
    }
    return outer;
}

Ref result_float(double v) { return Ref(made(PyFloat_FromDouble(v))); }
Ref result_uint(std::uint64_t v) { return Ref(made(PyLong_FromUnsignedLongLong(v))); }
Ref result_tuple(std::span<Ref> items) {
    Ref tuple(made(PyTuple_New(static_cast<Py_ssize_t>(items.size()))));
    Py_ssize_t i = 0;
    for (Ref& item : items) PyTuple_SET_ITEM(tuple.get(), i++, item.release());
    return tuple;
}

// ---- modules ------------------------------------------------------------------------

namespace {

// The interpreter that loaded the first module; only it may load them.
std::atomic<std::int64_t> interpreter_slot{-1};

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

}  // namespace

PyObject* module_of(Module& m) {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) fail_with_pending_or_system_error();
    std::int64_t expected = -1;
    if (!interpreter_slot.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "quarnel keeps process-wide state and its native modules do not yet support "
                        "subinterpreters; import it in the main interpreter only");
        throw PyError{};
    }
    if (m.cache) return Py_NewRef(m.cache);

    Ref module(PyModule_Create2(&m.def, PYTHON_API_VERSION));
    if (!module) fail_with_pending_or_system_error();
    Ref module_name(PyModule_GetNameObject(module.get()));
    if (!module_name) throw PyError{};
    // The function objects point at their entries for the life of the
    // process: a copy of the table that is never freed.
    auto* table = new std::vector<PyMethodDef>(m.functions.begin(), m.functions.end());
    for (PyMethodDef& def : *table) register_function(module.get(), module_name.get(), &def);
    if (m.names_panic_exception) {
        PyObject* type = panic_exception_type();
        if (!type) throw PyError{};
        check(PyObject_SetAttrString(module.get(), "PanicException", type));
    }

    if (!m.cache) m.cache = module.release();
    return Py_NewRef(m.cache);
}

}  // namespace quarnel::py
