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

#include "core/buffer.hpp"
#include "core/parallel.hpp"
#include "core/views.hpp"

namespace quarnel::knn {

// Most points per leaf (and queries per batch), measured for k = 16: 32 up
// to 5 dimensions (16 took 1.1x the time in 3-D, 64 1.1x in 4-D and 5-D),
// 64 in 6-D (32 took 1.1x, 128 the same, 256 1.2x), 128 in 7-D and 8-D (64
// took 1.15x in 7-D and 1.2x in 8-D, 256 the same as 128 in 8-D, 32 1.5x).
template <int D>
inline constexpr std::size_t leaf_size = D <= 5 ? 32 : D == 6 ? 64 : 128;
// Lanes of the widest distance kernel (AVX-512: eight doubles); the
// narrower kernels read a padded axis four lanes at a time.
inline constexpr std::size_t leaf_lanes = 8;

// Slots a leaf of `count` points takes on each axis.
constexpr std::size_t padded(std::size_t count) { return (count + leaf_lanes - 1) / leaf_lanes * leaf_lanes; }

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
    explicit Tree(const MatrixView<double>& x) : size_(x.rows) {
        const std::size_t n = x.rows;
        if (n == 0) return;
        Buffer<Item> items(n);
        parallel_for(
            n,
            [&](std::size_t i) {
                for (int j = 0; j < D; ++j) items[i].c[j] = x(i, static_cast<std::size_t>(j));
                items[i].row = static_cast<Position>(i);
            },
            copy_grain);
        const Shape whole = shapes(n)[0];
        nodes_.resize(whole.nodes);
        leaves_.resize(whole.leaves);
        block_ = Buffer<double>(whole.slots * D);
        rows_ = Buffer<Position>(whole.slots);
        build(items.data(), n);
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

    static constexpr std::size_t copy_grain = 4096;
    // Subtrees built side by side once the top levels are split.
    static constexpr std::size_t parallel_subtrees = 32;

    // Nodes, leaves and slots of a subtree. They depend on its point count
    // only: a subtree of m points is a leaf up to leaf_size<D> points, and
    // otherwise has subtrees of m / 2 and m - m / 2 points.
    struct Shape {
        std::size_t nodes;
        std::size_t leaves;
        std::size_t slots;
    };

    // The shapes of subtrees of m and m + 1 points, whose halves all have
    // m / 2 or m / 2 + 1 points: one recursion per level, not one per node.
    static std::array<Shape, 2> shapes(std::size_t m) {
        const auto leaf = [](std::size_t count) { return Shape{1, 1, padded(count)}; };
        if (m + 1 <= leaf_size<D>) return {leaf(m), leaf(m + 1)};
        const std::size_t h = m / 2;
        const std::array<Shape, 2> half = shapes(h);
        const auto of = [&](std::size_t count) {
            if (count <= leaf_size<D>) return leaf(count);
            const Shape& a = half[count / 2 - h];
            const Shape& b = half[count - count / 2 - h];
            return Shape{1 + a.nodes + b.nodes, a.leaves + b.leaves, a.slots + b.slots};
        };
        return {of(m), of(m + 1)};
    }

    // Where a subtree goes: its points are items [begin, end), its root is
    // node `node` (nodes are numbered depth first, left before right), its
    // leaves start at leaves_[leaf] and its points at slot `slot`. The shape
    // of a left subtree places its right sibling, so subtrees can be built
    // in any order, and in parallel, into the same tree.
    struct Subtree {
        std::size_t begin, end, node, leaf, slot;
    };

    // The top levels one level at a time, the nodes of a level in parallel,
    // until there are enough subtrees to share out; then whole subtrees in
    // parallel.
    void build(Item* items, std::size_t n) {
        std::vector<Subtree> level{{0, n, 0, 0, 0}};
        while (!level.empty() && level.size() < parallel_subtrees) {
            std::vector<std::array<Subtree, 2>> children(level.size());
            std::vector<char> split(level.size());
            parallel_for(
                level.size(), [&](std::size_t i) { split[i] = make_node(items, level[i], children[i]); }, 1);
            std::vector<Subtree> next;
            for (std::size_t i = 0; i < level.size(); ++i)
                if (split[i]) next.insert(next.end(), children[i].begin(), children[i].end());
            level = std::move(next);
        }
        parallel_for(level.size(), [&](std::size_t i) { build_subtree(items, level[i]); }, 1);
    }

    // Recursion depth is the tree's depth: balanced, so at most about 40.
    void build_subtree(Item* items, const Subtree& t) {
        std::array<Subtree, 2> children;
        if (!make_node(items, t, children)) return;
        build_subtree(items, children[0]);
        build_subtree(items, children[1]);
    }

    // Makes the root node of `t`. A leaf is laid out at once (false);
    // otherwise the points are split at the median of the axis of widest
    // spread and `children` receives the two halves (true).
    bool make_node(Item* items, const Subtree& t, std::array<Subtree, 2>& children) {
        NodeType& node = nodes_[t.node];
        Box<D> box;
        for (int j = 0; j < D; ++j) box.lo[j] = box.hi[j] = items[t.begin].c[j];
        for (std::size_t i = t.begin + 1; i < t.end; ++i) {
            for (int j = 0; j < D; ++j) {
                box.lo[j] = std::min(box.lo[j], items[i].c[j]);
                box.hi[j] = std::max(box.hi[j], items[i].c[j]);
            }
        }
        node.box = box;
        const std::size_t count = t.end - t.begin;
        if (count <= leaf_size<D>) {
            node.begin = static_cast<Position>(t.slot);
            node.end = static_cast<Position>(t.slot + count);
            leaves_[t.leaf] = static_cast<Position>(t.node);
            lay_out_leaf(items + t.begin, count, t.slot);
            return false;
        }
        int axis = 0;
        for (int j = 1; j < D; ++j)
            if (box.hi[j] - box.lo[j] > box.hi[axis] - box.lo[axis]) axis = j;
        const std::size_t mid = t.begin + count / 2;
        std::nth_element(items + t.begin, items + mid, items + t.end,
                         [axis](const Item& a, const Item& b) { return a.c[axis] < b.c[axis]; });
        double split = items[t.begin].c[axis];
        for (std::size_t i = t.begin + 1; i < mid; ++i) split = std::max(split, items[i].c[axis]);
        const Shape left = shapes(mid - t.begin)[0];
        children[0] = {t.begin, mid, t.node + 1, t.leaf, t.slot};
        children[1] = {mid, t.end, t.node + 1 + left.nodes, t.leaf + left.leaves, t.slot + left.slots};
        node.split = split;
        node.axis = static_cast<std::uint8_t>(axis);
        node.right = static_cast<Position>(children[1].node);
        return true;
    }

    // A leaf's points as one block from `slot`, axis by axis; the padding
    // of each axis holds zeros (finite, never offered).
    void lay_out_leaf(const Item* items, std::size_t count, std::size_t slot) {
        const std::size_t stride = padded(count);
        double* block = block_.data() + slot * D;
        for (int j = 0; j < D; ++j) {
            for (std::size_t i = 0; i < count; ++i) block[j * stride + i] = items[i].c[j];
            std::fill(block + j * stride + count, block + (j + 1) * stride, 0.0);
        }
        for (std::size_t i = 0; i < count; ++i) rows_[slot + i] = items[i].row;
        std::fill(rows_.data() + slot + count, rows_.data() + slot + stride, Position{0});
    }

    std::vector<NodeType> nodes_;
    std::vector<Position> leaves_;
    std::size_t size_ = 0;
    Buffer<double> block_;
    Buffer<Position> rows_;
};

}  // namespace quarnel::knn
