// The rows of a distributed run's neighbour table near a box's walls: each
// row's candidates from several boxes, merged into its first k.
#pragma once

#include <cstdint>
#include <vector>

#include "core/views.hpp"

namespace quarnel::cluster {

// For candidates (row[e], sq[e], index[e]) in any order, with row[e] in
// [0, rows): per row, the positions e of its first k candidates ordered by
// (squared distance, index), then by position; rows x k, -1 where a row has
// fewer than k candidates. Stops when a row is out of range.
std::vector<std::int64_t> first_candidates(Slice<std::int64_t> row, Slice<double> sq,
                                           Slice<std::int64_t> index, std::size_t rows,
                                           std::size_t k);

}  // namespace quarnel::cluster
