#include "core/parallel.hpp"
#include "kde/kde.hpp"
#include "kde/kernel.hpp"

namespace quarnel::kde {

std::vector<double> epanechnikov_kde(const MatrixView<double>& nn_dist, double bandwidth,
                                     std::uint64_t dim, std::uint64_t n_total) {
    const Kernel kernel(bandwidth, dim, n_total);
    const std::size_t k = nn_dist.cols;
    const std::ptrdiff_t stride = nn_dist.col_stride;
    return parallel_map<double>(nn_dist.rows, [&](std::size_t i) {
        return kernel.log_density(nn_dist.row(i), stride, k);
    });
}

}  // namespace quarnel::kde
