#include <algorithm>
#include <cmath>

#include "core/stop.hpp"
#include "kde/kde.hpp"

namespace quarnel::kde {

namespace {

// At most this many (training, test) row pairs enter the paired scale.
constexpr std::size_t pair_limit = 1000;

// sqrt((sum / count) / dim), divisions in that order.
double rms(double sum, std::size_t count, std::size_t dim) {
    return std::sqrt((sum / static_cast<double>(count)) / static_cast<double>(dim));
}

}  // namespace

BandwidthScales bandwidth_estimate(const MatrixView<double>& nn_dist,
                                   const MatrixView<double>& x_train,
                                   const MatrixView<double>& x_test) {
    const std::size_t n = nn_dist.rows;
    const std::size_t d = x_train.cols;

    // Column 1 is the nearest other point of a self query; a one-column
    // table has only column 0. A table without columns fails on its first row.
    double nn_sum = 0.0;
    const std::size_t column = nn_dist.cols == 1 ? 0 : 1;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = nn_dist.at(i, column);
        nn_sum = nn_sum + v * v;
    }

    const std::size_t pairs = std::min({x_train.rows, x_test.rows, pair_limit});
    double pair_sum = 0.0;
    if (pairs > 0 && d > 0) {
        if (x_test.cols < d) stop_ndarray();
        for (std::size_t i = 0; i < pairs; ++i) {
            double row = 0.0;
            for (std::size_t j = 0; j < d; ++j) {
                const double e = x_train(i, j) - x_test(i, j);
                row = row + e * e;
            }
            pair_sum = pair_sum + row;
        }
    }

    const double nn = rms(nn_sum, n, d);
    return {nn * 10.0, nn, rms(pair_sum, pairs, d)};
}

double round_float(double x) {
    if (x == 0.0) return 0.0;  // also -0.0, which gives +0.0
    return std::pow(10.0, std::floor(std::log10(std::fabs(x))));
}

}  // namespace quarnel::kde
