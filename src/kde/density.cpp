#include "kde/kde.hpp"
#include "kde/kernel.hpp"

namespace quarnel::kde {

std::vector<double> epanechnikov_kde(const MatrixView<double>& nn_dist, double bandwidth,
                                     std::uint64_t dim, std::uint64_t n_total) {
    const Kernel kernel(bandwidth, dim, n_total);
    std::vector<double> rho(nn_dist.rows);
    kernel.log_densities(nn_dist, rho.data());
    return rho;
}

}  // namespace quarnel::kde
