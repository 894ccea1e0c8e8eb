// A heap array whose elements start uninitialised.
//
// For large outputs that a parallel loop fills entirely: a std::vector would
// zero every page on the calling thread first, a serial pass over memory the
// loop then writes again. Here the pages are first touched by the threads
// that write them.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

namespace quarnel {

template <class T>
class Buffer {
    static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>);

public:
    Buffer() = default;
    // Always a real allocation, even of no elements: a NumPy array taking
    // the buffer over needs a non-NULL data pointer.
    explicit Buffer(std::size_t size) : data_(new T[size == 0 ? 1 : size]), size_(size) {}

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T* data() noexcept { return data_.get(); }
    const T* data() const noexcept { return data_.get(); }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    std::unique_ptr<T[]> data_;
    std::size_t size_ = 0;
};

}  // namespace quarnel
