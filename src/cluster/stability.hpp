// Removal of false cluster centres: a centre whose neighbourhood above
// rho[centre] - threshold meets a cluster with a strictly denser centre is
// hung below the densest such centre.
#pragma once

#include <cstdint>
#include <vector>

#include "core/index_lists.hpp"
#include "core/views.hpp"

namespace quarnel::cluster {

// Below this threshold a centre's neighbourhood is simply its listed
// neighbours from column 1 on, without a density test.
inline constexpr double threshold_floor = 0.001;

// The read-only inputs of a check, shared by all its centres.
struct StabilityInputs {
    MatrixView<double> x;  // read for the delta of removed centres
    Slice<double> rho;     // n = rho.size()
    MatrixView<std::int64_t> nn_list;
    double threshold;
    std::size_t s;  // columns of nn_list read per row, at most its column count
};

// nn_delta, delta and density graph as updated by removals.
struct ClusterGraph {
    std::vector<std::int64_t> nn_delta;
    std::vector<double> delta;
    IndexLists density_graph;
};

struct CheckResult {
    std::vector<std::int64_t> kept;  // surviving centres, in input order
    std::uint64_t removed = 0;
};

// One pass over the centres against the labels that `idx_centers` produced
// (the Python-level check); removals update `graph` in place. Per centre,
// in order, the checks that can stop the call: the centre below n (slice);
// its row of nn_list (plain neighbours, ndarray) or the search's own; the
// labels of the neighbourhood (slice); the centres of the labels met, by
// ascending label (slice, len n); for a removal, nn_delta (slice), the rows
// of x (ndarray), delta (slice) and the target's list (slice). The centres
// are judged on the pool's threads and the removals then made in order; if
// any judgement stops, the pass is redone in order on the calling thread, so
// the failure reported is always the first in that order.
CheckResult check_cluster_stability(const StabilityInputs& in, Slice<std::int64_t> idx_centers,
                                    Slice<std::int64_t> cluster_label, ClusterGraph& graph);

struct LoopResult {
    std::vector<std::int64_t> centres;
    std::vector<std::int64_t> labels;  // n = rho.size() entries
};

// Assignment and check in turn until a check removes nothing. A centre kept
// by one check is not searched again by the next when none of the points
// whose labels decided it changed cluster in between: that search would
// retrace the same steps to the same outcome.
LoopResult stability_loop(const StabilityInputs& in, Slice<std::int64_t> idx_centers,
                          ClusterGraph& graph);

}  // namespace quarnel::cluster
