#include "cluster/trim.hpp"

#include <algorithm>
#include <vector>

#include "core/parallel.hpp"

namespace quarnel::cluster {

std::uint64_t adaptive_trim_size(const MatrixView<double>& nn_dist, double bandwidth,
                                 double alpha, std::uint64_t min_nh) {
    const double radius = bandwidth * alpha;
    const std::size_t n = nn_dist.rows;
    std::vector<std::uint64_t> counts = parallel_map<std::uint64_t>(n, [&](std::size_t i) {
        std::uint64_t m = 0;
        // A NaN distance or radius compares false and is never counted.
        for (std::size_t j = 0; j < nn_dist.cols; ++j) m += nn_dist(i, j) <= radius;
        return m;
    });
    // Counts are plain integers, so selecting the middle element gives the
    // value a full ascending sort would put there.
    const std::size_t mid = checked(counts.size(), n / 2);
    std::nth_element(counts.begin(), counts.begin() + static_cast<std::ptrdiff_t>(mid),
                     counts.end());
    return std::max(counts[mid], min_nh);
}

}  // namespace quarnel::cluster
