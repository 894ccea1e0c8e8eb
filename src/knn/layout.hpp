// The layout shared by both k-d trees (tree.hpp: 2 to 8 columns; wide_tree.hpp:
// any number of columns, on principal axes): where each subtree's nodes,
// leaves and points go, and the order in which subtrees are built.
//
// A subtree of m points is a leaf up to the tree's leaf size, and otherwise
// has subtrees of m / 2 and m - m / 2 points. Its nodes, leaves and slots
// (a leaf's points padded to whole kernel lanes) therefore depend on m
// alone: a left subtree's shape places its right sibling, so subtrees can be
// built in any order, and in parallel, into the same tree. Nodes are
// numbered depth first, left before right; leaves and slots in tree order.
#pragma once

#include <array>
#include <cstddef>
#include <utility>
#include <vector>

#include "core/parallel.hpp"

namespace quarnel::knn {

// `count` points padded to a whole number of kernel lanes.
template <std::size_t Lanes>
constexpr std::size_t padded_to(std::size_t count) {
    return (count + Lanes - 1) / Lanes * Lanes;
}

// Nodes, leaves and slots of a subtree.
struct Shape {
    std::size_t nodes;
    std::size_t leaves;
    std::size_t slots;
};

// The shapes of subtrees of m and m + 1 points, whose halves all have
// m / 2 or m / 2 + 1 points: one recursion per level, not one per node.
template <std::size_t Lanes>
std::array<Shape, 2> shapes(std::size_t m, std::size_t leaf_size) {
    const auto leaf = [](std::size_t count) { return Shape{1, 1, padded_to<Lanes>(count)}; };
    if (m + 1 <= leaf_size) return {leaf(m), leaf(m + 1)};
    const std::size_t h = m / 2;
    const std::array<Shape, 2> half = shapes<Lanes>(h, leaf_size);
    const auto of = [&](std::size_t count) {
        if (count <= leaf_size) return leaf(count);
        const Shape& a = half[count / 2 - h];
        const Shape& b = half[count - count / 2 - h];
        return Shape{1 + a.nodes + b.nodes, a.leaves + b.leaves, a.slots + b.slots};
    };
    return {of(m), of(m + 1)};
}

// Where a subtree goes: its points are [begin, end) of the build's working
// order, its root is node `node`, its leaves start at leaf `leaf` and its
// points at slot `slot`. A tree's subtree record adds what its build needs.
struct Place {
    std::size_t begin, end, node, leaf, slot;
};

// The places of the two halves of `t` (of more than leaf_size points), split
// at `mid`, the first point of the right half.
template <std::size_t Lanes>
std::array<Place, 2> halves(const Place& t, std::size_t mid, std::size_t leaf_size) {
    const Shape left = shapes<Lanes>(mid - t.begin, leaf_size)[0];
    return {Place{t.begin, mid, t.node + 1, t.leaf, t.slot},
            Place{mid, t.end, t.node + 1 + left.nodes, t.leaf + left.leaves, t.slot + left.slots}};
}

// Recursion depth is the tree's depth: balanced, so at most about 40.
template <class Subtree, class MakeNode>
void build_subtree(const Subtree& t, const MakeNode& make_node) {
    std::array<Subtree, 2> children;
    if (!make_node(t, children)) return;
    build_subtree(children[0], make_node);
    build_subtree(children[1], make_node);
}

// Builds the tree under `root`: the top levels one level at a time, until
// there are `parallel_subtrees` subtrees to share out; then whole subtrees
// in parallel. make_level(level, children, split) makes the root node of
// each subtree of a level (the tree decides how the pool shares them):
// split[i] is whether level[i] was split, into children[i]. make_node(t,
// children) makes the root node of t the same way, returning whether it
// was split.
template <class Subtree, class MakeLevel, class MakeNode>
void build_by_levels(const Subtree& root, std::size_t parallel_subtrees, const MakeLevel& make_level,
                     const MakeNode& make_node) {
    std::vector<Subtree> level{root};
    while (!level.empty() && level.size() < parallel_subtrees) {
        std::vector<std::array<Subtree, 2>> children(level.size());
        std::vector<char> split(level.size());
        make_level(level, children, split);
        std::vector<Subtree> next;
        for (std::size_t i = 0; i < level.size(); ++i)
            if (split[i]) next.insert(next.end(), children[i].begin(), children[i].end());
        level = std::move(next);
    }
    parallel_for(level.size(), [&](std::size_t i) { build_subtree(level[i], make_node); }, 1);
}

}  // namespace quarnel::knn
