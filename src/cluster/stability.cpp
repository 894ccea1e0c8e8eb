#include "cluster/stability.hpp"

#include <algorithm>
#include <cmath>

#include "cluster/assign.hpp"

namespace quarnel::cluster {

StabilityCheck::StabilityCheck(const StabilityInputs& in, std::size_t max_centres)
    : in_(in), search_(in.rho.size()), label_seen_(max_centres, 0) {}

std::span<const std::uint64_t> StabilityCheck::neighbourhood(std::uint64_t c,
                                                             Slice<std::int64_t> cluster_label) {
    if (in_.threshold < threshold_floor) {
        ring_.clear();
        for (std::size_t j = 1; j < in_.s; ++j) {
            ring_.push_back(static_cast<std::uint64_t>(in_.nn_list.at(c, j)));
        }
        return ring_;
    }
    // A NaN threshold also takes the search (and admits nothing).
    return bfs_nh_search(c, in_.rho, in_.nn_list, cluster_label, in_.rho[c] - in_.threshold,
                         in_.s, search_);
}

double StabilityCheck::distance(std::uint64_t a, std::uint64_t b) const {
    double sum = 0.0;
    for (std::size_t j = 0; j < in_.x.cols; ++j) {
        const double diff = in_.x.at(a, j) - in_.x.at(b, j);
        sum += diff * diff;
    }
    return std::sqrt(sum);
}

CheckResult StabilityCheck::run(Slice<std::int64_t> idx_centers,
                                Slice<std::int64_t> cluster_label, ClusterGraph& graph) {
    const std::size_t n = in_.rho.size();
    const std::size_t centres = idx_centers.size();
    if (label_seen_.size() < centres) label_seen_.resize(centres, 0);

    CheckResult out;
    for (const std::int64_t entry : idx_centers) {
        const auto c = static_cast<std::uint64_t>(entry);
        checked(n, c);
        const auto nh = neighbourhood(c, cluster_label);

        // Clusters met, each once: labels that name no centre are ignored.
        // Every label is read before any centre is looked up, and the
        // centres are then taken by ascending label.
        ++stamp_;
        labels_met_.clear();
        for (const std::uint64_t p : nh) {
            const auto label = static_cast<std::uint64_t>(cluster_label.at(p));
            if (label < centres && label_seen_[label] != stamp_) {
                label_seen_[label] = stamp_;
                labels_met_.push_back(static_cast<std::int64_t>(label));
            }
        }
        std::sort(labels_met_.begin(), labels_met_.end());

        // Merge target: the densest centre strictly denser than c; the lowest
        // label wins a tie because only a greater density replaces it.
        double best = in_.rho[c];
        std::uint64_t target = c;
        for (const std::int64_t label : labels_met_) {
            const auto k = static_cast<std::uint64_t>(idx_centers[static_cast<std::size_t>(label)]);
            if (in_.rho[checked(n, k)] > best) {
                best = in_.rho[k];
                target = k;
            }
        }

        if (in_.rho[c] < best && target != c) {
            graph.nn_delta[checked(graph.nn_delta.size(), c)] = static_cast<std::int64_t>(target);
            const double dist = distance(target, c);
            graph.delta[checked(graph.delta.size(), c)] = dist;
            graph.density_graph[checked(graph.density_graph.size(), target)].push_back(
                static_cast<std::int64_t>(c));
            ++out.removed;
        } else {
            out.kept.push_back(entry);
        }
    }
    return out;
}

CheckResult check_cluster_stability(const StabilityInputs& in, Slice<std::int64_t> idx_centers,
                                    Slice<std::int64_t> cluster_label, ClusterGraph& graph) {
    StabilityCheck check(in, idx_centers.size());
    return check.run(idx_centers, cluster_label, graph);
}

LoopResult stability_loop(const StabilityInputs& in, Slice<std::int64_t> idx_centers,
                          ClusterGraph& graph) {
    const std::size_t n = in.rho.size();
    StabilityCheck check(in, idx_centers.size());
    LoopResult out;
    out.centres.assign(idx_centers.begin(), idx_centers.end());
    for (;;) {
        const Slice<std::int64_t> centres{out.centres.data(), out.centres.size()};
        out.labels = assign_cluster(centres, n, graph.density_graph);
        CheckResult pass = check.run(centres, {out.labels.data(), out.labels.size()}, graph);
        // A pass that removes nothing changes neither the centres nor the
        // graph, so these labels are already those of the final centres.
        if (pass.removed == 0) break;
        out.centres = std::move(pass.kept);
    }
    return out;
}

}  // namespace quarnel::cluster
