// Density-peak step: for every point its nearest clearly denser listed
// neighbour, the distance to it, the density graph and the cluster centres.
#pragma once

#include <cstdint>
#include <vector>

#include "core/index_lists.hpp"
#include "core/views.hpp"

namespace quarnel::cluster {

// A neighbour is denser only when its log-density exceeds the point's by
// more than this margin.
inline constexpr double density_margin = 1e-8;
// A point is a centre when its delta exceeds this fraction of the diagonal.
inline constexpr double centre_factor = 0.999;

struct Peaks {
    std::vector<double> delta;              // distance to nn_delta, or the diagonal
    std::vector<std::int64_t> nn_delta;     // nearest denser listed neighbour, or -1
    std::vector<std::int64_t> idx_centers;  // ascending point indices
};

struct DeltaResult : Peaks {
    IndexLists density_graph;               // list p: the points whose nn_delta is p
};

// Euclidean length of the diagonal of the bounding box of the rows of `x`,
// NaN coordinates skipped.
double bounding_box_diagonal(const MatrixView<double>& x);

// compute_delta without the density graph. Stops with "ndarray: index out of
// bounds" when `rho`, `nn_list` or `nn_dist` lack an element that is read.
// Index is std::int64_t or std::int32_t (the driver's table below 2^31
// points); a negative entry reads as out of bounds with either.
template <class Index>
Peaks nearest_denser(const MatrixView<double>& x, const VectorView<double>& rho,
                     const MatrixView<Index>& nn_list, const MatrixView<double>& nn_dist);

// nearest_denser over the n rows of `nn_list` with the diagonal given: `rho`
// may hold more points than there are rows (a box of a distributed run
// lists neighbours that other boxes hold, and its diagonal is the whole
// input's), and every entry of `nn_list` indexes `rho`.
template <class Index>
Peaks nearest_denser_rows(double diagonal, const VectorView<double>& rho,
                          const MatrixView<Index>& nn_list, const MatrixView<double>& nn_dist);

// n is the row count of `x`. Stops with "ndarray: index out of bounds" when
// `rho`, `nn_list` or `nn_dist` lack an element that is read, and with a
// slice failure when a matched neighbour is not below n.
DeltaResult compute_delta(const MatrixView<double>& x, const VectorView<double>& rho,
                          const MatrixView<std::int64_t>& nn_list,
                          const MatrixView<double>& nn_dist);

}  // namespace quarnel::cluster
