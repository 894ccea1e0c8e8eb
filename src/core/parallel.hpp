// Parallel loops over an index range on the process-wide thread pool.
//
// The calling thread hands the loop to the pool and waits; it does not work
// on the loop itself. Indices are handed out in chunks by an atomic counter,
// and every index must write only its own result slot, so results never
// depend on the number of threads or on scheduling. The first exception
// thrown by any index (a Stop, std::bad_alloc, ...) is rethrown on the caller
// with its message unchanged; chunks not yet started are then skipped.
//
// The pool is created by the first loop of the process (whatever its size).
// Later loops over few indices run inline on the calling thread.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

namespace quarnel {

namespace detail {
using ChunkFn = void (*)(void* ctx, std::size_t begin, std::size_t end);
// Runs fn(ctx, b, e) over chunks [b, e) covering [0, n).
void run_parallel(std::size_t n, std::size_t grain, ChunkFn fn, void* ctx);
}  // namespace detail

// Number of worker threads the pool has (creating it if needed).
std::size_t pool_size();

// Calls body(i) for every i in [0, n). `grain` is the chunk size handed to a
// worker at a time.
template <class Body>
void parallel_for(std::size_t n, Body&& body, std::size_t grain = 256) {
    auto chunk = [](void* ctx, std::size_t b, std::size_t e) {
        auto& f = *static_cast<std::remove_reference_t<Body>*>(ctx);
        for (std::size_t i = b; i < e; ++i) f(i);
    };
    detail::run_parallel(n, grain, chunk, static_cast<void*>(&body));
}

// Returns {f(0), f(1), ..., f(n - 1)}, computed in parallel.
template <class T, class F>
std::vector<T> parallel_map(std::size_t n, F&& f, std::size_t grain = 256) {
    std::vector<T> out(n);
    T* slots = out.data();
    parallel_for(n, [&](std::size_t i) { slots[i] = f(i); }, grain);
    return out;
}

}  // namespace quarnel
