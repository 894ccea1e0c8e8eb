// Neighbourhood of a start point above a density threshold: a breadth-first
// flood through the neighbour table that expands only points of the start
// point's label and admits only points denser than `eta`.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/views.hpp"

namespace quarnel::cluster {

// Floods over one neighbour table, reusing its working arrays for every
// search of a call: a search touches only the marks of the points it tests
// and resets them, so it costs O(admitted x s) rather than O(n) per pass.
//
// The result is the set of a pass-by-pass flood over per-point flags: pass 1
// expands the first ring (the start point's first s neighbours, admitted or
// not), every later pass the points admitted by the pass before; a point is
// expanded only when it has the start point's label, and admitted when it is
// denser than `eta`. The failure reported is the one that flood meets first,
// visiting each pass's frontier in ascending order and columns in order:
// label of the start point (slice, len of labels); first-ring row (ndarray);
// a neighbour not below n (slice, len n); a frontier point without a label
// (slice) or, when of the start label, without a row (ndarray).
class NhSearch {
public:
    // n = rho.size(); s = columns of nn_list read per row.
    NhSearch(Slice<double> rho, const MatrixView<std::int64_t>& nn_list, std::size_t s);

    // The neighbourhood of `idx`, each point once, in admission order; valid
    // until the next search.
    std::span<const std::uint64_t> search(std::uint64_t idx, Slice<std::int64_t> cluster_label,
                                          double eta);

    // The first ring of the last search (repeats kept): with the admitted
    // points, the points whose labels that search compared.
    std::span<const std::uint64_t> first_ring() const { return ring_; }

private:
    void prefetch(std::size_t f) const;
    bool expand_unchecked(std::uint64_t i, std::int64_t start_label, double eta);
    void expand_checked(std::uint64_t i, std::int64_t start_label, double eta);
    void admit(std::uint64_t j, double eta, std::vector<std::uint64_t>& into);

    Slice<double> rho_;
    MatrixView<std::int64_t> nn_list_;
    std::size_t s_;
    Slice<std::int64_t> label_;            // labels of the current search
    // One bit per point: density tested in the current search. Only words
    // holding a point of found_, next_ or rejected_ are not zero.
    std::vector<std::uint64_t> tested_;
    std::vector<std::uint64_t> rejected_;  // tested and not admitted
    std::vector<std::uint64_t> ring_;
    std::vector<std::uint64_t> frontier_;  // points to expand in this pass
    std::vector<std::uint64_t> next_;      // points admitted in this pass
    std::vector<std::uint64_t> found_;     // every admitted point
};

// The neighbourhood of `idx` in ascending order (the Python-level search).
std::vector<std::uint64_t> bfs_nh_search(std::uint64_t idx, Slice<double> rho,
                                         const MatrixView<std::int64_t>& nn_list,
                                         Slice<std::int64_t> cluster_label, double eta,
                                         std::size_t s);

}  // namespace quarnel::cluster
