// Python entry points of the clustering functions.
#include <algorithm>

#include "boundary.hpp"
#include "cluster/assign.hpp"
#include "cluster/delta.hpp"
#include "cluster/neighbourhood.hpp"
#include "cluster/stability.hpp"
#include "cluster/trim.hpp"
#include "functions.hpp"

namespace quarnel::py {
namespace {

// Columns of `nn_list` read per row: the requested width, at most all.
std::size_t search_width(std::uint64_t search_size, const MatrixView<std::int64_t>& nn_list) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(search_size, nn_list.cols));
}

template <class T>
std::vector<T> copy_of(Slice<T> run) {
    return std::vector<T>(run.begin(), run.end());
}

// (delta, nn_delta, idx_centers, density_graph)
auto compute_delta(MatrixView<double> x, VectorView<double> rho, MatrixView<std::int64_t> nn_list,
                   MatrixView<double> nn_dist) {
    cluster::DeltaResult r = cluster::compute_delta(x, rho, nn_list, nn_dist);
    return std::tuple(std::move(r.delta), std::move(r.nn_delta), std::move(r.idx_centers),
                      std::move(r.density_graph));
}

std::vector<std::int64_t> assign_cluster(Slice<std::int64_t> idx_centers, Slice<std::int64_t> nn_delta,
                                         IndexLists density_graph) {
    return cluster::assign_cluster(idx_centers, nn_delta.size(), density_graph);
}

std::vector<std::int64_t> find_nh_tree_search(std::uint64_t idx, double eta, Slice<double> rho,
                                              MatrixView<std::int64_t> nn_list,
                                              Slice<std::int64_t> cluster_label,
                                              std::uint64_t search_size) {
    const std::vector<std::uint64_t> found = cluster::bfs_nh_search(
        idx, rho, nn_list, cluster_label, eta, search_width(search_size, nn_list));
    return std::vector<std::int64_t>(found.begin(), found.end());
}

// (kept, removed, nn_delta, delta, density_graph)
auto check_cluster_stability(MatrixView<double> x, Slice<double> rho, Slice<std::int64_t> idx_centers,
                             Slice<std::int64_t> nn_delta, Slice<double> delta,
                             MatrixView<std::int64_t> nn_list, Slice<std::int64_t> cluster_label,
                             IndexLists density_graph, double threshold, std::uint64_t search_size) {
    const cluster::StabilityInputs in{x, rho, nn_list, threshold, search_width(search_size, nn_list)};
    cluster::ClusterGraph graph{copy_of(nn_delta), copy_of(delta), std::move(density_graph)};
    cluster::CheckResult r = cluster::check_cluster_stability(in, idx_centers, cluster_label, graph);
    return std::tuple(std::move(r.kept), r.removed, std::move(graph.nn_delta), std::move(graph.delta),
                      std::move(graph.density_graph));
}

// (centres, labels, nn_delta, delta, density_graph)
auto stability_loop(MatrixView<double> x, Slice<double> rho, Slice<std::int64_t> idx_centers_in,
                    Slice<std::int64_t> nn_delta_in, Slice<double> delta_in,
                    MatrixView<std::int64_t> nn_list, IndexLists density_graph_in, double threshold,
                    std::uint64_t search_size) {
    const cluster::StabilityInputs in{x, rho, nn_list, threshold, search_width(search_size, nn_list)};
    cluster::ClusterGraph graph{copy_of(nn_delta_in), copy_of(delta_in), std::move(density_graph_in)};
    cluster::LoopResult r = cluster::stability_loop(in, idx_centers_in, graph);
    return std::tuple(std::move(r.centres), std::move(r.labels), std::move(graph.nn_delta),
                      std::move(graph.delta), std::move(graph.density_graph));
}

std::uint64_t adaptive_trim_size(MatrixView<double> nn_dist, double bandwidth, double alpha,
                                 std::uint64_t min_nh) {
    return cluster::adaptive_trim_size(nn_dist, bandwidth, alpha, min_nh);
}

constexpr const char* compute_delta_params[] = {"x", "rho", "nn_list", "nn_dist"};
constexpr Function compute_delta_fn = function<compute_delta, Lock::held>(
    "compute_delta", compute_delta_params,
    "compute_delta(x, rho, nn_list, nn_dist)\n--\n\n"
    "Compute delta (distance to nearest higher-density neighbor) for all points.\n\n"
    "Returns (delta, nn_delta, idx_centers, density_graph)");

constexpr const char* assign_cluster_params[] = {"idx_centers", "nn_delta", "density_graph"};
constexpr Function assign_cluster_fn = function<assign_cluster, Lock::held>(
    "assign_cluster", assign_cluster_params,
    "assign_cluster(idx_centers, nn_delta, density_graph)\n--\n\n"
    "Assign cluster labels by traversing the density tree (iterative DFS).");

constexpr const char* find_nh_params[] = {
    "idx", "eta", "rho", "nn_list", "cluster_label", "search_size"};
constexpr Function find_nh_tree_search_fn = function<find_nh_tree_search, Lock::held>(
    "find_nh_tree_search", find_nh_params,
    "find_nh_tree_search(idx, eta, rho, nn_list, cluster_label, search_size)\n--\n\n"
    "BFS neighborhood search within density threshold.");

constexpr const char* check_params[] = {
    "x", "rho", "idx_centers", "nn_delta", "delta", "nn_list", "cluster_label", "density_graph",
    "threshold", "search_size"};
constexpr Function check_cluster_stability_fn = function<check_cluster_stability, Lock::held>(
    "check_cluster_stability", check_params,
    "check_cluster_stability(x, rho, idx_centers, nn_delta, delta, nn_list, cluster_label, "
    "density_graph, threshold, search_size)\n--\n\n"
    "Check cluster stability: identify and remove false positive centers.");

constexpr const char* loop_params[] = {
    "x", "rho", "idx_centers_in", "nn_delta_in", "delta_in", "nn_list", "density_graph_in",
    "threshold", "search_size"};
constexpr Function stability_loop_fn = function<stability_loop, Lock::held>(
    "stability_loop", loop_params,
    "stability_loop(x, rho, idx_centers_in, nn_delta_in, delta_in, nn_list, density_graph_in, "
    "threshold, search_size)\n--\n\n"
    "Full stability loop: assign clusters + check stability until convergence.\n"
    "This avoids repeated Python\u2194native data conversion by keeping everything in native.\n\n"
    "Returns (final_idx_centers, final_cluster_label, final_nn_delta, final_delta, "
    "final_density_graph)");

constexpr const char* trim_params[] = {"nn_dist", "bandwidth", "alpha", "min_nh"};
constexpr Function adaptive_trim_size_fn = function<adaptive_trim_size, Lock::held>(
    "adaptive_trim_size", trim_params,
    "adaptive_trim_size(nn_dist, bandwidth, alpha, min_nh)\n--\n\n"
    "Compute effective neighborhood size after adaptive trimming.");

// In registration order.
const PyMethodDef table[] = {
    method_def<compute_delta_fn>(),
    method_def<assign_cluster_fn>(),
    method_def<find_nh_tree_search_fn>(),
    method_def<check_cluster_stability_fn>(),
    method_def<stability_loop_fn>(),
    method_def<adaptive_trim_size_fn>(),
};

}  // namespace

std::span<const PyMethodDef> cluster_functions() { return table; }

}  // namespace quarnel::py
