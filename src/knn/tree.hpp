// A k-d tree over the rows of a point matrix, for a dimension D fixed at
// compile time.
//
// Every node splits its points at the median of the axis along which they
// spread most, so the tree is balanced (depth about log2(n / leaf_size),
// whatever the data: duplicates, points on a line, huge exponent ranges) and
// every leaf holds leaf_size / 2 to leaf_size points. Each node keeps the
// bounding box of its points; the search prunes on the distance to that box,
// which is exact (see search.hpp), so the split values only guide the
// descent of a query to its home leaf.
//
// The points of a leaf are stored together, axis by axis (all its first
// coordinates, then all its second, ...), each axis padded to a whole number
// of kernel lanes: a leaf is one contiguous block, read a few points at a
// time by the distance kernel. Positions ("slots") count through these
// blocks; `row_at(slot)` maps a slot back to the point's row.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "core/views.hpp"

namespace quarnel::knn {

// Most points per leaf (and queries per batch), measured for k = 16: 32 up
// to 5 dimensions (16 took 1.1x the time in 3-D, 64 1.1x in 4-D and 5-D),
// 64 above (32 took 1.1x in 6-D and 1.2x in 8-D, 16 twice the time in 8-D).
template <int D>
inline constexpr std::size_t leaf_size = D <= 5 ? 32 : 64;
// Lanes of the distance kernel.
inline constexpr std::size_t kernel_lanes = 4;

// Slots a leaf of `count` points takes on each axis.
constexpr std::size_t padded(std::size_t count) { return (count + kernel_lanes - 1) / kernel_lanes * kernel_lanes; }

template <int D>
struct Box {
    std::array<double, D> lo;
    std::array<double, D> hi;
};

// `Position` indexes points and nodes: 32 bits when the point count allows,
// which keeps the per-point tables small.
template <int D, class Position>
struct Node {
    Box<D> box;
    double split = 0;     // points left of the split have coordinate <= split
    Position begin = 0;   // a leaf's points are slots [begin, end)
    Position end = 0;
    Position right = 0;   // right child; the left child follows its parent; 0 in a leaf
    std::uint8_t axis = 0;

    bool is_leaf() const { return right == 0; }
};

template <int D, class Position>
class Tree {
public:
    using NodeType = Node<D, Position>;

    // Reads the rows of `x` (any strides); they must be finite.
    explicit Tree(const MatrixView<double>& x) {
        const std::size_t n = x.rows;
        std::vector<Item> items(n);
        for (std::size_t i = 0; i < n; ++i) {
            for (int j = 0; j < D; ++j) items[i].c[j] = x(i, static_cast<std::size_t>(j));
            items[i].row = static_cast<Position>(i);
        }
        if (n != 0) {
            nodes_.reserve(2 * (n / (leaf_size<D> / 2)) + 1);
            build(items, 0, n);
        }
        size_ = n;
        block_.assign(slots_ * D, 0.0);
        rows_.assign(slots_, 0);
        std::size_t item = 0;
        for (const Position l : leaves_) {
            const NodeType& leaf = nodes_[l];
            const std::size_t count = leaf.end - leaf.begin;
            double* block = block_.data() + leaf.begin * D;
            for (std::size_t i = 0; i < count; ++i, ++item) {
                for (int j = 0; j < D; ++j) block[j * padded(count) + i] = items[item].c[j];
                rows_[leaf.begin + i] = items[item].row;
            }
        }
    }

    std::size_t size() const { return size_; }
    const std::vector<NodeType>& nodes() const { return nodes_; }
    // Node indices of the leaves, in tree order.
    const std::vector<Position>& leaves() const { return leaves_; }
    // Coordinates on axis j of a leaf's points, padded to whole lanes.
    const double* leaf_axis(const NodeType& leaf, int j) const {
        return block_.data() + leaf.begin * D + static_cast<std::size_t>(j) * padded(leaf.end - leaf.begin);
    }
    const Position* rows() const { return rows_.data(); }
    std::uint64_t row_at(std::size_t slot) const { return rows_[slot]; }

    // The leaf a point descends to by the split values (the tree must not be
    // empty). Its box need not hold the point.
    std::size_t home_leaf(const double* q) const {
        std::size_t i = 0;
        while (!nodes_[i].is_leaf()) {
            const NodeType& node = nodes_[i];
            i = q[node.axis] <= node.split ? i + 1 : node.right;
        }
        return i;
    }

private:
    struct Item {
        double c[D];
        Position row;
    };

    // Recursion depth is the tree's depth: balanced, so at most about 40.
    void build(std::vector<Item>& items, std::size_t begin, std::size_t end) {
        const std::size_t self = nodes_.size();
        nodes_.emplace_back();
        Box<D> box;
        for (int j = 0; j < D; ++j) box.lo[j] = box.hi[j] = items[begin].c[j];
        for (std::size_t i = begin + 1; i < end; ++i) {
            for (int j = 0; j < D; ++j) {
                box.lo[j] = std::min(box.lo[j], items[i].c[j]);
                box.hi[j] = std::max(box.hi[j], items[i].c[j]);
            }
        }
        nodes_[self].box = box;
        if (end - begin <= leaf_size<D>) {
            nodes_[self].begin = static_cast<Position>(slots_);
            nodes_[self].end = static_cast<Position>(slots_ + (end - begin));
            slots_ += padded(end - begin);
            leaves_.push_back(static_cast<Position>(self));
            return;
        }
        int axis = 0;
        for (int j = 1; j < D; ++j)
            if (box.hi[j] - box.lo[j] > box.hi[axis] - box.lo[axis]) axis = j;
        const std::size_t mid = begin + (end - begin) / 2;
        std::nth_element(items.begin() + static_cast<std::ptrdiff_t>(begin),
                         items.begin() + static_cast<std::ptrdiff_t>(mid),
                         items.begin() + static_cast<std::ptrdiff_t>(end),
                         [axis](const Item& a, const Item& b) { return a.c[axis] < b.c[axis]; });
        double split = items[begin].c[axis];
        for (std::size_t i = begin + 1; i < mid; ++i) split = std::max(split, items[i].c[axis]);
        build(items, begin, mid);
        const std::size_t right = nodes_.size();
        build(items, mid, end);
        nodes_[self].split = split;
        nodes_[self].axis = static_cast<std::uint8_t>(axis);
        nodes_[self].right = static_cast<Position>(right);
    }

    std::vector<NodeType> nodes_;
    std::vector<Position> leaves_;
    std::size_t size_ = 0;
    std::size_t slots_ = 0;
    std::vector<double> block_;
    std::vector<Position> rows_;
};

}  // namespace quarnel::knn
