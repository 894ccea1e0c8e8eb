#include "cluster/delta.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "core/parallel.hpp"

namespace quarnel::cluster {

double bounding_box_diagonal(const MatrixView<double>& x) {
    double sum = 0.0;
    for (std::size_t j = 0; j < x.cols; ++j) {
        // Ordered comparisons are false for NaN, so NaN elements are skipped;
        // a column without any other value keeps the extreme start values.
        double hi = -DBL_MAX;
        double lo = DBL_MAX;
        for (std::size_t i = 0; i < x.rows; ++i) {
            const double v = x(i, j);
            if (v > hi) hi = v;
            if (v < lo) lo = v;
        }
        const double extent = hi - lo;
        sum += extent * extent;
    }
    return std::sqrt(sum);
}

namespace {

// Outcome of the scan of one point; nn == -1 means no denser listed neighbour.
struct Record {
    double delta;
    std::int64_t nn;
};

// The densities of a point's first few listed neighbours are fetched this
// many points ahead: they are scattered over the whole array, and most
// points find a denser neighbour among their first columns.
constexpr std::size_t points_ahead = 16;
constexpr std::size_t columns_fetched = 4;

template <class Index>
Record scan_point(std::size_t i, const VectorView<double>& rho,
                  const MatrixView<Index>& nn_list, const MatrixView<double>& nn_dist,
                  double diagonal) {
    const std::size_t ahead = i + points_ahead;
    if (ahead < nn_list.rows) {
        const std::size_t columns = std::min(nn_list.cols, columns_fetched);
        for (std::size_t j = 1; j < columns; ++j) {
            const auto e = static_cast<std::uint64_t>(nn_list(ahead, j));
            if (e < rho.len) {
                __builtin_prefetch(rho.base + static_cast<std::ptrdiff_t>(e) * rho.stride);
            }
        }
        // The matched distance is read from the same place in the other table.
        if (ahead < nn_dist.rows && nn_dist.cols > 1) __builtin_prefetch(nn_dist.row(ahead) + nn_dist.col_stride);
    }
    const double t = rho.at(i) + density_margin;
    const std::size_t k = nn_list.cols;
    // Column 0 is the point itself in a self-query table and is never examined.
    for (std::size_t j = 1; j < k; ++j) {
        const auto e = static_cast<std::uint64_t>(nn_list.at(i, j));
        if (rho.at(e) > t) return {nn_dist.at(i, j), static_cast<std::int64_t>(e)};
    }
    return {diagonal, -1};
}

template <class Index>
Peaks scan(std::size_t n, double diagonal, const VectorView<double>& rho,
           const MatrixView<Index>& nn_list, const MatrixView<double>& nn_dist) {
    // Each point writes its own slots of the two outputs.
    Peaks out;
    out.delta.resize(n);
    out.nn_delta.resize(n);
    parallel_for(n, [&](std::size_t i) {
        const Record r = scan_point(i, rho, nn_list, nn_dist, diagonal);
        out.delta[i] = r.delta;
        out.nn_delta[i] = r.nn;
    });
    const double centre_cut = centre_factor * diagonal;
    for (std::size_t m = 0; m < n; ++m) {
        if (out.delta[m] > centre_cut) out.idx_centers.push_back(static_cast<std::int64_t>(m));
    }
    return out;
}

}  // namespace

template <class Index>
Peaks nearest_denser(const MatrixView<double>& x, const VectorView<double>& rho,
                     const MatrixView<Index>& nn_list, const MatrixView<double>& nn_dist) {
    return scan(x.rows, bounding_box_diagonal(x), rho, nn_list, nn_dist);
}

template <class Index>
Peaks nearest_denser_rows(double diagonal, const VectorView<double>& rho,
                          const MatrixView<Index>& nn_list, const MatrixView<double>& nn_dist) {
    return scan(nn_list.rows, diagonal, rho, nn_list, nn_dist);
}

template Peaks nearest_denser(const MatrixView<double>&, const VectorView<double>&,
                              const MatrixView<std::int64_t>&, const MatrixView<double>&);
template Peaks nearest_denser(const MatrixView<double>&, const VectorView<double>&,
                              const MatrixView<std::int32_t>&, const MatrixView<double>&);
template Peaks nearest_denser_rows(double, const VectorView<double>&,
                                   const MatrixView<std::int64_t>&, const MatrixView<double>&);
template Peaks nearest_denser_rows(double, const VectorView<double>&,
                                   const MatrixView<std::int32_t>&, const MatrixView<double>&);

DeltaResult compute_delta(const MatrixView<double>& x, const VectorView<double>& rho,
                          const MatrixView<std::int64_t>& nn_list,
                          const MatrixView<double>& nn_dist) {
    const std::size_t n = x.rows;
    DeltaResult out{nearest_denser(x, rho, nn_list, nn_dist), {}};
    // The lists are laid out in one buffer (a counting sort of the children
    // by parent): offsets[p] counts list p, then becomes its start, then the
    // place of its next child, and finally its end, which is where list
    // p + 1 starts. The bound check on the parent runs in index order.
    std::vector<std::size_t> offsets(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (out.nn_delta[i] >= 0) ++offsets[checked(n, static_cast<std::uint64_t>(out.nn_delta[i]))];
    }
    std::size_t edges = 0;
    for (std::size_t p = 0; p < n; ++p) {
        const std::size_t count = offsets[p];
        offsets[p] = edges;
        edges += count;
    }
    offsets[n] = edges;
    // Visiting children in index order leaves every list ascending.
    std::vector<std::int64_t> entries(edges);
    for (std::size_t i = 0; i < n; ++i) {
        if (out.nn_delta[i] >= 0) {
            entries[offsets[static_cast<std::size_t>(out.nn_delta[i])]++] =
                static_cast<std::int64_t>(i);
        }
    }
    for (std::size_t p = n; p > 0; --p) offsets[p] = offsets[p - 1];
    offsets[0] = 0;
    out.density_graph = IndexLists(std::move(offsets), std::move(entries));
    return out;
}

}  // namespace quarnel::cluster
