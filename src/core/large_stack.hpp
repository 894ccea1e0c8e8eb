// Runs a function on a helper thread with a large stack, waiting for it.
//
// The k-d tree is built recursively, one stack frame per level. Ordinary
// data give a few dozen levels, but points whose coordinates span the whole
// exponent range of a double give thousands (about 1600 per axis), more than
// a small Python thread stack holds. The build therefore runs on a thread
// whose stack is sized for the deepest possible tree; the caller only waits.
#pragma once

#include <exception>
#include <type_traits>
#include <utility>

namespace quarnel {

namespace detail {
// Runs fn(ctx) on a thread with a large stack, or on the calling thread if
// no such thread can be started. Returns the exception fn threw, if any.
std::exception_ptr run_on_large_stack(void (*fn)(void*), void* ctx);
}  // namespace detail

template <class F>
void on_large_stack(F&& f) {
    auto call = [](void* ctx) { (*static_cast<std::remove_reference_t<F>*>(ctx))(); };
    if (std::exception_ptr error = detail::run_on_large_stack(call, static_cast<void*>(&f)))
        std::rethrow_exception(error);
}

}  // namespace quarnel
