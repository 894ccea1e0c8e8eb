// Python entry points of the density functions.
#include "boundary.hpp"
#include "functions.hpp"
#include "kde/kde.hpp"

namespace quarnel::py {

namespace {

constexpr const char* epanechnikov_kde_params[] = {"nn_dist", "bandwidth", "dim", "n_total"};
Ref epanechnikov_kde_body(const Args& a) {
    FloatMatrix nn_dist = a.float_matrix(0);
    double bandwidth = a.float_scalar(1);
    std::uint64_t dim = a.size_scalar(2);
    std::uint64_t n_total = a.size_scalar(3);
    return result_array(kde::epanechnikov_kde(nn_dist.view(), bandwidth, dim, n_total));
}
constexpr Function epanechnikov_kde_fn{
    "epanechnikov_kde", epanechnikov_kde_params,
    "epanechnikov_kde(nn_dist, bandwidth, dim, n_total)\n--\n\n"
    "Compute log-density using Epanechnikov kernel from pre-computed k-NN distances.",
    &epanechnikov_kde_body};

constexpr const char* find_optimal_bandwidth_params[] = {"nn_dist_test", "h_min", "h_max",
                                                         "dim", "n_train", "xtol"};
Ref find_optimal_bandwidth_body(const Args& a) {
    FloatMatrix nn_dist_test = a.float_matrix(0);
    double h_min = a.float_scalar(1);
    double h_max = a.float_scalar(2);
    std::uint64_t dim = a.size_scalar(3);
    std::uint64_t n_train = a.size_scalar(4);
    double xtol = a.float_scalar(5);
    const kde::BandwidthSearch found =
        kde::find_optimal_bandwidth(nn_dist_test.view(), h_min, h_max, dim, n_train, xtol);
    return tuple(result_float(found.bandwidth), result_uint(found.evaluations));
}
constexpr Function find_optimal_bandwidth_fn{
    "find_optimal_bandwidth", find_optimal_bandwidth_params,
    "find_optimal_bandwidth(nn_dist_test, h_min, h_max, dim, n_train, xtol)\n--\n\n"
    "Find optimal bandwidth using Brent's method on test-set negative log-likelihood.",
    &find_optimal_bandwidth_body};

constexpr const char* bandwidth_estimate_params[] = {"nn_dist", "x_train", "x_test"};
Ref bandwidth_estimate_body(const Args& a) {
    FloatMatrix nn_dist = a.float_matrix(0);
    FloatMatrix x_train = a.float_matrix(1);
    FloatMatrix x_test = a.float_matrix(2);
    const kde::BandwidthScales s =
        kde::bandwidth_estimate(nn_dist.view(), x_train.view(), x_test.view());
    return tuple(result_float(s.ten_nn), result_float(s.nn), result_float(s.paired));
}
constexpr Function bandwidth_estimate_fn{
    "bandwidth_estimate", bandwidth_estimate_params,
    "bandwidth_estimate(nn_dist, x_train, x_test)\n--\n\n"
    "Estimate bandwidth bounds from k-NN distances.",
    &bandwidth_estimate_body};

constexpr const char* round_float_params[] = {"x"};
Ref round_float_body(const Args& a) {
    double x = a.float_scalar(0);
    return result_float(kde::round_float(x));
}
constexpr Function round_float_fn{"round_float", round_float_params,
                                  "round_float(x)\n--\n\n"
                                  "Round a float to its first significant digit.",
                                  &round_float_body};

// Not constexpr: method_def casts the entry point, which a constant
// expression cannot do; the table is filled once at load time.
const PyMethodDef table[] = {
    method_def<epanechnikov_kde_fn>(),
    method_def<find_optimal_bandwidth_fn>(),
    method_def<bandwidth_estimate_fn>(),
    method_def<round_float_fn>(),
};

}  // namespace

std::span<const PyMethodDef> kde_functions() { return table; }

}  // namespace quarnel::py
