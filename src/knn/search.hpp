// The search of a batch of nearby queries: one walk of the tree serves them
// all.
//
// The walk (walk.hpp) visits nodes nearest first and prunes a node when the
// distance from the batch's box to the node's box exceeds the worst row of
// the batch; in a leaf it prunes per query on the distance from the query to
// the leaf's box, and otherwise computes the query's distances to the leaf's
// points four at a time.
//
// Pruning is exact: a lower bound is computed like a distance (squares of
// differences summed in coordinate order), from differences that are never
// larger in magnitude than those to any point inside the box. Rounding is
// monotonic, so the bound never exceeds the computed distance of any point in
// the box, and a node is dropped only when its bound is strictly above the
// worst kept distance (a point at exactly that distance may still enter
// with a smaller row index).
//
// Everything here is inlined into the two entry points at the end, one
// compiled for AVX2 and one for the baseline instruction set; both do the
// same IEEE operations in the same order (no FMA in either). A third kernel,
// for AVX-512, is in search_avx512.hpp.
#pragma once

#include <algorithm>
#include <cstring>
#include <utility>

#include "knn/neighbours.hpp"
#include "knn/tree.hpp"
#include "knn/walk.hpp"

namespace quarnel::knn {

// Lanes of the AVX2 and baseline kernels.
inline constexpr std::size_t kernel_lanes = 4;

// Squared distance between two boxes (0 where they overlap). On each axis
// at most one of the two differences is positive, and it is the gap.
template <int D>
[[gnu::always_inline]] inline double box_gap(const Box<D>& a, const Box<D>& b) {
    double sum = 0.0;
    for (int j = 0; j < D; ++j) {
        const double t = std::max(std::max(b.lo[j] - a.hi[j], a.lo[j] - b.hi[j]), 0.0);
        sum += t * t;
    }
    return sum;
}

// The walk's bound on node i: box_gap from the batch's box to the node's.
template <int D, class Position>
struct BoxBound {
    const std::vector<Node<D, Position>>& nodes;
    const Box<D>& box;

