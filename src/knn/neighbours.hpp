// The result set of one k-NN query: the best r (squared distance, index)
// pairs seen so far, ordered by (distance, index).
//
// Ordering on the pair makes every row equal to a stable brute-force sort,
// whatever the tree's shape or visiting order. The tree asks for the current
// worst distance to prune; we answer with a bound slightly above it so that
// (a) a point at exactly the worst distance but with a smaller index is
// still offered, and (b) rounding in the tree's incremental lower bounds can
// never prune a node holding a point that belongs in the row.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace quarnel::knn {

inline double pruning_bound(double worst) {
    // 2^-32 relative slack dwarfs the rounding of a sum of at most 8 squares
    // accumulated along a tree path; the smallest subnormal keeps the bound
    // strictly above the worst distance even when that is 0.
    return worst + worst * 0x1p-32 + 0x1p-1074;
}

inline bool before(double da, std::uint64_t ia, double db, std::uint64_t ib) {
    return da < db || (da == db && ia < ib);
}

// Sorted insertion straight into the output row; best for small rows.
// `original[p]` is the row of the point at tree position p.
template <class Position>
class SortedRow {
public:
    using DistanceType = double;
    using IndexType = std::size_t;
    using CountType = std::size_t;

    SortedRow(double* dist, std::int64_t* index, std::size_t capacity, const Position* original)
        : dist_(dist), index_(index), capacity_(capacity), original_(original) {}

    bool full() const { return count_ == capacity_; }
    std::size_t size() const { return count_; }
    double worstDist() const { return bound_; }

    bool addPoint(double d, std::size_t position) {
        const std::uint64_t id = original_[position];
        if (full() && !before(d, id, dist_[capacity_ - 1], static_cast<std::uint64_t>(index_[capacity_ - 1])))
            return true;
        std::size_t i = full() ? capacity_ - 1 : count_++;
        while (i > 0 && before(d, id, dist_[i - 1], static_cast<std::uint64_t>(index_[i - 1]))) {
            dist_[i] = dist_[i - 1];
            index_[i] = index_[i - 1];
            --i;
        }
        dist_[i] = d;
        index_[i] = static_cast<std::int64_t>(id);
        if (full()) bound_ = pruning_bound(dist_[capacity_ - 1]);
        return true;
    }

    // Squared distances to distances.
    void finish() {
        for (std::size_t i = 0; i < count_; ++i) dist_[i] = std::sqrt(dist_[i]);
    }

private:
    double* dist_;
    std::int64_t* index_;
    std::size_t capacity_;
    const Position* original_;
    std::size_t count_ = 0;
    double bound_ = std::numeric_limits<double>::infinity();
};

// A max-heap on (distance, index) for long rows, sorted into the output at
// the end. The heap storage is reused across the queries of one thread.
template <class Position>
class HeapRow {
public:
    using DistanceType = double;
    using IndexType = std::size_t;
    using CountType = std::size_t;
    using Entry = std::pair<double, std::uint64_t>;

    HeapRow(double* dist, std::int64_t* index, std::size_t capacity, const Position* original,
            std::vector<Entry>& heap)
        : dist_(dist), index_(index), capacity_(capacity), original_(original), heap_(heap) {
        heap_.clear();
        heap_.reserve(capacity);
    }

    bool full() const { return heap_.size() == capacity_; }
    std::size_t size() const { return heap_.size(); }
    double worstDist() const { return bound_; }

    bool addPoint(double d, std::size_t position) {
        Entry e{d, original_[position]};
        if (!full()) {
            heap_.push_back(e);
            std::push_heap(heap_.begin(), heap_.end(), less);
        } else if (less(e, heap_.front())) {
            std::pop_heap(heap_.begin(), heap_.end(), less);
            heap_.back() = e;
            std::push_heap(heap_.begin(), heap_.end(), less);
        } else {
            return true;
        }
        if (full()) bound_ = pruning_bound(heap_.front().first);
        return true;
    }

    void finish() {
        std::sort_heap(heap_.begin(), heap_.end(), less);
        for (std::size_t i = 0; i < heap_.size(); ++i) {
            dist_[i] = std::sqrt(heap_[i].first);
            index_[i] = static_cast<std::int64_t>(heap_[i].second);
        }
    }

private:
    static bool less(const Entry& a, const Entry& b) { return before(a.first, a.second, b.first, b.second); }

    double* dist_;
    std::int64_t* index_;
    std::size_t capacity_;
    const Position* original_;
    std::vector<Entry>& heap_;
    double bound_ = std::numeric_limits<double>::infinity();
};

}  // namespace quarnel::knn
