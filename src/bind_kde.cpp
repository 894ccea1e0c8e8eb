// Python entry points of the density functions.
#include "boundary.hpp"
#include "functions.hpp"
#include "kde/kde.hpp"

namespace quarnel::py {
namespace {

std::vector<double> epanechnikov_kde(MatrixView<double> nn_dist, double bandwidth, std::uint64_t dim,
                                     std::uint64_t n_total) {
    return kde::epanechnikov_kde(nn_dist, bandwidth, dim, n_total);
}

std::tuple<double, std::uint64_t> find_optimal_bandwidth(MatrixView<double> nn_dist_test, double h_min,
                                                         double h_max, std::uint64_t dim,
                                                         std::uint64_t n_train, double xtol) {
    const kde::BandwidthSearch found =
        kde::find_optimal_bandwidth(nn_dist_test, h_min, h_max, dim, n_train, xtol);
    return {found.bandwidth, found.evaluations};
}

std::tuple<double, double, double> bandwidth_estimate(MatrixView<double> nn_dist, MatrixView<double> x_train,
                                                      MatrixView<double> x_test) {
    const kde::BandwidthScales s = kde::bandwidth_estimate(nn_dist, x_train, x_test);
    return {s.ten_nn, s.nn, s.paired};
}

double round_float(double x) { return kde::round_float(x); }

constexpr const char* epanechnikov_kde_params[] = {"nn_dist", "bandwidth", "dim", "n_total"};
constexpr Function epanechnikov_kde_fn = function<epanechnikov_kde, Lock::held>(
    "epanechnikov_kde", epanechnikov_kde_params,
    "epanechnikov_kde(nn_dist, bandwidth, dim, n_total)\n--\n\n"
    "Compute log-density using Epanechnikov kernel from pre-computed k-NN distances.");

constexpr const char* find_optimal_bandwidth_params[] = {"nn_dist_test", "h_min", "h_max",
                                                         "dim", "n_train", "xtol"};
constexpr Function find_optimal_bandwidth_fn = function<find_optimal_bandwidth, Lock::held>(
    "find_optimal_bandwidth", find_optimal_bandwidth_params,
    "find_optimal_bandwidth(nn_dist_test, h_min, h_max, dim, n_train, xtol)\n--\n\n"
    "Find optimal bandwidth using Brent's method on test-set negative log-likelihood.");

constexpr const char* bandwidth_estimate_params[] = {"nn_dist", "x_train", "x_test"};
constexpr Function bandwidth_estimate_fn = function<bandwidth_estimate, Lock::held>(
    "bandwidth_estimate", bandwidth_estimate_params,
    "bandwidth_estimate(nn_dist, x_train, x_test)\n--\n\n"
    "Estimate bandwidth bounds from k-NN distances.");

constexpr const char* round_float_params[] = {"x"};
constexpr Function round_float_fn = function<round_float, Lock::held>(
    "round_float", round_float_params,
    "round_float(x)\n--\n\n"
    "Round a float to its first significant digit.");

const PyMethodDef table[] = {
    method_def<epanechnikov_kde_fn>(),
    method_def<find_optimal_bandwidth_fn>(),
    method_def<bandwidth_estimate_fn>(),
    method_def<round_float_fn>(),
};

}  // namespace

std::span<const PyMethodDef> kde_functions() { return table; }

}  // namespace quarnel::py
