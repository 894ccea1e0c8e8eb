// What both k-d trees' searches (search.hpp and search_avx512.hpp: 2 to 8
// columns; wide.cpp: any number of columns) share: the walk of the tree for
// a batch of queries, and the grouping of query rows into batches.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "core/parallel.hpp"
#include "knn/neighbours.hpp"

namespace quarnel::knn {

// The walk of a tree for a batch of queries: nearest first, depth first.
// Of a node's two children the nearer (by `bound`, the batch's squared gap
// to a node's box) is walked first and the other waits on a stack, unless
// its bound exceeds the batch's reach (its largest worst row, or the wide
// search's widened reach): at most one sibling waits per level. A waiting
// node is dropped when, by the time it is taken, its bound exceeds the
// reach. The leaves are handed back one at a time:
//
//     NearestFirst walk(tree.nodes());
//     for (double reach = unbounded;;) {
//         const std::size_t leaf = walk.next_leaf(reach, bound);
//         if (leaf == walk.done) break;
//         ... search the leaf, reach = the batch's reach ...
//     }
//
// rather than visited through a callable: the AVX-512 leaf kernel is
// compiled for AVX-512 (search_avx512.hpp), and GCC will not inline a
// function compiled for a wider instruction set into this walk, which is
// compiled for the baseline and inlined into each kernel's entry point.
// `bound` must be a baseline callable for the same reason (BoxBound in
// search.hpp serves every kernel of the tree of 2 to 8 columns).
template <class Nodes>
class NearestFirst {
public:
    static constexpr std::size_t done = static_cast<std::size_t>(-1);

    [[gnu::always_inline]] explicit NearestFirst(const Nodes& nodes) : nodes_(nodes) { stack_[top_++] = {0, 0.0}; }

    // The next leaf (its node index) whose bound is within `reach`, or done.
    template <class Bound>
    [[gnu::always_inline]] std::size_t next_leaf(double reach, const Bound& bound) {
        while (top_ != 0) {
            const Pending next = stack_[--top_];
            if (next.bound > reach) continue;
            const auto& node = nodes_[next.node];
            if (node.is_leaf()) return next.node;
            const std::size_t left = next.node + 1, right = node.right;
            Pending near{left, bound(left)};
            Pending far{right, bound(right)};
            if (far.bound < near.bound) std::swap(near, far);
            if (far.bound <= reach) stack_[top_++] = far;
            if (near.bound <= reach) stack_[top_++] = near;
        }
        return done;
    }

private:
    struct Pending {
        std::size_t node;
        double bound;
    };

    const Nodes& nodes_;
    Pending stack_[2 * 64];
    std::size_t top_ = 0;
};

// Query rows grouped by the leaf they descend to, in runs of at most
// `batch_limit`: `order` lists query rows, batch b is
// order[start[b], start[b + 1]).
struct Batches {
    std::vector<std::size_t> order;
    std::vector<std::size_t> start;
};

// The batches of m queries, query i descending to node home_leaf(i) of a
// tree of `nodes` nodes. `Home` holds a node index (the narrower, the less
// memory the table of homes takes).
template <class Home, class HomeLeaf>
Batches group_by_home_leaf(std::size_t m, std::size_t nodes, std::size_t batch_limit, const HomeLeaf& home_leaf) {
    constexpr std::size_t query_grain = 512;
    std::vector<Home> home(m);
    parallel_for(m, [&](std::size_t i) { home[i] = static_cast<Home>(home_leaf(i)); }, query_grain);
    // Counting sort on the home leaf; query order is kept within a leaf.
    std::vector<std::size_t> first(nodes + 1, 0);
    for (std::size_t i = 0; i < m; ++i) ++first[home[i] + 1];
    for (std::size_t v = 1; v < first.size(); ++v) first[v] += first[v - 1];
    Batches b;
    b.order.resize(m);
    std::vector<std::size_t> fill(first.begin(), first.end() - 1);
    for (std::size_t i = 0; i < m; ++i) b.order[fill[home[i]]++] = i;
    for (std::size_t v = 0; v + 1 < first.size(); ++v)
        for (std::size_t s = first[v]; s < first[v + 1]; s += batch_limit) b.start.push_back(s);
    b.start.push_back(m);
    return b;
}

}  // namespace quarnel::knn
