// Removal of false cluster centres: a centre whose neighbourhood above
// rho[centre] - threshold meets a cluster with a strictly denser centre is
// hung below the densest such centre.
#pragma once

#include <cstdint>
#include <vector>

#include "cluster/neighbourhood.hpp"
#include "core/views.hpp"

namespace quarnel::cluster {

// Below this threshold a centre's neighbourhood is simply its listed
// neighbours from column 1 on, without a density test.
inline constexpr double threshold_floor = 0.001;

// The read-only inputs of a check, shared by all its centres.
struct StabilityInputs {
    MatrixView<double> x;               // read for the delta of removed centres
    Slice<double> rho;                  // n = rho.size()
    MatrixView<std::int64_t> nn_list;
    double threshold;
    std::size_t s;                      // columns of nn_list read per row
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

// Checks centres against the labels that `idx_centers` produced, updating
// `graph` in place. Holds the working arrays that stay allocated across the
// checks of one call.
class StabilityCheck {
public:
    StabilityCheck(const StabilityInputs& in, std::size_t max_centres);
    CheckResult run(Slice<std::int64_t> idx_centers, Slice<std::int64_t> cluster_label,
                    ClusterGraph& graph);

private:
    // The neighbourhood of centre c (points in visiting order).
    std::span<const std::uint64_t> neighbourhood(std::uint64_t c,
                                                 Slice<std::int64_t> cluster_label);
    double distance(std::uint64_t a, std::uint64_t b) const;

    StabilityInputs in_;
    NhWorkspace search_;
    std::vector<std::uint64_t> ring_;         // plain-neighbour neighbourhood
    std::vector<std::uint64_t> label_seen_;   // per label: stamp of the last centre meeting it
    std::uint64_t stamp_ = 0;
    std::vector<std::int64_t> labels_met_;
};

// One pass over the centres (the Python-level check).
CheckResult check_cluster_stability(const StabilityInputs& in, Slice<std::int64_t> idx_centers,
                                    Slice<std::int64_t> cluster_label, ClusterGraph& graph);

struct LoopResult {
    std::vector<std::int64_t> centres;
    std::vector<std::int64_t> labels;  // n = rho.size() entries
};

// Assignment and check in turn until a check removes nothing.
LoopResult stability_loop(const StabilityInputs& in, Slice<std::int64_t> idx_centers,
                          ClusterGraph& graph);

}  // namespace quarnel::cluster
