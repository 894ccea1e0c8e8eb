// Neighbourhood size for the clustering stage from a neighbour table.
#pragma once

#include <cstdint>

#include "core/views.hpp"

namespace quarnel::cluster {

// max(median over rows of the number of distances <= bandwidth * alpha,
// min_nh), the median being the upper middle element for an even row count.
// Stops with "index out of bounds: the len is 0 but the index is 0" when
// `nn_dist` has no rows.
std::uint64_t adaptive_trim_size(const MatrixView<double>& nn_dist, double bandwidth,
                                 double alpha, std::uint64_t min_nh);

}  // namespace quarnel::cluster
