// Progress of a long search, for a caller that watches it from another
// thread: the number of finished query rows, added to a counter the caller
// owns while the search runs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace quarnel {

// The caller's counter, or none.
struct Progress {
    std::int64_t* counter = nullptr;
};

// The adds of one search to its Progress counter. Each thread adds its
// finished rows once it has a block of them (an add per batch of a few dozen
// rows would make every thread contend for the counter's cache line); the
// search adds the rest when it ends, so that the counter has then grown by
// exactly the number of rows. The adds are relaxed atomic adds: the count
// orders nothing.
class RowsDone {
public:
    static constexpr std::size_t block = 4096;

    explicit RowsDone(Progress p) noexcept : counter_(p.counter), search_(next_search()) {}
    RowsDone(const RowsDone&) = delete;
    RowsDone& operator=(const RowsDone&) = delete;

    // `rows` more rows finished on the calling thread.
    void add(std::size_t rows) noexcept {
        if (!counter_) return;
        Pending& mine = pending();
        if (mine.search != search_) mine = {search_, 0};  // left over from an earlier search
        mine.rows += rows;
        if (mine.rows >= block) {
            publish(mine.rows);
            mine.rows = 0;
        }
    }

    // After the search (every add has returned): the rows of `total` not
    // added yet.
    void finish(std::size_t total) noexcept {
        if (counter_) publish(total - added_.load(std::memory_order_relaxed));
    }

private:
    struct Pending {
        std::uint64_t search = 0;
        std::size_t rows = 0;
    };

    static Pending& pending() noexcept {
        thread_local Pending p;
        return p;
    }

    static std::uint64_t next_search() noexcept {
        static std::atomic<std::uint64_t> searches{0};
        return searches.fetch_add(1, std::memory_order_relaxed) + 1;
    }

    void publish(std::size_t rows) noexcept {
        added_.fetch_add(rows, std::memory_order_relaxed);
        std::atomic_ref<std::int64_t>(*counter_).fetch_add(static_cast<std::int64_t>(rows),
                                                           std::memory_order_relaxed);
    }

    std::int64_t* counter_;
    std::uint64_t search_;
    std::atomic<std::size_t> added_{0};
};

}  // namespace quarnel
