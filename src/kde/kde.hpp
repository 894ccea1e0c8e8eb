// Density estimation core: Epanechnikov log-density, bandwidth bounds and
// the Brent search for the bandwidth. Plain C++ over views; no Python.
#pragma once

#include <cstdint>
#include <vector>

#include "core/views.hpp"

namespace quarnel::kde {

// Log-density of every row of `nn_dist` (n rows of k neighbour distances)
// under an Epanechnikov kernel of bandwidth h in `dim` dimensions,
// normalised by `n_total` points.
std::vector<double> epanechnikov_kde(const MatrixView<double>& nn_dist, double bandwidth,
                                     std::uint64_t dim, std::uint64_t n_total);

struct BandwidthScales {
    double ten_nn;  // 10 * nn
    double nn;      // RMS per-coordinate distance to the nearest listed neighbour
    double paired;  // RMS per-coordinate difference of paired train/test rows
};

BandwidthScales bandwidth_estimate(const MatrixView<double>& nn_dist,
                                   const MatrixView<double>& x_train,
                                   const MatrixView<double>& x_test);

// 10^floor(log10|x|), or +0.0 for a zero.
double round_float(double x);

struct BandwidthSearch {
    double bandwidth;          // best point found
    std::uint64_t evaluations; // objective evaluations, the first included
};

// Brent minimisation of the test negative log-likelihood over
// [h_min, 0.2 * h_max].
BandwidthSearch find_optimal_bandwidth(const MatrixView<double>& nn_dist_test, double h_min,
                                       double h_max, std::uint64_t dim, std::uint64_t n_train,
                                       double xtol);

}  // namespace quarnel::kde
