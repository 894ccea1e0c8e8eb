// A heap array whose elements start uninitialised.
//
// For large outputs that a parallel loop fills entirely: a std::vector would
// zero every page on the calling thread first, a serial pass over memory the
// loop then writes again. Here the pages are first touched by the threads
// that write them.
//
// Large blocks start on a 2 MiB boundary and are offered transparent huge
// pages (Linux, where the system allows them on request): the neighbour
// tables are written row by row in an order unrelated to the rows, and with
// 4 KiB pages nearly every row written misses the TLB.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace quarnel {

template <class T>
class Buffer {
    static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>);

public:
    Buffer() = default;
    // Always a real allocation, even of no elements: a NumPy array taking
    // the buffer over needs a non-NULL data pointer.
    explicit Buffer(std::size_t size) : data_(allocate(size)), size_(size) {}

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T* data() noexcept { return data_.get(); }
    const T* data() const noexcept { return data_.get(); }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    static constexpr std::size_t huge_page = std::size_t{1} << 21;

    static T* allocate(std::size_t size) {
        if (size > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = (size == 0 ? 1 : size) * sizeof(T);
        // Cache-line aligned below two huge pages, where huge pages would not pay.
        const std::size_t align = bytes >= 2 * huge_page ? huge_page : 64;
        void* p = nullptr;
        if (posix_memalign(&p, align, bytes) != 0) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        if (align == huge_page) madvise(p, bytes / huge_page * huge_page, MADV_HUGEPAGE);
#endif
        return static_cast<T*>(p);
    }
    struct Free {
        void operator()(T* p) const noexcept { std::free(p); }
    };

    std::unique_ptr<T[], Free> data_;
    std::size_t size_ = 0;
};

}  // namespace quarnel
