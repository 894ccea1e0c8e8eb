// Python entry points of the neighbour searches.
#include "boundary.hpp"
#include "functions.hpp"
#include "knn/knn.hpp"

namespace quarnel::py {
namespace {

// Both searches return (nn_dist, nn_indices): table_result.
constexpr const char* knn_query_params[] = {"x", "k"};
Ref knn_query_body(const Args& a) {
    FloatMatrix x = a.float_matrix(0);
    std::uint64_t k = a.size_scalar(1);
    return table_result(knn::knn_query(x.view(), k));
}
constexpr Function knn_query_fn{
    "knn_query", knn_query_params,
    "knn_query(x, k)\n--\n\n"
    "Build a kd-tree and query k nearest neighbors for all points.\n"
    "Returns (nn_dist, nn_indices) as flat numpy arrays that Python reshapes to (n, k).",
    &knn_query_body};

constexpr const char* knn_query_cross_params[] = {"x_train", "x_query", "k"};
Ref knn_query_cross_body(const Args& a) {
    FloatMatrix train = a.float_matrix(0);
    FloatMatrix query = a.float_matrix(1);
    std::uint64_t k = a.size_scalar(2);
    return table_result(knn::knn_query_cross(train.view(), query.view(), k));
}
constexpr Function knn_query_cross_fn{
    "knn_query_cross", knn_query_cross_params,
    "knn_query_cross(x_train, x_query, k)\n--\n\n"
    "Build a kd-tree from x_train, query x_query for k nearest neighbors.\n"
    "Returns (nn_dist, nn_indices) as flat numpy arrays, shape (n_query * k,).",
    &knn_query_cross_body};

const PyMethodDef table[] = {method_def<knn_query_fn>(), method_def<knn_query_cross_fn>()};

}  // namespace

std::span<const PyMethodDef> knn_functions() { return table; }

}  // namespace quarnel::py
