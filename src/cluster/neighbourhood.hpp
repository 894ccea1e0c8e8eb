// Neighbourhood of a start point above a density threshold: a breadth-first
// flood through the neighbour table that expands only points of the start
// point's label and admits only points denser than `eta`.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/views.hpp"

namespace quarnel::cluster {

// Working arrays of neighbourhood searches over n points, allocated once and
// reused by every search of a call: a search touches only the entries of the
// points it admits and resets them before returning, so its cost is
// O(admitted x s + sorting) rather than O(n) per search.
class NhWorkspace {
public:
    explicit NhWorkspace(std::size_t n) : admitted_(n, 0) {}
    std::size_t points() const noexcept { return admitted_.size(); }

private:
    friend std::span<const std::uint64_t> bfs_nh_search(
        std::uint64_t, Slice<double>, const MatrixView<std::int64_t>&, Slice<std::int64_t>,
        double, std::size_t, NhWorkspace&);

    std::vector<std::uint8_t> admitted_;  // one flag per point, all 0 between searches
    std::vector<std::uint64_t> frontier_;  // points to expand in this pass, ascending
    std::vector<std::uint64_t> next_;      // points admitted in this pass
    std::vector<std::uint64_t> found_;     // every admitted point
};

// The neighbourhood of `idx`, ascending, each point once; valid until the
// next search with the same workspace. n = rho.size() = ws.points(); s is the
// number of leading columns of `nn_list` read per row.
//
// Points are visited as in a pass-by-pass flood over flag arrays (frontier
// ascending within a pass, columns in order within a row), so the first
// failure met is the same: label of `idx` (slice, len of labels); first-ring
// row (ndarray); a neighbour not below n (slice, len n); a frontier point
// without a label (slice) or, when of the start label, without a row
// (ndarray).
std::span<const std::uint64_t> bfs_nh_search(std::uint64_t idx, Slice<double> rho,
                                             const MatrixView<std::int64_t>& nn_list,
                                             Slice<std::int64_t> cluster_label, double eta,
                                             std::size_t s, NhWorkspace& ws);

}  // namespace quarnel::cluster
