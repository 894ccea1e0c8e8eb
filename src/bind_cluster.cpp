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

constexpr const char* compute_delta_params[] = {"x", "rho", "nn_list", "nn_dist"};
Ref compute_delta_body(const Args& a) {
    const FloatMatrix x = a.float_matrix(0);
    const FloatVector rho = a.float_vector(1);
    const IndexMatrix nn_list = a.index_matrix(2);
    const FloatMatrix nn_dist = a.float_matrix(3);
    cluster::DeltaResult r =
        cluster::compute_delta(x.view(), rho.view(), nn_list.view(), nn_dist.view());
    Ref delta = result_array(std::move(r.delta));
    Ref nn_delta = result_array(std::move(r.nn_delta));
    Ref centres = result_array(std::move(r.idx_centers));
    Ref graph = result_lists(r.density_graph);
    return tuple(std::move(delta), std::move(nn_delta), std::move(centres), std::move(graph));
}
constexpr Function compute_delta_fn{
    "compute_delta", compute_delta_params,
    "compute_delta(x, rho, nn_list, nn_dist)\n--\n\n"
    "Compute delta (distance to nearest higher-density neighbor) for all points.\n\n"
    "Returns (delta, nn_delta, idx_centers, density_graph)",
    &compute_delta_body};

constexpr const char* assign_cluster_params[] = {"idx_centers", "nn_delta", "density_graph"};
Ref assign_cluster_body(const Args& a) {
    const IndexVector idx_centers = a.index_vector(0);
    const IndexVector nn_delta = a.index_vector(1);
    const IndexLists graph = a.index_lists(2);
    const Slice<std::int64_t> centres = contiguous(idx_centers);
    const Slice<std::int64_t> nn = contiguous(nn_delta);
    return result_array(cluster::assign_cluster(centres, nn.size(), graph));
}
constexpr Function assign_cluster_fn{
    "assign_cluster", assign_cluster_params,
    "assign_cluster(idx_centers, nn_delta, density_graph)\n--\n\n"
    "Assign cluster labels by traversing the density tree (iterative DFS).",
    &assign_cluster_body};

constexpr const char* find_nh_params[] = {
    "idx", "eta", "rho", "nn_list", "cluster_label", "search_size"};
Ref find_nh_tree_search_body(const Args& a) {
    const std::uint64_t idx = a.size_scalar(0);
    const double eta = a.float_scalar(1);
    const FloatVector rho_arg = a.float_vector(2);
    const IndexMatrix nn_list = a.index_matrix(3);
    const IndexVector label_arg = a.index_vector(4);
    const std::uint64_t search_size = a.size_scalar(5);
    const Slice<double> rho = contiguous(rho_arg);
    const Slice<std::int64_t> labels = contiguous(label_arg);

    const std::vector<std::uint64_t> found = cluster::bfs_nh_search(
        idx, rho, nn_list.view(), labels, eta, search_width(search_size, nn_list.view()));
    return result_array(std::vector<std::int64_t>(found.begin(), found.end()));
}
constexpr Function find_nh_tree_search_fn{
    "find_nh_tree_search", find_nh_params,
    "find_nh_tree_search(idx, eta, rho, nn_list, cluster_label, search_size)\n--\n\n"
    "BFS neighborhood search within density threshold.",
    &find_nh_tree_search_body};

constexpr const char* check_params[] = {
    "x", "rho", "idx_centers", "nn_delta", "delta", "nn_list", "cluster_label", "density_graph",
    "threshold", "search_size"};
