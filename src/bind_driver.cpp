// quarnel_cluster._native: the native helpers of the driver package.
//
// The quarnel module's functions are what a run is made of; these are the
// few steps between them that the driver would otherwise do in NumPy at
// several times the cost on large runs: the peaks without the density
// graph's n Python lists (the driver builds them only when a user asks),
// labels on the parent forest, the saddles between touching clusters and
// the walk down them.
// Below 2^31 points the driver's self table holds 32-bit indices (knn_table:
// a quarter less memory than knn_query's table, which sets a run's peak),
// so the helpers that read the table take int32 or int64 indices.
// The same boundary converts their arguments and results; every helper lets
// go of the interpreter lock while it computes (`helper`).
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <variant>

#include "boundary.hpp"
#include "cluster/candidates.hpp"
#include "cluster/delta.hpp"
#include "cluster/forest.hpp"
#include "cluster/saddles.hpp"
#include "cluster/shallow.hpp"
#include "knn/knn.hpp"
#include "knn/wide.hpp"

namespace quarnel::py {
namespace {

// Every helper lets go of the interpreter lock while it computes: a
// distributed run's worker serves the other workers' data from its event
// loop while its task computes (a held lock would stall the other workers'
// fetches for the whole search, and for the peaks, chains and saddles of a
// box), and a client runs a local cluster's scheduler.
template <auto Body>
constexpr Function helper(const char* name, std::span<const char* const> params, const char* raw_doc,
                          std::size_t keywords = 0) {
    return function<Body, Lock::released>(name, params, raw_doc, keywords);
}

// (delta, nn_delta, centers) of a peaks scan.
auto peaks_result(cluster::Peaks&& r) {
    return std::tuple(std::move(r.delta), std::move(r.nn_delta), std::move(r.idx_centers));
}

knn::NarrowTable knn_table(MatrixView<double> x, std::uint64_t k, Progress progress) {
    return knn::knn_table(x, k, "x", progress);
}

knn::FlatTable knn_cross(MatrixView<double> x_train, MatrixView<double> x_query, std::uint64_t k,
                         Progress progress) {
    return knn::knn_query_cross(x_train, x_query, k, "x_train", "x_query", progress);
}

// The search of any number of columns (knn/wide.hpp): the table, or None
// where it declines (a coordinate beyond its range, or a tree that cannot
// prune: a sample of queries scans more than max_share of the points each).
// Its self table holds int32 indices below 2^31 points, as knn_table's.
std::variant<std::optional<knn::NarrowTable>, std::optional<knn::FlatTable>> knn_wide_table(
    MatrixView<double> x, std::uint64_t k, double max_share) {
    if (x.rows <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return knn::wide_table<std::int32_t>(x, k, max_share);
    }
    return knn::wide_table<std::int64_t>(x, k, max_share);
}

std::optional<knn::FlatTable> knn_wide_cross(MatrixView<double> x_train, MatrixView<double> x_query,
                                             std::uint64_t k, double max_share) {
    return knn::wide_cross(x_train, x_query, k, max_share);
}

auto nearest_denser(MatrixView<double> x, VectorView<double> rho, IndexTable nn_list,
                    MatrixView<double> nn_dist) {
    cluster::Peaks r = std::visit(
        [&](const auto& table) { return cluster::nearest_denser(x, rho, table, nn_dist); }, nn_list);
    // compute_delta's check on the parents, without its lists.
    for (const std::int64_t p : r.nn_delta) {
        if (p >= 0) checked(r.nn_delta.size(), static_cast<std::uint64_t>(p));
    }
    return peaks_result(std::move(r));
}

auto nearest_denser_rows(VectorView<double> rho, IndexTable nn_list, MatrixView<double> nn_dist,
                         double diagonal) {
    return peaks_result(std::visit(
        [&](const auto& table) { return cluster::nearest_denser_rows(diagonal, rho, table, nn_dist); },
        nn_list));
}

std::vector<std::int64_t> forest_labels(Slice<std::int64_t> centers, Slice<std::int64_t> nn_delta) {
    return cluster::forest_labels(centers, nn_delta);
}

// (a, b, saddle) of the touching pairs: through every row of nn_list, or
// (Rows) through its rows only, whose entries may index more points.
template <bool Rows>
auto highest_saddles(Slice<std::int64_t> labels, Slice<double> rho, IndexTable nn_list,
                     std::uint64_t width) {
    cluster::Saddles s = std::visit(
        [&](const auto& table) {
            const auto w = static_cast<std::size_t>(width);
            if constexpr (Rows)
                return cluster::highest_saddles_rows(labels, rho, table, w);
            else
                return cluster::highest_saddles(labels, rho, table, w);
        },
        nn_list);
    return std::tuple(std::move(s.a), std::move(s.b), std::move(s.level));
}

std::vector<std::int64_t> first_candidates(Slice<std::int64_t> row, Slice<double> sq,
                                           Slice<std::int64_t> index, std::uint64_t rows,
                                           std::uint64_t k) {
    return cluster::first_candidates(row, sq, index, static_cast<std::size_t>(rows),
                                     static_cast<std::size_t>(k));
}

// np.maximum's rule: a NaN on either side is the result.
double max_or_nan(double a, double b) {
    if (a != a) return a;
    if (b != b) return b;
    return a > b ? a : b;
}

// The points an asked box of a distributed run searches for one asking box,
// in one pass over the point rows, where NumPy takes a pass per operation
// on the gaps of every point near a wall.
std::vector<std::int64_t> within_reach(MatrixView<double> x, VectorView<double> wall,
                                       VectorView<double> lo, VectorView<double> hi, double reach) {
    if (wall.size() != x.rows) throw ValueError("wall must hold one distance per row of x");
    if (lo.size() != x.cols || hi.size() != x.cols) {
        throw ValueError("lo and hi must hold one bound per column of x");
    }
    std::vector<std::int64_t> rows;
    for (std::size_t i = 0; i < x.rows; ++i) {
        if (!(wall[i] <= reach)) continue;
        // Boxes.gap's sum: squares added in column order from zero, then the root.
        double s = 0.0;
        for (std::size_t j = 0; j < x.cols; ++j) {
            const double v = x(i, j);
            const double g = max_or_nan(max_or_nan(lo[j] - v, 0.0), max_or_nan(v - hi[j], 0.0));
            s = s + g * g;
        }
        if (std::sqrt(s) <= reach) rows.push_back(static_cast<std::int64_t>(i));
    }
    return rows;
}

// Squared distances from each row of q to the rows of x that idx lists (a
// distributed run's candidates from other boxes and its own, compared by
// squared distance), summed as the k-d tree search sums them: x - q per
// column, squared and added in column order from zero, each step rounded
// once. Native, so that the (rows, k, d) coordinates are never gathered,
// as NumPy would need them.
std::vector<double> gathered_squares(MatrixView<double> q, MatrixView<double> x, IndexTable idx_table) {
    return std::visit(
        [&](const auto& idx) {
            if (idx.rows != q.rows) throw ValueError("idx must hold one row per row of q");
            if (x.cols != q.cols) throw ValueError("q and x must have the same number of columns");
            std::vector<double> out(idx.rows * idx.cols);
            for (std::size_t i = 0; i < idx.rows; ++i) {
                for (std::size_t j = 0; j < idx.cols; ++j) {
                    const std::int64_t p = idx(i, j);
                    if (p < 0 || static_cast<std::uint64_t>(p) >= x.rows)
                        throw ValueError("idx holds a row outside x");
                    const auto r = static_cast<std::size_t>(p);
                    double s = 0.0;
                    for (std::size_t c = 0; c < q.cols; ++c) {
                        const double e = x(r, c) - q(i, c);
                        s = s + e * e;
                    }
                    out[i * idx.cols + j] = s;
                }
            }
            return out;
        },
        idx_table);
}

// Per radius, how many rows have 0, 1, ..., k of their first k distances
// within it: what the median neighbourhood sizes of a distributed run are
// taken from, per box, in one pass over the table per radius.
std::vector<std::int64_t> radius_counts(MatrixView<double> d, std::uint64_t k_arg, VectorView<double> radii) {
    if (k_arg > d.cols) throw ValueError("k must be at most the number of columns of dist");
    const auto k = static_cast<std::size_t>(k_arg);
    std::vector<std::int64_t> out(radii.size() * (k + 1), 0);
    for (std::size_t r = 0; r < radii.size(); ++r) {
        const double radius = radii[r];
        std::int64_t* counts = out.data() + r * (k + 1);
        for (std::size_t i = 0; i < d.rows; ++i) {
            std::size_t within = 0;
            for (std::size_t j = 0; j < k; ++j) within += d(i, j) <= radius;
            ++counts[within];
        }
    }
    return out;
}

// (root per cluster, joined roots, the roots they joined, and the tree's
// meetings: high, low, saddle index, standing)
auto merge_shallow(Slice<std::int64_t> a, Slice<std::int64_t> b, Slice<double> saddle,
                   Slice<double> peak, Slice<std::int64_t> rank, double threshold,
                   double spread, Slice<std::int64_t> tested) {
    cluster::ShallowJoins j =
        cluster::merge_shallow(a, b, saddle, peak, rank, threshold, spread, tested);
    return std::tuple(std::move(j.root), std::move(j.low), std::move(j.high),
                      std::move(j.tree_high), std::move(j.tree_low), std::move(j.tree_at),
                      std::move(j.standing));
}

constexpr const char* knn_table_params[] = {"x", "k", "progress"};
constexpr Function knn_table_fn = helper<knn_table>(
    "knn_table", knn_table_params,
    "knn_table(x, k, *, progress=None)\n--\n\n"
    "quarnel.knn_query's rows with int32 indices (below 2^31 points):\n"
    "(nn_dist, nn_indices) as flat arrays that Python reshapes to (n, k).\n"
    "progress, an int64 array of shape (1,), has the finished rows added to\n"
    "it while the search runs.",
    1);

constexpr const char* knn_cross_params[] = {"x_train", "x_query", "k", "progress"};
constexpr Function knn_cross_fn = helper<knn_cross>(
    "knn_cross", knn_cross_params,
    "knn_cross(x_train, x_query, k, *, progress=None)\n--\n\n"
    "quarnel.knn_query_cross, letting other Python threads run while it\n"
    "searches: (nn_dist, nn_indices) as flat arrays. progress, an int64\n"
    "array of shape (1,), has the finished query rows added to it while the\n"
    "search runs.",
    1);

constexpr const char* knn_wide_table_params[] = {"x", "k", "max_share"};
constexpr Function knn_wide_table_fn = helper<knn_wide_table>(
    "knn_wide_table", knn_wide_table_params,
    "knn_wide_table(x, k, max_share)\n--\n\n"
    "knn_table's rows for any number of columns, int32 indices below 2^31\n"
    "points (else int64), as flat arrays; None where the search declines\n"
    "(a coordinate not finite or beyond its range, or a sample of queries\n"
    "scanning more than max_share of the points each on average).");

constexpr const char* knn_wide_cross_params[] = {"x_train", "x_query", "k", "max_share"};
constexpr Function knn_wide_cross_fn = helper<knn_wide_cross>(
    "knn_wide_cross", knn_wide_cross_params,
    "knn_wide_cross(x_train, x_query, k, max_share)\n--\n\n"
    "knn_cross's rows for any number of columns (int64 indices), or None\n"
    "where the search declines (see knn_wide_table).");

constexpr const char* nearest_denser_params[] = {"x", "rho", "nn_list", "nn_dist"};
constexpr Function nearest_denser_fn = helper<nearest_denser>(
    "nearest_denser", nearest_denser_params,
    "nearest_denser(x, rho, nn_list, nn_dist)\n--\n\n"
    "quarnel.compute_delta without the density graph: (delta, nn_delta, centers).\n"
    "nn_list may hold int32 or int64 indices.");

constexpr const char* nearest_denser_rows_params[] = {"rho", "nn_list", "nn_dist", "diagonal"};
constexpr Function nearest_denser_rows_fn = helper<nearest_denser_rows>(
    "nearest_denser_rows", nearest_denser_rows_params,
    "nearest_denser_rows(rho, nn_list, nn_dist, diagonal)\n--\n\n"
    "nearest_denser for the rows of nn_list, whose entries index rho (which\n"
    "may hold more points than rows), with the diagonal given:\n"
    "(delta, nn_delta, centers).");

constexpr const char* forest_labels_params[] = {"centers", "nn_delta"};
constexpr Function forest_labels_fn = helper<forest_labels>(
    "forest_labels", forest_labels_params,
    "forest_labels(centers, nn_delta)\n--\n\n"
    "Per point, the largest position in centers of a centre among its\n"
    "ancestors-or-self along nn_delta; -1 with none.");

constexpr const char* highest_saddles_params[] = {"labels", "rho", "nn_list", "width"};
constexpr Function highest_saddles_fn = helper<highest_saddles<false>>(
    "highest_saddles", highest_saddles_params,
    "highest_saddles(labels, rho, nn_list, width)\n--\n\n"
    "Every pair of touching clusters a < b, ascending, with its highest\n"
    "saddle through the first width columns of nn_list (int32 or int64):\n"
    "(a, b, saddle).");

constexpr Function highest_saddles_rows_fn = helper<highest_saddles<true>>(
    "highest_saddles_rows", highest_saddles_params,
    "highest_saddles_rows(labels, rho, nn_list, width)\n--\n\n"
    "highest_saddles through the rows of nn_list only, whose entries index\n"
    "labels and rho (which may hold more points than rows): (a, b, saddle).");

constexpr const char* first_candidates_params[] = {"row", "sq", "index", "rows", "k"};
constexpr Function first_candidates_fn = helper<first_candidates>(
    "first_candidates", first_candidates_params,
    "first_candidates(row, sq, index, rows, k)\n--\n\n"
    "Per row 0 .. rows - 1, the positions of its first k candidates\n"
    "(row[e] == row) by (sq, index, position): a flat rows * k array, -1\n"
    "where a row has fewer than k.");

constexpr const char* within_reach_params[] = {"x", "wall", "lo", "hi", "reach"};
constexpr Function within_reach_fn = helper<within_reach>(
    "within_reach", within_reach_params,
    "within_reach(x, wall, lo, hi, reach)\n--\n\n"
    "The rows i of x, ascending, with wall[i] <= reach whose distance to the\n"
    "box [lo, hi] (Boxes.gap: squares summed in column order, then the root)\n"
    "is at most reach: an int64 array.");

constexpr const char* gathered_squares_params[] = {"q", "x", "idx"};
constexpr Function gathered_squares_fn = helper<gathered_squares>(
    "gathered_squares", gathered_squares_params,
    "gathered_squares(q, x, idx)\n--\n\n"
    "Per row i of q and column j of idx (int32 or int64), the squared\n"
    "distance from q[i] to x[idx[i, j]]: squares of the differences added\n"
    "in column order from zero. A flat float64 array of idx's size.");

constexpr const char* radius_counts_params[] = {"dist", "k", "radii"};
constexpr Function radius_counts_fn = helper<radius_counts>(
    "radius_counts", radius_counts_params,
    "radius_counts(dist, k, radii)\n--\n\n"
    "Per radius, the number of rows of dist with c of their first k entries\n"
    "at most the radius, for c = 0 .. k: a flat int64 array of\n"
    "len(radii) * (k + 1) counts.");

constexpr const char* merge_shallow_params[] = {"a",    "b",         "saddle", "peak",
                                                 "rank", "threshold", "spread", "tested"};
constexpr Function merge_shallow_fn = helper<merge_shallow>(
    "merge_shallow", merge_shallow_params,
    "merge_shallow(a, b, saddle, peak, rank, threshold, spread, tested)\n--\n\n"
    "The walk down the saddles (a, b, saddle), highest first, ties in the\n"
    "given order: where two groups meet, the one whose root has the larger\n"
    "rank joins the other if its top stands less than threshold above the\n"
    "saddle. A group's top is its root's peak, or, where peaks that joined\n"
    "it earlier reach within spread of that peak, halfway between the peak\n"
    "and the highest saddle at which such a peak joined (spread < 0: the\n"
    "root's peak). tested: empty, or per saddle 1 where the test is made and\n"
    "0 where it is skipped, and then the walk also follows the merge tree\n"
    "over every saddle. Returns (root per cluster, joined roots, the roots\n"
    "they joined), the joins in the order made, then the tree's meetings\n"
    "(high roots, low roots, saddle indices, and the low root's standing:\n"
    "its top's rise above the saddle over threshold; where the test decided\n"
    "it the other way at another saddle, the standing compared there),\n"
    "empty unless tested is given.");

const PyMethodDef table[] = {
    method_def<knn_table_fn>(),
    method_def<knn_cross_fn>(),
    method_def<knn_wide_table_fn>(),
    method_def<knn_wide_cross_fn>(),
    method_def<nearest_denser_fn>(),
    method_def<nearest_denser_rows_fn>(),
    method_def<forest_labels_fn>(),
    method_def<highest_saddles_fn>(),
    method_def<highest_saddles_rows_fn>(),
    method_def<first_candidates_fn>(),
    method_def<merge_shallow_fn>(),
    method_def<within_reach_fn>(),
    method_def<gathered_squares_fn>(),
    method_def<radius_counts_fn>(),
};

}  // namespace

std::span<const PyMethodDef> driver_functions() { return table; }

}  // namespace quarnel::py
