// Python entry points of the neighbour searches.
#include "boundary.hpp"
#include "functions.hpp"
#include "knn/knn.hpp"

namespace quarnel::py {
namespace {

// Both searches return (nn_dist, nn_indices) as flat arrays.
knn::FlatTable knn_query(MatrixView<double> x, std::uint64_t k) { return knn::knn_query(x, k); }

knn::FlatTable knn_query_cross(MatrixView<double> train, MatrixView<double> query, std::uint64_t k) {
    return knn::knn_query_cross(train, query, k);
}

constexpr const char* knn_query_params[] = {"x", "k"};
constexpr Function knn_query_fn = function<knn_query, Lock::held>(
    "knn_query", knn_query_params,
    "knn_query(x, k)\n--\n\n"
    "Build a kd-tree and query k nearest neighbors for all points.\n"
    "Returns (nn_dist, nn_indices) as flat numpy arrays that Python reshapes to (n, k).");

constexpr const char* knn_query_cross_params[] = {"x_train", "x_query", "k"};
constexpr Function knn_query_cross_fn = function<knn_query_cross, Lock::held>(
    "knn_query_cross", knn_query_cross_params,
    "knn_query_cross(x_train, x_query, k)\n--\n\n"
    "Build a kd-tree from x_train, query x_query for k nearest neighbors.\n"
    "Returns (nn_dist, nn_indices) as flat numpy arrays, shape (n_query * k,).");

const PyMethodDef table[] = {method_def<knn_query_fn>(), method_def<knn_query_cross_fn>()};

}  // namespace

std::span<const PyMethodDef> knn_functions() { return table; }

}  // namespace quarnel::py