Ref check_cluster_stability_body(const Args& a) {
    const FloatMatrix x = a.float_matrix(0);
    const FloatVector rho_arg = a.float_vector(1);
    const IndexVector centres_arg = a.index_vector(2);
    const IndexVector nn_delta_arg = a.index_vector(3);
    const FloatVector delta_arg = a.float_vector(4);
    const IndexMatrix nn_list = a.index_matrix(5);
    const IndexVector label_arg = a.index_vector(6);
    IndexLists density_graph = a.index_lists(7);
    const double threshold = a.float_scalar(8);
    const std::uint64_t search_size = a.size_scalar(9);
    const Slice<double> rho = contiguous(rho_arg);
    const Slice<std::int64_t> centres = contiguous(centres_arg);
    const Slice<std::int64_t> nn_delta = contiguous(nn_delta_arg);
    const Slice<double> delta = contiguous(delta_arg);
    const Slice<std::int64_t> labels = contiguous(label_arg);

    const cluster::StabilityInputs in{x.view(), rho, nn_list.view(), threshold,
                                      search_width(search_size, nn_list.view())};
    cluster::ClusterGraph graph{copy_of(nn_delta), copy_of(delta), std::move(density_graph)};
    cluster::CheckResult r = cluster::check_cluster_stability(in, centres, labels, graph);

    Ref kept = result_array(std::move(r.kept));
    Ref removed = result_uint(r.removed);
    Ref nn_delta_out = result_array(std::move(graph.nn_delta));
    Ref delta_out = result_array(std::move(graph.delta));
    Ref graph_out = result_lists(graph.density_graph);
    return tuple(std::move(kept), std::move(removed), std::move(nn_delta_out),
                 std::move(delta_out), std::move(graph_out));
}
constexpr Function check_cluster_stability_fn{
    "check_cluster_stability", check_params,
    "check_cluster_stability(x, rho, idx_centers, nn_delta, delta, nn_list, cluster_label, "
    "density_graph, threshold, search_size)\n--\n\n"
    "Check cluster stability: identify and remove false positive centers.",
    &check_cluster_stability_body};

constexpr const char* loop_params[] = {
    "x", "rho", "idx_centers_in", "nn_delta_in", "delta_in", "nn_list", "density_graph_in",
    "threshold", "search_size"};
Ref stability_loop_body(const Args& a) {
    const FloatMatrix x = a.float_matrix(0);
    const FloatVector rho_arg = a.float_vector(1);
    const IndexVector centres_arg = a.index_vector(2);
    const IndexVector nn_delta_arg = a.index_vector(3);
    const FloatVector delta_arg = a.float_vector(4);
    const IndexMatrix nn_list = a.index_matrix(5);
    IndexLists density_graph = a.index_lists(6);
    const double threshold = a.float_scalar(7);
    const std::uint64_t search_size = a.size_scalar(8);
    const Slice<double> rho = contiguous(rho_arg);
    const Slice<std::int64_t> centres = contiguous(centres_arg);
    const Slice<std::int64_t> nn_delta = contiguous(nn_delta_arg);
    const Slice<double> delta = contiguous(delta_arg);

    const cluster::StabilityInputs in{x.view(), rho, nn_list.view(), threshold,
                                      search_width(search_size, nn_list.view())};
    cluster::ClusterGraph graph{copy_of(nn_delta), copy_of(delta), std::move(density_graph)};
    cluster::LoopResult r = cluster::stability_loop(in, centres, graph);

    Ref centres_out = result_array(std::move(r.centres));
    Ref labels_out = result_array(std::move(r.labels));
    Ref nn_delta_out = result_array(std::move(graph.nn_delta));
    Ref delta_out = result_array(std::move(graph.delta));
    Ref graph_out = result_lists(graph.density_graph);
    return tuple(std::move(centres_out), std::move(labels_out), std::move(nn_delta_out),
                 std::move(delta_out), std::move(graph_out));
}
constexpr Function stability_loop_fn{
    "stability_loop", loop_params,
    "stability_loop(x, rho, idx_centers_in, nn_delta_in, delta_in, nn_list, density_graph_in, "
    "threshold, search_size)\n--\n\n"
    "Full stability loop: assign clusters + check stability until convergence.\n"
    "This avoids repeated Python\u2194native data conversion by keeping everything in native.\n\n"
    "Returns (final_idx_centers, final_cluster_label, final_nn_delta, final_delta, "
    "final_density_graph)",
    &stability_loop_body};

constexpr const char* trim_params[] = {"nn_dist", "bandwidth", "alpha", "min_nh"};
Ref adaptive_trim_size_body(const Args& a) {
    const FloatMatrix nn_dist = a.float_matrix(0);
    const double bandwidth = a.float_scalar(1);
    const double alpha = a.float_scalar(2);
    const std::uint64_t min_nh = a.size_scalar(3);
    return result_uint(cluster::adaptive_trim_size(nn_dist.view(), bandwidth, alpha, min_nh));
}
constexpr Function adaptive_trim_size_fn{
    "adaptive_trim_size", trim_params,
    "adaptive_trim_size(nn_dist, bandwidth, alpha, min_nh)\n--\n\n"
    "Compute effective neighborhood size after adaptive trimming.",
    &adaptive_trim_size_body};

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
