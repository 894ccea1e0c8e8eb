// The result rows of a batch of queries: for each query the best r
// (squared distance, row) pairs seen so far, ordered by (distance, row).
//
// Ordering on the pair makes every row equal to a stable brute-force sort,
// whatever the tree's shape or visiting order. The search offers a point
// only when its squared distance is at most `worst(q)`, the largest in a
// full row (infinity before that): a point at exactly that distance but with
// a smaller row index still belongs in the row.
//
// Both kinds keep their storage between batches (one object per thread).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace quarnel::knn {

inline bool before(double da, std::uint64_t ia, double db, std::uint64_t ib) {
    return da < db || (da == db && ia < ib);
}

inline constexpr double unbounded = std::numeric_limits<double>::infinity();

// One row store per thread, reused from batch to batch.
template <class Rows>
Rows& thread_rows() {
    thread_local Rows rows;
    return rows;
}

// The worst distance of each row starts unbounded; the list is padded to a
// whole number of eight-query groups (the widest box test) with -infinity,
// which no bound is at or below, so the padding queries never search.
inline void reset_worst(std::vector<double>& worst, std::size_t queries) {
    worst.assign((queries + 7) / 8 * 8, -unbounded);
    std::fill(worst.begin(), worst.begin() + static_cast<std::ptrdiff_t>(queries), unbounded);
}

// Sorted insertion into a small array: for rows up to 32 long it beats a
// heap (the row is one or two cache lines and most offers end at the last
// slot).
class SortedRows {
public:
    void reset(std::size_t queries, std::size_t row_length) {
        r_ = row_length;
        dist_.resize(queries * r_);
        row_.resize(queries * r_);
        count_.assign(queries, 0);
        reset_worst(worst_, queries);
    }

    double worst(std::size_t q) const { return worst_[q]; }
    const double* worsts() const { return worst_.data(); }

    // Takes (d, row) into row q if it beats the worst; d <= worst(q).
    [[gnu::always_inline]] void offer(std::size_t q, double d, std::uint64_t row) {
        double* dist = dist_.data() + q * r_;
        std::uint64_t* rows = row_.data() + q * r_;
        std::size_t i = count_[q];
        if (i < r_) {
            ++count_[q];
        } else {
            if (!before(d, row, dist[r_ - 1], rows[r_ - 1])) return;
            i = r_ - 1;
        }
        // Past the larger distances, then past equal ones with larger rows
        // (rare): one comparison per step in the common case.
        while (i > 0 && d < dist[i - 1]) {
            dist[i] = dist[i - 1];
            rows[i] = rows[i - 1];
            --i;
        }
        while (i > 0 && d == dist[i - 1] && row < rows[i - 1]) {
            dist[i] = dist[i - 1];
            rows[i] = rows[i - 1];
            --i;
        }
        dist[i] = d;
        rows[i] = row;
        if (count_[q] == r_) worst_[q] = dist[r_ - 1];
    }

    // Writes row q, nearest first, as distances (square roots) and indices
    // (Index holds every row of the tree: the caller picked it for the size).
    template <class Index>
    void write(std::size_t q, double* dist, Index* index) {
        for (std::size_t i = 0; i < count_[q]; ++i) {
            dist[i] = std::sqrt(dist_[q * r_ + i]);
            index[i] = static_cast<Index>(row_[q * r_ + i]);
        }
    }

private:
    std::size_t r_ = 0;
    std::vector<double> dist_;
    std::vector<std::uint64_t> row_;
    std::vector<std::size_t> count_;
    std::vector<double> worst_;
};

// Rows up to 8 * Blocks long kept sorted in whole blocks of eight entries,
// for the AVX-512 kernel (search_avx512.hpp), which inserts into a row held
// in registers with compares and blends only (no data-dependent branch).
// Empty entries are (infinity, largest row), after every real pair, so an
// insertion needs no count: the position is the number of entries before
// the new pair. Entries shifted past the row's length stay sorted behind it
// and are never written out (avx512::write_rows writes the rows); the
// worst is the entry at row_length - 1.
template <int Blocks>
class BlockRows {
public:
    static constexpr std::size_t lanes = 8 * Blocks;

    void reset(std::size_t queries, std::size_t row_length) {
        r_ = row_length;
        row_.resize(queries);
        for (std::size_t q = 0; q < queries; ++q) {
            std::fill(row_[q].dist, row_[q].dist + lanes, unbounded);
            std::fill(row_[q].row, row_[q].row + lanes, ~std::uint64_t{0});
        }
        reset_worst(worst_, queries);
    }

    std::size_t row_length() const { return r_; }
    double worst(std::size_t q) const { return worst_[q]; }
    const double* worsts() const { return worst_.data(); }
    double* dist(std::size_t q) { return row_[q].dist; }
    std::uint64_t* rows(std::size_t q) { return row_[q].row; }
    void set_worst(std::size_t q, double w) { worst_[q] = w; }

private:
    struct alignas(64) Row {
        double dist[lanes];
        std::uint64_t row[lanes];
    };
    std::size_t r_ = 0;
    std::vector<Row> row_;
    std::vector<double> worst_;
};

// A max-heap on (distance, row) per query for long rows, sorted at the end.
class HeapRows {
public:
    void reset(std::size_t queries, std::size_t row_length) {
        r_ = row_length;
        heap_.resize(queries * r_);
        count_.assign(queries, 0);
        reset_worst(worst_, queries);
    }

    double worst(std::size_t q) const { return worst_[q]; }
    const double* worsts() const { return worst_.data(); }

    [[gnu::always_inline]] void offer(std::size_t q, double d, std::uint64_t row) {
        Entry* heap = heap_.data() + q * r_;
        const Entry e{d, row};
        std::size_t& count = count_[q];
        if (count < r_) {
            heap[count++] = e;
            std::push_heap(heap, heap + count, less);
        } else if (less(e, heap[0])) {
            std::pop_heap(heap, heap + r_, less);
            heap[r_ - 1] = e;
            std::push_heap(heap, heap + r_, less);
        } else {
            return;
        }
        if (count == r_) worst_[q] = heap[0].dist;
    }

    template <class Index>
    void write(std::size_t q, double* dist, Index* index) {
        Entry* heap = heap_.data() + q * r_;
        std::sort_heap(heap, heap + count_[q], less);
        for (std::size_t i = 0; i < count_[q]; ++i) {
            dist[i] = std::sqrt(heap[i].dist);
            index[i] = static_cast<Index>(heap[i].row);
        }
    }

private:
    struct Entry {
        double dist;
        std::uint64_t row;
    };
    static bool less(const Entry& a, const Entry& b) { return before(a.dist, a.row, b.dist, b.row); }

    std::size_t r_ = 0;
    std::vector<Entry> heap_;
    std::vector<std::size_t> count_;
    std::vector<double> worst_;
};

}  // namespace quarnel::knn
