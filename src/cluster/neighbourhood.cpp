#include "cluster/neighbourhood.hpp"

#include <algorithm>

namespace quarnel::cluster {

std::span<const std::uint64_t> bfs_nh_search(std::uint64_t idx, Slice<double> rho,
                                             const MatrixView<std::int64_t>& nn_list,
                                             Slice<std::int64_t> cluster_label, double eta,
                                             std::size_t s, NhWorkspace& ws) {
    const std::size_t n = rho.size();
    std::uint8_t* admitted = ws.admitted_.data();
    auto& frontier = ws.frontier_;
    auto& next = ws.next_;
    auto& found = ws.found_;
    frontier.clear();
    found.clear();

    const std::int64_t start_label = cluster_label.at(idx);

    // First ring: every listed neighbour is expanded in the first pass,
    // whatever its density; only the dense ones are admitted.
    for (std::size_t c = 0; c < s; ++c) {
        const auto j = static_cast<std::uint64_t>(nn_list.at(idx, c));
        frontier.push_back(checked(n, j));
        if (rho[j] > eta && !admitted[j]) {
            admitted[j] = 1;
            found.push_back(j);
        }
    }
    std::sort(frontier.begin(), frontier.end());
    frontier.erase(std::unique(frontier.begin(), frontier.end()), frontier.end());

    // Passes: expand the frontier in ascending order; what they admit is the
    // next frontier. Points of another label are admitted but not expanded.
    while (!frontier.empty()) {
        next.clear();
        for (const std::uint64_t i : frontier) {
            if (cluster_label.at(i) != start_label) continue;
            for (std::size_t c = 0; c < s; ++c) {
                const auto j = static_cast<std::uint64_t>(nn_list.at(i, c));
                if (!admitted[checked(n, j)] && rho[j] > eta) {
                    admitted[j] = 1;
                    next.push_back(j);
                }
            }
        }
        found.insert(found.end(), next.begin(), next.end());
        std::sort(next.begin(), next.end());
        std::swap(frontier, next);
    }

    // A stop above ends the whole call, workspace included, so the flags
    // need resetting only on this path.
    for (const std::uint64_t j : found) admitted[j] = 0;
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace quarnel::cluster
