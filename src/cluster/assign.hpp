// Cluster labels from a centre list and a density graph.
#pragma once

#include <cstdint>
#include <vector>

#include "core/index_lists.hpp"
#include "core/views.hpp"

namespace quarnel::cluster {

// Labels of n points: the centre at position c labels itself and every point
// reached below it through the density graph with c; a later centre
// overwrites an earlier one; -1 where no centre reaches. Stops with a slice
// failure for a centre or reached point not below n (len n) or without a
// list of its own (len = number of lists).
//
// Each walk marks the points it has labelled, so a point reached along
// several paths below one centre is expanded once and a graph with a cycle
// still ends (a point then carries the last centre that reaches it); on a
// graph without cycles the labels and the first failure are those of an
// unmarked depth-first walk that pushes each list in order. With enough
// points the walks are shared out between the pool's threads; the labels are
// the same, and any bad index sends the labelling back to the ordered walks.
std::vector<std::int64_t> assign_cluster(Slice<std::int64_t> idx_centers, std::size_t n,
                                         const IndexLists& density_graph);

}  // namespace quarnel::cluster