    [[gnu::always_inline]] double operator()(std::size_t i) const { return box_gap<D>(box, nodes[i].box); }
};

typedef double Lanes __attribute__((vector_size(kernel_lanes * sizeof(double))));
typedef std::int64_t LaneMask __attribute__((vector_size(kernel_lanes * sizeof(double))));

// Vectors are handed around through memory, never as arguments or results:
// the baseline build has no 256-bit registers to pass them in.
[[gnu::always_inline]] inline void load(Lanes& v, const double* p) { std::memcpy(&v, p, sizeof v); }


// Offers the points of a leaf to row q of `rows`. Each lane sums its own
// point's squares in coordinate order from +0.0, exactly as a scalar loop
// would; lanes past the leaf's last point read padding and are never offered.
//
// All distances are computed first, with their lane-wise minimum: most
// leaves a query scans hold no point within its worst row (nine in ten in
// 8-D), and one test then drops the leaf, where a test per four points costs
// a mask extraction and a branch each. The offers that follow test each
// point against the worst row of the moment, as they would without the
// first pass (the worst row only ever shrinks).
template <int D, class Position, class Rows>
[[gnu::always_inline]] inline void scan_leaf(const Tree<D, Position>& tree, const double* q,
                                             const Node<D, Position>& leaf, std::size_t query, Rows& rows) {
    Lanes qv[D];
    for (int j = 0; j < D; ++j) qv[j] = Lanes{} + q[j];
    const std::size_t count = leaf.end - leaf.begin;
    const double* x0 = tree.leaf_axis(leaf, 0);
    const std::size_t stride = padded(count);
    Lanes sums[leaf_size<D> / kernel_lanes];
    Lanes least = Lanes{} + unbounded;
    for (std::size_t i = 0; i < count; i += kernel_lanes) {
        Lanes sum = {};
        for (int j = 0; j < D; ++j) {
            Lanes x;
            load(x, x0 + j * stride + i);
            const Lanes diff = qv[j] - x;
            sum = sum + diff * diff;
        }
        sums[i / kernel_lanes] = sum;
        least = least < sum ? least : sum;
    }
    const double worst = rows.worst(query);
    if (!(least[0] <= worst || least[1] <= worst || least[2] <= worst || least[3] <= worst)) return;
    const Position* row_of = tree.rows() + leaf.begin;
    for (std::size_t i = 0; i < count; i += kernel_lanes) {
        const Lanes sum = sums[i / kernel_lanes];
        const LaneMask near = sum <= (Lanes{} + rows.worst(query));
        if (!(near[0] | near[1] | near[2] | near[3])) continue;
        const std::size_t lanes = count - i < kernel_lanes ? count - i : kernel_lanes;
        for (std::size_t l = 0; l < lanes; ++l)
            if (sum[l] <= rows.worst(query)) rows.offer(query, sum[l], row_of[i + l]);
    }
}

// Batches hold up to batch_size<D> queries, axis by axis: coordinate j of
// query q is at [j * batch_size<D> + q]. Unused slots must hold finite values.
template <int D>
inline constexpr std::size_t batch_size = leaf_size<D>;

// Scans a leaf for every query of the batch whose distance to the leaf's box
// (computed four queries at a time, like box_gap) is within its worst row.
template <int D, class Position, class Rows>
[[gnu::always_inline]] inline void visit_leaf(const Tree<D, Position>& tree, const double* queries,
                                              std::size_t count, const Node<D, Position>& leaf, Rows& rows) {
    for (std::size_t q0 = 0; q0 < count; q0 += kernel_lanes) {
        Lanes sum = {};
        for (int j = 0; j < D; ++j) {
            Lanes x;
            load(x, queries + j * batch_size<D> + q0);
            const Lanes below = (Lanes{} + leaf.box.lo[j]) - x;
            const Lanes above = x - leaf.box.hi[j];
            Lanes t = below > above ? below : above;
            t = t > 0.0 ? t : Lanes{};
            sum = sum + t * t;
        }
        Lanes worst;
        load(worst, rows.worsts() + q0);
        const LaneMask near = sum <= worst;
        if (!(near[0] | near[1] | near[2] | near[3])) continue;
        for (std::size_t l = 0; l < kernel_lanes; ++l) {
            if (!near[l]) continue;
            double point[D];
            for (int j = 0; j < D; ++j) point[j] = queries[j * batch_size<D> + q0 + l];
            scan_leaf<D>(tree, point, leaf, q0 + l, rows);
        }
    }
}

// The largest worst row of the batch.
template <class Rows>
[[gnu::always_inline]] inline double batch_reach(std::size_t count, const Rows& rows) {
    Lanes m = Lanes{} - unbounded;
    for (std::size_t q0 = 0; q0 < count; q0 += kernel_lanes) {
        Lanes w;
        load(w, rows.worsts() + q0);
        m = m > w ? m : w;
    }
    return std::max(std::max(m[0], m[1]), std::max(m[2], m[3]));
}

// Fills `rows` (reset for `count` queries) with the nearest points of the
// tree to each query of the batch; `box` holds them all.
template <int D, class Position, class Rows>
[[gnu::always_inline]] inline void search_batch(const Tree<D, Position>& tree, const double* queries,
                                                std::size_t count, const Box<D>& box, Rows& rows) {
    NearestFirst walk(tree.nodes());
    const BoxBound<D, Position> bound{tree.nodes(), box};
    for (double reach = unbounded;;) {  // the worst row of the batch
        const std::size_t leaf = walk.next_leaf(reach, bound);
        if (leaf == walk.done) break;
        visit_leaf<D>(tree, queries, count, tree.nodes()[leaf], rows);
        reach = batch_reach(count, rows);
    }
}

template <int D, class Position, class Rows>
__attribute__((target("avx2"))) void search_batch_avx2(const Tree<D, Position>& tree, const double* queries,
                                                       std::size_t count, const Box<D>& box, Rows& rows) {
    search_batch<D>(tree, queries, count, box, rows);
}

template <int D, class Position, class Rows>
void search_batch_baseline(const Tree<D, Position>& tree, const double* queries, std::size_t count,
                           const Box<D>& box, Rows& rows) {
    search_batch<D>(tree, queries, count, box, rows);
}

}  // namespace quarnel::knn
