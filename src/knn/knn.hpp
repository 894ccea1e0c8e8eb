// Exact k-nearest-neighbour search on a k-d tree, for 2 to 8 dimensions.
#pragma once

#include <cstdint>
#include <new>

#include "core/buffer.hpp"
#include "core/progress.hpp"
#include "core/views.hpp"

namespace quarnel::knn {

// A flat neighbour table: row after row, each row min(k, tree points) long,
// nearest first; ties in distance are ordered by the smaller index.
template <class Index>
struct Table {
    Buffer<double> dist;
    Buffer<Index> index;
};
using FlatTable = Table<std::int64_t>;
// The same rows with 32-bit indices: a third less memory than FlatTable at
// the same row length, for the driver's self table below 2^31 points.
using NarrowTable = Table<std::int32_t>;

// A table of `rows` rows of `row_length`, left uninitialised: the searches
// write every element of every row.
template <class Index>
Table<Index> allocate(std::size_t rows, std::size_t row_length) {
    if (row_length != 0 && rows > SIZE_MAX / sizeof(double) / row_length) throw std::bad_alloc();
    return {Buffer<double>(rows * row_length), Buffer<Index>(rows * row_length)};
}

// The k nearest rows of `x` for every row of `x`. `name` names the argument
// in stop messages. Throws ValueError for a column count outside 2..8.
FlatTable knn_query(const MatrixView<double>& x, std::uint64_t k, const char* name = "x");

// knn_query's rows with 32-bit indices. Throws ValueError when `x` has
// more rows than an int32 can number. The rows searched are added to
// `progress` as they finish.
NarrowTable knn_table(const MatrixView<double>& x, std::uint64_t k, const char* name = "x",
                      Progress progress = {});

// The k nearest rows of `train` for every row of `query` (first d columns of
// `query` only, d = columns of `train`). The query rows searched are added
// to `progress` as they finish.
FlatTable knn_query_cross(const MatrixView<double>& train, const MatrixView<double>& query,
                          std::uint64_t k, const char* train_name = "x_train",
                          const char* query_name = "x_query", Progress progress = {});

}  // namespace quarnel::knn
