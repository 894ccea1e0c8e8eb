// A k-d tree over the rows of a point matrix, for a dimension D fixed at
// compile time, built on nanoflann.
//
// After nanoflann has built the tree (reading the caller's matrix in place
// through its strides), the points are copied in the tree's own order into
// one contiguous buffer and the tree's index array becomes the identity, so
// a leaf is a contiguous run of points. `original[p]` maps a position back
// to the row it came from.
#pragma once

#include <nanoflann.hpp>

#include <array>
#include <cstdint>
#include <memory>
#include <numeric>
#include <vector>

#include "core/large_stack.hpp"
#include "core/views.hpp"
#include "knn/neighbours.hpp"

namespace quarnel::knn {

// Leaf size: measured fastest for k = 16 in 3 to 8 dimensions.
inline constexpr std::size_t leaf_size = 16;

// nanoflann 1.5 renamed its members and its search-parameter type.
#if NANOFLANN_VERSION >= 0x150
using SearchParameters = nanoflann::SearchParameters;
#else
using SearchParameters = nanoflann::SearchParams;
#endif

template <class Tree>
auto& index_array(Tree& tree) {
    if constexpr (requires { tree.vAcc_; })
        return tree.vAcc_;
    else
        return tree.vAcc;
}

template <int D>
struct Points {
    // Read by nanoflann while it builds: the caller's matrix.
    MatrixView<double> source;
    // Read by the metric while searching: points in tree order, D per point.
    const double* ordered = nullptr;

    std::size_t kdtree_get_point_count() const { return source.rows; }
    double kdtree_get_pt(std::size_t i, std::size_t j) const { return source(i, j); }
    template <class Box>
    bool kdtree_get_bbox(Box&) const { return false; }
};

// Squared Euclidean distance summed in coordinate order, one rounding per
// square and per addition (the build disables FMA contraction).
template <int D>
struct OrderedL2 {
    using ElementType = double;
    using DistanceType = double;

    const Points<D>& points;
    explicit OrderedL2(const Points<D>& p) : points(p) {}

    double evalMetric(const double* a, std::size_t position, std::size_t) const {
        const double* b = points.ordered + position * D;
        double sum = 0.0;
        for (int j = 0; j < D; ++j) {
            const double diff = a[j] - b[j];
            sum += diff * diff;
        }
        return sum;
    }
    template <class U, class V>
    double accum_dist(U a, V b, std::size_t) const {
        return (a - b) * (a - b);
    }
};

// `Position` indexes the tree's points: 32 bits when the point count allows,
// which saves 8 bytes per point against 64-bit positions.
template <int D, class Position>
class Tree {
public:
    using Index = nanoflann::KDTreeSingleIndexAdaptor<OrderedL2<D>, Points<D>, D, Position>;

    explicit Tree(const MatrixView<double>& x) {
        points_.source = x;
        on_large_stack([&] {
            index_ = std::make_unique<Index>(D, points_, nanoflann::KDTreeSingleIndexAdaptorParams(leaf_size));
        });
        auto& positions = index_array(*index_);
        const std::size_t n = positions.size();
        ordered_.resize(n * D);
        original_.resize(n);
        for (std::size_t p = 0; p < n; ++p) {
            const Position row = positions[p];
            original_[p] = row;
            for (int j = 0; j < D; ++j) ordered_[p * D + j] = x(row, static_cast<std::size_t>(j));
        }
        std::iota(positions.begin(), positions.end(), Position{0});
        points_.ordered = ordered_.data();
    }

    std::size_t size() const { return original_.size(); }
    const double* point_at(std::size_t position) const { return ordered_.data() + position * D; }
    std::uint64_t row_at(std::size_t position) const { return original_[position]; }

    // Writes the min(k, size()) nearest points to `q` into dist/index.
    void query(const double* q, std::size_t row_length, double* dist, std::int64_t* index) const {
        if (row_length == 0) return;
        if (row_length <= 32) {
            SortedRow<Position> row(dist, index, row_length, original_.data());
            index_->findNeighbors(row, q, SearchParameters());
            row.finish();
        } else {
            thread_local std::vector<typename HeapRow<Position>::Entry> heap;
            HeapRow<Position> row(dist, index, row_length, original_.data(), heap);
            index_->findNeighbors(row, q, SearchParameters());
            row.finish();
        }
    }

private:
    Points<D> points_;
    std::unique_ptr<Index> index_;
    std::vector<double> ordered_;
    std::vector<Position> original_;
};

}  // namespace quarnel::knn
