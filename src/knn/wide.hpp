// Exact k-nearest-neighbour search for any number of columns.
//
// The rows are those of a brute-force search: neighbours ordered by
// (squared distance, index), the squared distance summed over the columns
// in order with one rounding per square and per addition, then
// square-rooted. Only the pruning differs: a k-d tree over the points'
// principal axes (see wide_tree.hpp), so that data whose spread lies in a
// few directions prunes as well as points of that few dimensions would.
//
// A search may decline and return nothing: when a coordinate is not finite
// or so large that squared distances could overflow, or when a sample of
// the queries shows that the tree cannot prune (each query scans more than
// `max_share` of the points on average). The caller then searches by
// other means; max_share = infinity never declines for that reason.
#pragma once

#include <cstdint>
#include <optional>

#include "core/views.hpp"
#include "knn/knn.hpp"

namespace quarnel::knn {

// The min(k, n) nearest rows of `x` for every row of `x`, as a flat table.
// Index is std::int32_t (x must have at most 2^31 - 1 rows) or std::int64_t.
template <class Index>
std::optional<Table<Index>> wide_table(const MatrixView<double>& x, std::uint64_t k, double max_share);

// The min(k, n_train) nearest rows of `train` for every row of `query`
// (which must have as many columns as `train`).
std::optional<FlatTable> wide_cross(const MatrixView<double>& train, const MatrixView<double>& query,
                                    std::uint64_t k, double max_share);

}  // namespace quarnel::knn
