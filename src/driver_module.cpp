// _quarnel_cluster: the native helpers of the driver package quarnel_cluster.
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
// The same boundary converts their arguments and results.
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

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

// Calls f with the neighbour-table argument in slot i converted as an int32
// matrix when it is one, else as an int64 matrix (whose conversion error is
// the one reported for anything else).
template <class F>
Ref with_index_matrix(const Args& a, std::size_t i, F&& f) {
    if (a.holds_index32_matrix(i)) {
        const Index32Matrix m = a.index32_matrix(i);
        return f(m.view());
    }
    const IndexMatrix m = a.index_matrix(i);
    return f(m.view());
}

// Lets other Python threads run during a long native step that touches no
// Python object: a distributed run's worker serves the other workers' data
// from its event loop while its task computes (a held lock stalled them for
// the whole search, and for the codes, peaks, chains and saddles of a box:
// a tenth to half a second each at 10^6 points, during which the other
// worker's fetches waited). The arguments stay referenced by the call.
class Unlocked {
public:
    Unlocked() : state_(PyEval_SaveThread()) {}
    ~Unlocked() { PyEval_RestoreThread(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    PyThreadState* state_;
};

// f() with the lock let go for its duration (see Unlocked).
template <class F>
auto unlocked(F&& f) {
    Unlocked released;
    return f();
}

// (delta, nn_delta, centers) of a peaks scan.
Ref peaks_result(cluster::Peaks&& r) {
    Ref delta = result_array(std::move(r.delta));
    Ref nn_delta = result_array(std::move(r.nn_delta));
    Ref centres = result_array(std::move(r.idx_centers));
    return tuple(std::move(delta), std::move(nn_delta), std::move(centres));
}

// (a, b, saddle) of the touching pairs.
Ref saddles_result(cluster::Saddles&& s) {
    Ref low = result_array(std::move(s.a));
    Ref high = result_array(std::move(s.b));
    Ref level = result_array(std::move(s.level));
    return tuple(std::move(low), std::move(high), std::move(level));
}

constexpr const char* knn_table_params[] = {"x", "k"};
Ref knn_table_body(const Args& a) {
    const FloatMatrix x = a.float_matrix(0);
    const std::uint64_t k = a.size_scalar(1);
    knn::NarrowTable t = unlocked([&] { return knn::knn_table(x.view(), k); });
    return table_result(std::move(t));
}
constexpr Function knn_table_fn{
    "knn_table", knn_table_params,
    "knn_table(x, k)\n--\n\n"
    "quarnel.knn_query's rows with int32 indices (below 2^31 points):\n"
    "(nn_dist, nn_indices) as flat arrays that Python reshapes to (n, k).",
    &knn_table_body};

constexpr const char* knn_cross_params[] = {"x_train", "x_query", "k"};
Ref knn_cross_body(const Args& a) {
    const FloatMatrix train = a.float_matrix(0);
    const FloatMatrix query = a.float_matrix(1);
    const std::uint64_t k = a.size_scalar(2);
    knn::FlatTable t = unlocked([&] { return knn::knn_query_cross(train.view(), query.view(), k); });
    return table_result(std::move(t));
}
constexpr Function knn_cross_fn{
    "knn_cross", knn_cross_params,
    "knn_cross(x_train, x_query, k)\n--\n\n"
    "quarnel.knn_query_cross, letting other Python threads run while it\n"
    "searches: (nn_dist, nn_indices) as flat arrays.",
    &knn_cross_body};

// The search of any number of columns (knn/wide.hpp): the table, or None
// where the search declines (coordinates beyond its range, or a tree that
// cannot prune: a sample of queries scans more than max_share of the points).
constexpr const char* knn_wide_table_params[] = {"x", "k", "max_share"};
Ref knn_wide_table_body(const Args& a) {
    const FloatMatrix x = a.float_matrix(0);
    const std::uint64_t k = a.size_scalar(1);
    const double max_share = a.float_scalar(2);
    if (x.view().rows <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        auto t = unlocked([&] { return knn::wide_table<std::int32_t>(x.view(), k, max_share); });
        return t ? table_result(std::move(*t)) : Ref::borrow(Py_None);
    }
    auto t = unlocked([&] { return knn::wide_table<std::int64_t>(x.view(), k, max_share); });
    return t ? table_result(std::move(*t)) : Ref::borrow(Py_None);
}
constexpr Function knn_wide_table_fn{
    "knn_wide_table", knn_wide_table_params,
    "knn_wide_table(x, k, max_share)\n--\n\n"
    "knn_table's rows for any number of columns, int32 indices below 2^31\n"
    "points (else int64), as flat arrays; None where the search declines\n"
    "(a coordinate not finite or beyond its range, or a sample of queries\n"
    "scanning more than max_share of the points each on average).",
    &knn_wide_table_body};

constexpr const char* knn_wide_cross_params[] = {"x_train", "x_query", "k", "max_share"};
Ref knn_wide_cross_body(const Args& a) {
    const FloatMatrix train = a.float_matrix(0);
    const FloatMatrix query = a.float_matrix(1);
    const std::uint64_t k = a.size_scalar(2);
    const double max_share = a.float_scalar(3);
    auto t = unlocked([&] { return knn::wide_cross(train.view(), query.view(), k, max_share); });
    return t ? table_result(std::move(*t)) : Ref::borrow(Py_None);
}
constexpr Function knn_wide_cross_fn{
    "knn_wide_cross", knn_wide_cross_params,
    "knn_wide_cross(x_train, x_query, k, max_share)\n--\n\n"
    "knn_cross's rows for any number of columns (int64 indices), or None\n"
    "where the search declines (see knn_wide_table).",
    &knn_wide_cross_body};

constexpr const char* nearest_denser_params[] = {"x", "rho", "nn_list", "nn_dist"};
Ref nearest_denser_body(const Args& a) {
    const FloatMatrix x = a.float_matrix(0);
    const FloatVector rho = a.float_vector(1);
    return with_index_matrix(a, 2, [&](const auto& nn_list) {
        const FloatMatrix nn_dist = a.float_matrix(3);
        cluster::Peaks r = unlocked(
            [&] { return cluster::nearest_denser(x.view(), rho.view(), nn_list, nn_dist.view()); });
        // compute_delta's check on the parents, without its lists.
        for (const std::int64_t p : r.nn_delta) {
            if (p >= 0) checked(r.nn_delta.size(), static_cast<std::uint64_t>(p));
        }
        return peaks_result(std::move(r));
    });
}
constexpr Function nearest_denser_fn{
    "nearest_denser", nearest_denser_params,
    "nearest_denser(x, rho, nn_list, nn_dist)\n--\n\n"
    "quarnel.compute_delta without the density graph: (delta, nn_delta, centers).\n"
    "nn_list may hold int32 or int64 indices.",
    &nearest_denser_body};

constexpr const char* nearest_denser_rows_params[] = {"rho", "nn_list", "nn_dist", "diagonal"};
Ref nearest_denser_rows_body(const Args& a) {
    const FloatVector rho = a.float_vector(0);
    return with_index_matrix(a, 1, [&](const auto& nn_list) {
        const FloatMatrix nn_dist = a.float_matrix(2);
        const double diagonal = a.float_scalar(3);
        cluster::Peaks r = unlocked(
            [&] { return cluster::nearest_denser_rows(diagonal, rho.view(), nn_list, nn_dist.view()); });
        return peaks_result(std::move(r));
    });
}
constexpr Function nearest_denser_rows_fn{
    "nearest_denser_rows", nearest_denser_rows_params,
    "nearest_denser_rows(rho, nn_list, nn_dist, diagonal)\n--\n\n"
    "nearest_denser for the rows of nn_list, whose entries index rho (which\n"
    "may hold more points than rows), with the diagonal given:\n"
    "(delta, nn_delta, centers).",
    &nearest_denser_rows_body};

constexpr const char* forest_labels_params[] = {"centers", "nn_delta"};
Ref forest_labels_body(const Args& a) {
    const IndexVector centres = a.index_vector(0);
    const IndexVector parent = a.index_vector(1);
    const auto c = contiguous(centres);
    const auto p = contiguous(parent);
    std::vector<std::int64_t> labels = unlocked([&] { return cluster::forest_labels(c, p); });
    return result_array(std::move(labels));
}
constexpr Function forest_labels_fn{
    "forest_labels", forest_labels_params,
    "forest_labels(centers, nn_delta)\n--\n\n"
    "Per point, the largest position in centers of a centre among its\n"
    "ancestors-or-self along nn_delta; -1 with none.",
    &forest_labels_body};

constexpr const char* highest_saddles_params[] = {"labels", "rho", "nn_list", "width"};
Ref highest_saddles_body(const Args& a) {
    const IndexVector labels = a.index_vector(0);
    const FloatVector rho = a.float_vector(1);
    return with_index_matrix(a, 2, [&](const auto& nn_list) {
        const std::uint64_t width = a.size_scalar(3);
        const auto l = contiguous(labels);
        const auto r = contiguous(rho);
        cluster::Saddles s = unlocked(
            [&] { return cluster::highest_saddles(l, r, nn_list, static_cast<std::size_t>(width)); });
        return saddles_result(std::move(s));
    });
}
constexpr Function highest_saddles_fn{
    "highest_saddles", highest_saddles_params,
    "highest_saddles(labels, rho, nn_list, width)\n--\n\n"
    "Every pair of touching clusters a < b, ascending, with its highest\n"
    "saddle through the first width columns of nn_list (int32 or int64):\n"
    "(a, b, saddle).",
    &highest_saddles_body};

constexpr const char* highest_saddles_rows_params[] = {"labels", "rho", "nn_list", "width"};
Ref highest_saddles_rows_body(const Args& a) {
    const IndexVector labels = a.index_vector(0);
    const FloatVector rho = a.float_vector(1);
    return with_index_matrix(a, 2, [&](const auto& nn_list) {
        const std::uint64_t width = a.size_scalar(3);
        const auto l = contiguous(labels);
        const auto r = contiguous(rho);
        cluster::Saddles s = unlocked(
            [&] { return cluster::highest_saddles_rows(l, r, nn_list, static_cast<std::size_t>(width)); });
        return saddles_result(std::move(s));
    });
}
constexpr Function highest_saddles_rows_fn{
    "highest_saddles_rows", highest_saddles_rows_params,
    "highest_saddles_rows(labels, rho, nn_list, width)\n--\n\n"
    "highest_saddles through the rows of nn_list only, whose entries index\n"
    "labels and rho (which may hold more points than rows): (a, b, saddle).",
    &highest_saddles_rows_body};

constexpr const char* first_candidates_params[] = {"row", "sq", "index", "rows", "k"};
Ref first_candidates_body(const Args& a) {
    const IndexVector row = a.index_vector(0);
    const FloatVector sq = a.float_vector(1);
    const IndexVector index = a.index_vector(2);
    const std::uint64_t rows = a.size_scalar(3);
    const std::uint64_t k = a.size_scalar(4);
    const auto r = contiguous(row);
    const auto s = contiguous(sq);
    const auto i = contiguous(index);
    std::vector<std::int64_t> take = unlocked([&] {
        return cluster::first_candidates(r, s, i, static_cast<std::size_t>(rows),
                                         static_cast<std::size_t>(k));
    });
    return result_array(std::move(take));
}
constexpr Function first_candidates_fn{
    "first_candidates", first_candidates_params,
    "first_candidates(row, sq, index, rows, k)\n--\n\n"
    "Per row 0 .. rows - 1, the positions of its first k candidates\n"
    "(row[e] == row) by (sq, index, position): a flat rows * k array, -1\n"
    "where a row has fewer than k.",
    &first_candidates_body};

// np.maximum's rule: a NaN on either side is the result.
double max_or_nan(double a, double b) {
    if (a != a) return a;
    if (b != b) return b;
    return a > b ? a : b;
}

// The points an asked box of a distributed run searches for one asking box:
// in NumPy the gaps of every point near a wall took a third of the asked
// box's task at 10^7 points (a pass over the point rows per operation).
constexpr const char* within_reach_params[] = {"x", "wall", "lo", "hi", "reach"};
Ref within_reach_body(const Args& a) {
    const FloatMatrix x_arg = a.float_matrix(0);
    const FloatVector wall_arg = a.float_vector(1);
    const FloatVector lo_arg = a.float_vector(2);
    const FloatVector hi_arg = a.float_vector(3);
    const double reach = a.float_scalar(4);
    const MatrixView<double> x = x_arg.view();
    const VectorView<double> wall = wall_arg.view();
    const VectorView<double> lo = lo_arg.view();
    const VectorView<double> hi = hi_arg.view();
    if (wall.size() != x.rows) throw ValueError("wall must hold one distance per row of x");
    if (lo.size() != x.cols || hi.size() != x.cols) {
        throw ValueError("lo and hi must hold one bound per column of x");
    }
    std::vector<std::int64_t> rows;
    {
        Unlocked released;
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
    }
    return result_array(std::move(rows));
}
constexpr Function within_reach_fn{
    "within_reach", within_reach_params,
    "within_reach(x, wall, lo, hi, reach)\n--\n\n"
    "The rows i of x, ascending, with wall[i] <= reach whose distance to the\n"
    "box [lo, hi] (Boxes.gap: squares summed in column order, then the root)\n"
    "is at most reach: an int64 array.",
    &within_reach_body};

// Squared distances from each row of q to the rows of x that idx lists (a
// distributed run's candidates from other boxes and its own, compared by
// squared distance), summed as the k-d tree search sums them: x - q per
// column, squared and added in column order from zero, each step rounded
// once. In NumPy, over the gathered (rows, k, d) coordinates, they took a
// third of the answers' and merges' time at 10^7 points.
constexpr const char* gathered_squares_params[] = {"q", "x", "idx"};
Ref gathered_squares_body(const Args& a) {
    const FloatMatrix q_arg = a.float_matrix(0);
    const FloatMatrix x_arg = a.float_matrix(1);
    return with_index_matrix(a, 2, [&](const auto& idx) {
        const MatrixView<double> q = q_arg.view();
        const MatrixView<double> x = x_arg.view();
        if (idx.rows != q.rows) throw ValueError("idx must hold one row per row of q");
        if (x.cols != q.cols) throw ValueError("q and x must have the same number of columns");
        std::vector<double> out(idx.rows * idx.cols);
        bool outside = false;
        {
            Unlocked released;
            for (std::size_t i = 0; i < idx.rows && !outside; ++i) {
                for (std::size_t j = 0; j < idx.cols; ++j) {
                    const std::int64_t p = idx(i, j);
                    if (p < 0 || static_cast<std::uint64_t>(p) >= x.rows) {
                        outside = true;
                        break;
                    }
                    const auto r = static_cast<std::size_t>(p);
                    double s = 0.0;
                    for (std::size_t c = 0; c < q.cols; ++c) {
                        const double e = x(r, c) - q(i, c);
                        s = s + e * e;
                    }
                    out[i * idx.cols + j] = s;
                }
            }
        }
        if (outside) throw ValueError("idx holds a row outside x");
        return result_array(std::move(out));
    });
}
constexpr Function gathered_squares_fn{
    "gathered_squares", gathered_squares_params,
    "gathered_squares(q, x, idx)\n--\n\n"
    "Per row i of q and column j of idx (int32 or int64), the squared\n"
    "distance from q[i] to x[idx[i, j]]: squares of the differences added\n"
    "in column order from zero. A flat float64 array of idx's size.",
    &gathered_squares_body};

// Per radius, how many rows have 0, 1, ..., k of their first k distances
// within it: what the median neighbourhood sizes of a distributed run are
// taken from, per box (in NumPy a second of CPU at 10^7 points).
constexpr const char* radius_counts_params[] = {"dist", "k", "radii"};
Ref radius_counts_body(const Args& a) {
    const FloatMatrix d_arg = a.float_matrix(0);
    const std::uint64_t k_arg = a.size_scalar(1);
    const FloatVector r_arg = a.float_vector(2);
    const MatrixView<double> d = d_arg.view();
    const VectorView<double> radii = r_arg.view();
    if (k_arg > d.cols) throw ValueError("k must be at most the number of columns of dist");
    const auto k = static_cast<std::size_t>(k_arg);
    std::vector<std::int64_t> out(radii.size() * (k + 1), 0);
    {
        Unlocked released;
        for (std::size_t r = 0; r < radii.size(); ++r) {
            const double radius = radii[r];
            std::int64_t* counts = out.data() + r * (k + 1);
            for (std::size_t i = 0; i < d.rows; ++i) {
                std::size_t within = 0;
                for (std::size_t j = 0; j < k; ++j) within += d(i, j) <= radius;
                ++counts[within];
            }
        }
    }
    return result_array(std::move(out));
}
constexpr Function radius_counts_fn{
    "radius_counts", radius_counts_params,
    "radius_counts(dist, k, radii)\n--\n\n"
    "Per radius, the number of rows of dist with c of their first k entries\n"
    "at most the radius, for c = 0 .. k: a flat int64 array of\n"
    "len(radii) * (k + 1) counts.",
    &radius_counts_body};

constexpr const char* merge_shallow_params[] = {"a", "b", "saddle", "peak", "rank", "threshold"};
Ref merge_shallow_body(const Args& a) {
    const IndexVector low = a.index_vector(0);
    const IndexVector high = a.index_vector(1);
    const FloatVector level = a.float_vector(2);
    const FloatVector peak = a.float_vector(3);
    const IndexVector rank = a.index_vector(4);
    const double threshold = a.float_scalar(5);
    const auto lo = contiguous(low);
    const auto hi = contiguous(high);
    const auto lv = contiguous(level);
    const auto pk = contiguous(peak);
    const auto rk = contiguous(rank);
    // On a distributed run's client, whose process also runs a local
    // cluster's scheduler: half a second at 10^7 points.
    cluster::ShallowJoins j =
        unlocked([&] { return cluster::merge_shallow(lo, hi, lv, pk, rk, threshold); });
    Ref root = result_array(std::move(j.root));
    Ref joined = result_array(std::move(j.low));
    Ref into = result_array(std::move(j.high));
    return tuple(std::move(root), std::move(joined), std::move(into));
}
constexpr Function merge_shallow_fn{
    "merge_shallow", merge_shallow_params,
    "merge_shallow(a, b, saddle, peak, rank, threshold)\n--\n\n"
    "The walk down the saddles (a, b, saddle), highest first, ties in the\n"
    "given order: where two groups meet, the one whose root has the larger\n"
    "rank joins the other if its root's peak stands less than threshold\n"
    "above the saddle. Returns (root per cluster, joined roots, the roots\n"
    "they joined), the joins in the order made.",
    &merge_shallow_body};

std::array<PyMethodDef, 15> methods = {
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
    PyMethodDef{nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quarnel_cluster",
    "Native helpers of the quarnel_cluster driver.",
    0,
    methods.data(),
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quarnel::py

PyMODINIT_FUNC PyInit__quarnel_cluster(void) {
    return PyModule_Create(&quarnel::py::module_def);
}
