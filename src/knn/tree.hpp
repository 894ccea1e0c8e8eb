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
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <utility>
#include <vector>

#include "core/buffer.hpp"
#include "core/parallel.hpp"
#include "core/views.hpp"
#include "knn/layout.hpp"

namespace quarnel::knn {

// Most points per leaf (and queries per batch): in each dimension the
// fastest of the powers of two from 16 to 256 for k = 16.
template <int D>
inline constexpr std::size_t leaf_size = D <= 5 ? 32 : D == 6 ? 64 : 128;
// Lanes of the widest distance kernel (AVX-512: eight doubles); the
// narrower kernels read a padded axis four lanes at a time.
inline constexpr std::size_t leaf_lanes = 8;

// Slots a leaf of `count` points takes on each axis.
constexpr std::size_t padded(std::size_t count) { return padded_to<leaf_lanes>(count); }

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

    // Memory the build may use for its two working copies of the points
    // instead of allocating them: two blocks of `bytes` each, aligned to 64
    // bytes, that the caller overwrites afterwards (the output tables, whose
    // fresh pages the kernel then zeroes once instead of twice).
    struct Scratch {
        void* first = nullptr;
        void* second = nullptr;
        std::size_t bytes = 0;
    };

    // Reads the rows of `x` (any strides); they must be finite.
    explicit Tree(const MatrixView<double>& x, Scratch scratch = {}) : size_(x.rows) {
        const std::size_t n = x.rows;
        if (n == 0) return;
        const bool borrowed = scratch.bytes / sizeof(Item) >= n;
        Buffer<Item> own_items(borrowed ? 0 : n);
        Item* const items = borrowed ? static_cast<Item*>(scratch.first) : own_items.data();
        // The root's box comes with the copy, chunk by chunk: the chunks are
        // fixed by n alone, and min and max do not depend on their order.
        const std::size_t chunks = (n + copy_grain - 1) / copy_grain;
        std::vector<Box<D>> boxes(chunks);
        parallel_for(
            chunks,
            [&](std::size_t c) {
                Box<D> box = empty_box();
                for (std::size_t i = c * copy_grain; i < std::min(n, (c + 1) * copy_grain); ++i) {
                    for (int j = 0; j < D; ++j) {
                        const double v = x(i, static_cast<std::size_t>(j));
                        items[i].c[j] = v;
                        box.lo[j] = std::min(box.lo[j], v);
                        box.hi[j] = std::max(box.hi[j], v);
                    }
                    items[i].row = static_cast<Position>(i);
                }
                boxes[c] = box;
            },
            1);
        Box<D> box = empty_box();
        for (const Box<D>& b : boxes) box = merge(box, b);
        // The other half of the bucket splits' ping-pong (see split_by_buckets).
        Buffer<Item> own_spare(borrowed || n < bucket_split_min ? 0 : n);
        Item* const spare = borrowed ? static_cast<Item*>(scratch.second) : own_spare.data();
        const Shape whole = shapes<leaf_lanes>(n, leaf_size<D>)[0];
        nodes_.resize(whole.nodes);
        leaves_.resize(whole.leaves);
        block_ = Buffer<double>(whole.slots * D);
        rows_ = Buffer<Position>(whole.slots);
        build(items, spare, n, box);
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
    // Nodes of at least this many points are split by buckets (see
    // split_by_buckets), smaller ones by std::nth_element alone.
    static constexpr std::size_t bucket_split_min = 64;
    static constexpr std::size_t max_buckets = 2048;
    // Nodes of at least this many points are split by the whole pool when
    // their level has fewer nodes than it has threads (the root, with
    // two), in this many chunks.
    static constexpr std::size_t wide_node_min = std::size_t{1} << 16;
    static constexpr std::size_t wide_chunks = 64;

    static Box<D> empty_box() {
        Box<D> box;
        box.lo.fill(std::numeric_limits<double>::infinity());
        box.hi.fill(-std::numeric_limits<double>::infinity());
        return box;
    }
    static Box<D> merge(Box<D> a, const Box<D>& b) {
        for (int j = 0; j < D; ++j) {
            a.lo[j] = std::min(a.lo[j], b.lo[j]);
            a.hi[j] = std::max(a.hi[j], b.hi[j]);
        }
        return a;
    }
    // Two coordinates at a time (SSE2, which every x86-64 has): the
    // compiler keeps the scalar loop scalar.
    typedef double Pair __attribute__((vector_size(16)));
    static Box<D> box_of(const Item* begin, const Item* end) {
        constexpr int pairs = D / 2;
        Pair lo[pairs > 0 ? pairs : 1], hi[pairs > 0 ? pairs : 1];
        for (int h = 0; h < pairs; ++h) {
            lo[h] = Pair{} + std::numeric_limits<double>::infinity();
            hi[h] = Pair{} - std::numeric_limits<double>::infinity();
        }
        double odd_lo = std::numeric_limits<double>::infinity(), odd_hi = -odd_lo;
        for (const Item* p = begin; p != end; ++p) {
            for (int h = 0; h < pairs; ++h) {
                Pair v;
                std::memcpy(&v, p->c + 2 * h, sizeof v);
                lo[h] = v < lo[h] ? v : lo[h];
                hi[h] = v > hi[h] ? v : hi[h];
            }
            if constexpr (D % 2 == 1) {
                odd_lo = std::min(odd_lo, p->c[D - 1]);
                odd_hi = std::max(odd_hi, p->c[D - 1]);
            }
        }
        Box<D> box;
        for (int h = 0; h < pairs; ++h) {
            box.lo[2 * h] = lo[h][0];
            box.lo[2 * h + 1] = lo[h][1];
            box.hi[2 * h] = hi[h][0];
            box.hi[2 * h + 1] = hi[h][1];
        }
        if constexpr (D % 2 == 1) {
            box.lo[D - 1] = odd_lo;
            box.hi[D - 1] = odd_hi;
        }
        return box;
    }

    // A subtree's place (layout.hpp). Its points lie in the spare buffer or
    // the first, at the same positions either way, and `box` is their
    // bounding box.
    struct Subtree : Place {
        Box<D> box;
        bool spare;
    };

    // The levels with fewer nodes than the pool has threads (the root, with
    // two) one node at a time, each split by the whole pool; the others a
    // node per thread.
    void build(Item* items, Item* spare, std::size_t n, const Box<D>& box) {
        Item* const buffers[2] = {items, spare};
        build_by_levels(
            Subtree{{0, n, 0, 0, 0}, box, false}, parallel_subtrees,
            [&](const std::vector<Subtree>& level, std::vector<std::array<Subtree, 2>>& children,
                std::vector<char>& split) {
                if (level.size() < pool_size()) {
                    for (std::size_t i = 0; i < level.size(); ++i)
                        split[i] = make_wide_node(buffers, level[i], children[i]);
                } else {
                    parallel_for(
                        level.size(), [&](std::size_t i) { split[i] = make_node(buffers, level[i], children[i]); },
                        1);
                }
            },
            [&](const Subtree& t, std::array<Subtree, 2>& children) { return make_node(buffers, t, children); });
    }

    // Makes the root node of `t`. A leaf is laid out at once (false);
    // otherwise the points are split at the median of the axis of widest
    // spread and `children` receives the two halves with their boxes (true):
    // a node's box comes from its parent, which has the points at hand.
    bool make_node(Item* const* buffers, const Subtree& t, std::array<Subtree, 2>& children) {
        NodeType& node = nodes_[t.node];
        node.box = t.box;
        Item* items = buffers[t.spare];
        const std::size_t count = t.end - t.begin;
        if (count <= leaf_size<D>) {
            node.begin = static_cast<Position>(t.slot);
            node.end = static_cast<Position>(t.slot + count);
            leaves_[t.leaf] = static_cast<Position>(t.node);
            lay_out_leaf(items + t.begin, count, t.slot);
            return false;
        }
        const int axis = widest_axis(t.box);
        const std::size_t mid = t.begin + count / 2;
        const bool moved = count >= bucket_split_min &&
                           split_by_buckets(items + t.begin, buffers[!t.spare] + t.begin, count, count / 2, axis,
                                            t.box.lo[axis], t.box.hi[axis]);
        if (!moved) std::nth_element(items + t.begin, items + mid, items + t.end, by_axis(axis));
        const bool spare = t.spare != moved;
        const Item* held = buffers[spare];
        set_split(t, axis, spare, box_of(held + t.begin, held + mid), box_of(held + mid, held + t.end), children);
        return true;
    }

    static int widest_axis(const Box<D>& box) {
        int axis = 0;
        for (int j = 1; j < D; ++j)
            if (box.hi[j] - box.lo[j] > box.hi[axis] - box.lo[axis]) axis = j;
        return axis;
    }
    static auto by_axis(int axis) {
        return [axis](const Item& a, const Item& b) { return a.c[axis] < b.c[axis]; };
    }

    // The node of `t`, split at its middle on `axis`, and its two halves,
    // whose points are in the spare buffer or not and have these boxes.
    void set_split(const Subtree& t, int axis, bool spare, const Box<D>& left_box, const Box<D>& right_box,
                   std::array<Subtree, 2>& children) {
        NodeType& node = nodes_[t.node];
        const auto [left, right] = halves<leaf_lanes>(t, t.begin + (t.end - t.begin) / 2, leaf_size<D>);
        children[0] = {left, left_box, spare};
        children[1] = {right, right_box, spare};
        node.split = left_box.hi[axis];
        node.axis = static_cast<std::uint8_t>(axis);
        node.right = static_cast<Position>(children[1].node);
    }

    // Buckets of equal width along an axis spanning [lo, hi], for `count`
    // points: about eight a bucket, at most max_buckets. None (size 0) when
    // the spread is zero or so small (subnormal) that its inverse overflows.
    struct Buckets {
        std::size_t size = 0;
        double lo = 0, scale = 0, last = 0;

        Buckets(std::size_t count, double lo_, double hi) : lo(lo_) {
            const std::size_t want = std::min(max_buckets, std::bit_floor(count / 8));
            scale = static_cast<double>(want) / (hi - lo);
            last = static_cast<double>(want - 1);
            if (scale < std::numeric_limits<double>::infinity()) size = want;
        }
        // Monotonic in v (each operation rounds monotonically), so a bucket
        // never holds a point larger than one of the next bucket.
        std::size_t operator()(double v) const {
            const double f = (v - lo) * scale;
            return static_cast<std::size_t>(static_cast<std::int64_t>(f < last ? f : last));
        }
    };

    // The bucket holding the point of rank `nth` among `counts`: m, with
    // `below` points in the buckets before it.
    static std::pair<std::size_t, std::size_t> median_bucket(const std::size_t* counts, std::size_t size,
                                                             std::size_t nth) {
        std::size_t m = 0, below = 0;
        while (m + 1 < size && below + counts[m] <= nth) below += counts[m++];  // ends below the last
        return {m, below};
    }

    // Moves points to out[0], out[1] or out[2] (advancing it) as their
    // bucket is below, equal to or above m, keeping their order.
    static void scatter(const Item* from, std::size_t count, int axis, const Buckets& bucket, std::size_t m,
                        Item* (&out)[3]) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t b = bucket(from[i].c[axis]);
            *out[(b >= m) + (b > m)]++ = from[i];
        }
    }

    // Moves the `count` points `from` to `to`, ordered so that the point
    // std::nth_element would put at `nth` (by coordinate `axis`, which spans
    // [lo, hi]) is there, none after it smaller, none before it larger.
    // Two passes: the points are counted into buckets of equal width along
    // the axis, then moved below, into or above the median's bucket, and
    // only that bucket (a few points on spread-out data) is left to
    // std::nth_element. Returns false, moving nothing, when the buckets
    // would not separate the points.
    static bool split_by_buckets(const Item* from, Item* to, std::size_t count, std::size_t nth, int axis,
                                 double lo, double hi) {
        const Buckets bucket(count, lo, hi);
        if (bucket.size == 0) return false;
        std::size_t counts[max_buckets];  // only the first bucket.size are used
        std::fill_n(counts, bucket.size, std::size_t{0});
        for (std::size_t i = 0; i < count; ++i) ++counts[bucket(from[i].c[axis])];
        const auto [m, below] = median_bucket(counts, bucket.size, nth);
        const std::size_t within = counts[m];
        if (within == count) return false;
        Item* out[3] = {to, to + below, to + below + within};
        scatter(from, count, axis, bucket, m, out);
        std::nth_element(to + below, to + nth, to + below + within, by_axis(axis));
        return true;
    }

    // make_node for a node the pool shares (fewer nodes than threads on its
    // level): split_by_buckets's passes and the boxes go chunk by chunk in
    // parallel. The points land where split_by_buckets puts them (each
    // chunk's take of a bucket range follows the chunks before it), so the
    // tree is the same.
    bool make_wide_node(Item* const* buffers, const Subtree& t, std::array<Subtree, 2>& children) {
        const std::size_t count = t.end - t.begin;
        const int axis = widest_axis(t.box);
        const Buckets bucket(count, t.box.lo[axis], t.box.hi[axis]);
        if (count < wide_node_min || bucket.size == 0) return make_node(buffers, t, children);
        const Item* from = buffers[t.spare] + t.begin;
        Item* to = buffers[!t.spare] + t.begin;
        const auto chunk = [count](std::size_t c) { return count / wide_chunks * c + std::min(c, count % wide_chunks); };
        std::vector<std::size_t> counts(wide_chunks * bucket.size, 0);
        parallel_for(
            wide_chunks,
            [&](std::size_t c) {
                std::size_t* mine = counts.data() + c * bucket.size;
                for (std::size_t i = chunk(c); i < chunk(c + 1); ++i) ++mine[bucket(from[i].c[axis])];
            },
            1);
        std::vector<std::size_t> total(bucket.size, 0);
        for (std::size_t c = 0; c < wide_chunks; ++c)
            for (std::size_t b = 0; b < bucket.size; ++b) total[b] += counts[c * bucket.size + b];
        const std::size_t nth = count / 2;
        const auto [m, below] = median_bucket(total.data(), bucket.size, nth);
        const std::size_t within = total[m];
        if (within == count) return make_node(buffers, t, children);
        std::vector<std::array<Item*, 3>> outs(wide_chunks);
        Item* next[3] = {to, to + below, to + below + within};
        for (std::size_t c = 0; c < wide_chunks; ++c) {
            const std::size_t* mine = counts.data() + c * bucket.size;
            const std::size_t lower = std::accumulate(mine, mine + m, std::size_t{0});
            const std::size_t at = mine[m];
            outs[c] = {next[0], next[1], next[2]};
            next[0] += lower;
            next[1] += at;
            next[2] += chunk(c + 1) - chunk(c) - lower - at;
        }
        parallel_for(
            wide_chunks,
            [&](std::size_t c) {
                Item* out[3] = {outs[c][0], outs[c][1], outs[c][2]};
                scatter(from + chunk(c), chunk(c + 1) - chunk(c), axis, bucket, m, out);
            },
            1);
        std::nth_element(to + below, to + nth, to + below + within, by_axis(axis));
        std::vector<std::array<Box<D>, 2>> halves(wide_chunks);
        parallel_for(
            wide_chunks,
            [&](std::size_t c) {
                const std::size_t b = chunk(c), e = chunk(c + 1);
                halves[c] = {box_of(to + b, to + std::max(b, std::min(e, nth))),
                             box_of(to + std::min(e, std::max(b, nth)), to + e)};
            },
            1);
        Box<D> left = empty_box(), right = empty_box();
        for (const auto& h : halves) {
            left = merge(left, h[0]);
            right = merge(right, h[1]);
        }
        nodes_[t.node].box = t.box;
        set_split(t, axis, !t.spare, left, right, children);
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
