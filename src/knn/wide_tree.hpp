// The tree of the wide search (wide.hpp): a k-d tree over the points'
// coordinates along their principal axes, for any number of columns.
//
// Points whose spread lies in a few directions of many columns sit in
// tilted, thin slabs that boxes aligned with the columns enclose loosely;
// along the principal axes the boxes fit, and a query's squared distance
// along the first few axes is most of its distance. The tree splits and
// prunes in those coordinates ("rotated"); the distances that order the
// neighbours are computed from the original columns only, so the rows never
// depend on the rotation, which need only be close to orthonormal.
//
// The rotated coordinates are computed with rounding, and the rotation is
// orthonormal only to rounding, so a rotated distance can come out slightly
// shorter than the original one. Pruning stays exact by comparing rotated
// bounds against a slightly widened distance (Rotation::widen): with A the
// computed axes (p x d), s >= ||A||_2 and c the centre, the computed
// rotated coordinates y(x) satisfy |y(x) - A (x - c)| <= e |x - c| (e, the
// error unit, from the rounding of the subtraction and of the d-term
// products), hence
//     |y(q) - y(x)| <= s |q - x| + e (|q - c| + |x - c|).
// Any computed sum of squares of m terms is within a factor 1 + m u of its
// exact value (u the unit roundoff, all terms non-negative), which covers
// the rotated bounds (box gaps, partial sums along the first axes) on one
// side and the original squared distance on the other; widen() allows
// several times these factors.
//
// Every node splits its points at the median of the rotated axis along
// which its box is widest, so the tree is balanced whatever the data, and a
// leaf holds leaf_size / 2 to leaf_size points. A leaf's points are stored
// together axis by axis, rotated and original coordinates in two blocks,
// each axis padded to whole kernel lanes (zeros).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "core/buffer.hpp"
#include "core/parallel.hpp"
#include "core/views.hpp"
#include "knn/layout.hpp"

namespace quarnel::knn::wide {

// Lanes of the distance kernel: eight doubles.
inline constexpr std::size_t lanes = 8;
constexpr std::size_t padded(std::size_t count) { return padded_to<lanes>(count); }

inline constexpr double unit_roundoff = std::numeric_limits<double>::epsilon() / 2;

// Eigenvalues of the symmetric d x d matrix `a` (row-major, overwritten) by
// cyclic Jacobi rotations; column j of `v` becomes the eigenvector of
// eigenvalue j. Simple and robust for the few hundred columns at most that
// are searched here (a sweep costs about 6 d^3 operations).
inline std::vector<double> symmetric_eigen(std::vector<double>& a, std::size_t d, std::vector<double>& v) {
    v.assign(d * d, 0.0);
    for (std::size_t i = 0; i < d; ++i) v[i * d + i] = 1.0;
    for (int sweep = 0; sweep < 50; ++sweep) {
        double off = 0.0, diagonal = 0.0;
        for (std::size_t p = 0; p < d; ++p) {
            diagonal += a[p * d + p] * a[p * d + p];
            for (std::size_t q = p + 1; q < d; ++q) off += a[p * d + q] * a[p * d + q];
        }
        if (!(off > 1e-30 * diagonal)) break;
        for (std::size_t p = 0; p + 1 < d; ++p) {
            for (std::size_t q = p + 1; q < d; ++q) {
                const double apq = a[p * d + q];
                if (apq == 0.0) continue;
                const double theta = (a[q * d + q] - a[p * d + p]) / (2.0 * apq);
                double t = 1.0 / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                if (theta < 0) t = -t;
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (std::size_t k = 0; k < d; ++k) {
                    const double akp = a[k * d + p], akq = a[k * d + q];
                    a[k * d + p] = c * akp - s * akq;
                    a[k * d + q] = s * akp + c * akq;
                }
                for (std::size_t k = 0; k < d; ++k) {
                    const double apk = a[p * d + k], aqk = a[q * d + k];
                    a[p * d + k] = c * apk - s * aqk;
                    a[q * d + k] = s * apk + c * aqk;
                }
                for (std::size_t k = 0; k < d; ++k) {
                    const double vkp = v[k * d + p], vkq = v[k * d + q];
                    v[k * d + p] = c * vkp - s * vkq;
                    v[k * d + q] = s * vkp + c * vkq;
                }
            }
        }
    }
    std::vector<double> values(d);
    for (std::size_t i = 0; i < d; ++i) values[i] = a[i * d + i];
    return values;
}

// The rotation into principal axes, and the widening that keeps pruning
// on rotated coordinates exact (see the top of this file).
struct Rotation {
    std::size_t d = 0;            // original columns
    std::size_t p = 0;            // rotated axes kept
    std::vector<double> centre;   // d
    std::vector<double> axes_t;   // d x p: axes_t[i * p + j] is column i of axis j
    double norm_bound = 1.0;      // s >= ||A||_2
    double error_unit = 0.0;      // e

    // Rotated coordinates y[0, p) of row i of x; z holds d scratch values.
    void apply(const MatrixView<double>& x, std::size_t i, double* z, double* y) const {
        for (std::size_t c = 0; c < d; ++c) z[c] = x(i, c) - centre[c];
        std::fill(y, y + p, 0.0);
        for (std::size_t c = 0; c < d; ++c) {
            const double zc = z[c];
            const double* a = axes_t.data() + c * p;
            for (std::size_t j = 0; j < p; ++j) y[j] += a[j] * zc;
        }
    }

    // |x_i - centre|.
    double radius(const MatrixView<double>& x, std::size_t i) const {
        double sum = 0.0;
        for (std::size_t c = 0; c < d; ++c) {
            const double z = x(i, c) - centre[c];
            sum += z * z;
        }
        return std::sqrt(sum);
    }
};

// The widened bound: a point whose computed squared distance to a query is
// at most w has every rotated bound at most widen(w). `reach` bounds
// |q - c| + |x - c| over the queries and points searched.
struct Widening {
    double scale = 1.0;   // (1 + tau) s
    double offset = 0.0;  // e reach
    double factor = 1.0;  // 1 + tau

    Widening() = default;
    Widening(const Rotation& r, double reach) {
        // tau covers the relative errors of the sums of squares on both
        // sides (about (d + 2) u each) and of this computation, several
        // times over.
        const double tau = 8.0 * static_cast<double>(r.d + 8) * unit_roundoff;
        factor = 1.0 + tau;
        scale = factor * r.norm_bound;
        offset = r.error_unit * reach * factor;
    }
    double operator()(double w) const {
        const double root = scale * std::sqrt(w) + offset;
        return root * root * factor;
    }
};

// Rows read for the principal axes, at most: enough for a covariance that
// orients the tree (exactness never depends on it), within about 10^8
// multiply-adds.
inline std::size_t axes_sample(std::size_t n, std::size_t d) {
    const std::size_t budget = std::size_t{200'000'000} / std::max<std::size_t>(d * d, 1);
    return std::min(n, std::max<std::size_t>(1000, std::min<std::size_t>(20'000, budget)));
}

// The principal axes of an evenly spaced sample of the rows of x (which
// must be finite), all d of them, largest spread first.
inline Rotation principal_axes(const MatrixView<double>& x) {
    Rotation r;
    const std::size_t n = x.rows, d = x.cols;
    r.d = d;
    r.p = d;
    r.centre.assign(d, 0.0);
    const std::size_t m = axes_sample(n, d);
    std::vector<std::size_t> rows(m);
    // floor(t n / m) without overflow (t < m <= 20000).
    for (std::size_t t = 0; t < m; ++t) rows[t] = t * (n / m) + t * (n % m) / m;
    for (const std::size_t i : rows)
        for (std::size_t c = 0; c < d; ++c) r.centre[c] += x(i, c);
    if (m != 0)
        for (double& v : r.centre) v /= static_cast<double>(m);
    // Centred and scaled to at most 1 in magnitude: no square overflows.
    double largest = 0.0;
    for (const std::size_t i : rows)
        for (std::size_t c = 0; c < d; ++c) largest = std::max(largest, std::fabs(x(i, c) - r.centre[c]));
    const double unit = largest > 0.0 ? 1.0 / largest : 1.0;
    std::vector<double> cov(d * d, 0.0), z(d);
    for (const std::size_t i : rows) {
        for (std::size_t c = 0; c < d; ++c) z[c] = (x(i, c) - r.centre[c]) * unit;
        for (std::size_t a = 0; a < d; ++a)
            for (std::size_t b = a; b < d; ++b) cov[a * d + b] += z[a] * z[b];
    }
    for (std::size_t a = 0; a < d; ++a)
        for (std::size_t b = 0; b < a; ++b) cov[a * d + b] = cov[b * d + a];
    std::vector<double> v;
    const std::vector<double> values = symmetric_eigen(cov, d, v);
    std::vector<std::size_t> order(d);
    for (std::size_t j = 0; j < d; ++j) order[j] = j;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return values[a] > values[b]; });
    r.axes_t.assign(d * r.p, 0.0);
    for (std::size_t j = 0; j < r.p; ++j)
        for (std::size_t c = 0; c < d; ++c) r.axes_t[c * r.p + j] = v[c * d + order[j]];

    // s: the spectral norm of A is at most the square root of the largest
    // absolute row sum of A A^T; the computed entries of A A^T err by at
    // most d u (1 + d u) |A_j| |A_k|, so each row sum by p times that.
    const double u = unit_roundoff;
    const double dd = static_cast<double>(d), pp = static_cast<double>(r.p);
    const double gamma = dd * u / (1.0 - dd * u);
    double row_max = 0.0;
    for (std::size_t j = 0; j < r.p; ++j) {
        double sq = 0.0;
        for (std::size_t c = 0; c < d; ++c) sq += r.axes_t[c * r.p + j] * r.axes_t[c * r.p + j];
        row_max = std::max(row_max, sq);
    }
    double gram = 0.0;
    for (std::size_t j = 0; j < r.p; ++j) {
        double sum = 0.0;
        for (std::size_t k = 0; k < r.p; ++k) {
            double g = 0.0;
            for (std::size_t c = 0; c < d; ++c) g += r.axes_t[c * r.p + j] * r.axes_t[c * r.p + k];
            sum += std::fabs(g);
        }
        gram = std::max(gram, sum);
    }
    const double s = std::sqrt((gram + 2.0 * pp * gamma * row_max * (1.0 + 1e-6)) * (1.0 + 4.0 * pp * u)) *
                     (1.0 + 4.0 * u);
    r.norm_bound = std::max(s, 1.0);
    // e: the subtraction errs by u |x - c| (times s after the rotation), the
    // d-term products by gamma |A| |z| <= gamma sqrt(p) s |z| in norm; twice
    // that, for the rounding of the norms measured with it.
    r.error_unit = 2.0 * (r.norm_bound * u + gamma * std::sqrt(pp) * r.norm_bound * (1.0 + u)) * (1.0 + (dd + 4.0) * u);
    return r;
}

// A balanced k-d tree over the rotated coordinates of the rows of x.
// `Position` numbers points and nodes (32 bits when the count allows).
template <class Position>
class Tree {
public:
    struct Node {
        double split = 0;    // points left of the split have rotated coordinate `axis` <= split
        Position begin = 0;  // a leaf's points are slots [begin, end)
        Position end = 0;
        Position right = 0;  // right child; the left child follows its parent; 0 in a leaf
        std::uint32_t axis = 0;

        bool is_leaf() const { return right == 0; }
    };

    // Memory the build may use for its two working copies of the rotated
    // points instead of allocating them (the output tables, written only
    // after the build).
    struct Scratch {
        void* first = nullptr;
        std::size_t first_bytes = 0;
        void* second = nullptr;
        std::size_t second_bytes = 0;
    };

    // Reads the rows of x (any strides), which must be finite.
    Tree(const MatrixView<double>& x, Rotation rotation, std::size_t leaf_size, Scratch scratch = {})
        : rotation_(std::move(rotation)), leaf_size_(leaf_size), n_(x.rows), d_(x.cols),
          p_(rotation_.p), box_stride_(2 * padded(rotation_.p)) {
        if (n_ == 0) return;
        const Shape whole = shapes<lanes>(n_, leaf_size_)[0];
        nodes_.resize(whole.nodes);
        leaves_.resize(whole.leaves);
        boxes_.assign(whole.nodes * box_stride_, 0.0);
        y_ = Buffer<double>(whole.slots * p_);
        rows_ = Buffer<Position>(whole.slots);
        build(x, scratch);
        // The original coordinates only once the working copies are gone.
        x_ = Buffer<double>(whole.slots * d_);
        parallel_for(
            leaves_.size(),
            [&](std::size_t l) {
                const Node& leaf = nodes_[leaves_[l]];
                const std::size_t count = leaf.end - leaf.begin, stride = padded(count);
                double* o = x_.data() + static_cast<std::size_t>(leaf.begin) * d_;
                std::fill(o, o + d_ * stride, 0.0);
                for (std::size_t i = 0; i < count; ++i) {
                    const std::size_t row = rows_[leaf.begin + i];
                    for (std::size_t j = 0; j < d_; ++j) o[j * stride + i] = x(row, j);
                }
            },
            16);
    }

    const Rotation& rotation() const { return rotation_; }
    std::size_t size() const { return n_; }
    std::size_t leaf_size() const { return leaf_size_; }
    std::size_t axes() const { return p_; }
    std::size_t cols() const { return d_; }
    // max |x_i - centre| over the points (computed).
    double radius() const { return radius_; }
    const std::vector<Node>& nodes() const { return nodes_; }
    // Node indices of the leaves, in tree order.
    const std::vector<Position>& leaves() const { return leaves_; }
    // A node's box on the rotated axes: lo, then hi, each padded with
    // zeros to whole lanes.
    const double* lo(std::size_t node) const { return boxes_.data() + node * box_stride_; }
    const double* hi(std::size_t node) const { return lo(node) + box_stride_ / 2; }
    // A leaf's rotated and original coordinates: axis j of its points at
    // [j * padded(count)], count = end - begin.
    const double* rotated(const Node& leaf) const { return y_.data() + static_cast<std::size_t>(leaf.begin) * p_; }
    const double* original(const Node& leaf) const { return x_.data() + static_cast<std::size_t>(leaf.begin) * d_; }
    const Position* rows() const { return rows_.data(); }

    // The leaf rotated coordinates y descend to by the split values.
    std::size_t home_leaf(const double* y) const {
        std::size_t i = 0;
        while (!nodes_[i].is_leaf()) {
            const Node& node = nodes_[i];
            i = y[node.axis] <= node.split ? i + 1 : static_cast<std::size_t>(node.right);
        }
        return i;
    }

private:
    static constexpr std::size_t copy_grain = 4096;
    // Subtrees built side by side once the top levels are split.
    static constexpr std::size_t parallel_subtrees = 32;

    // A subtree's place (layout.hpp), its points in working copy `copy`.
    struct Subtree : Place {
        int copy;
    };

    // The rotated coordinates into a working copy, then the nodes (layout.hpp),
    // those of a level in parallel.
    void build(const MatrixView<double>& x, Scratch scratch) {
        const std::size_t bytes = n_ * p_ * sizeof(double);
        Buffer<double> own_first(scratch.first_bytes >= bytes ? 0 : n_ * p_);
        Buffer<double> own_second(scratch.second_bytes >= bytes ? 0 : n_ * p_);
        double* const points[2] = {
            scratch.first_bytes >= bytes ? static_cast<double*>(scratch.first) : own_first.data(),
            scratch.second_bytes >= bytes ? static_cast<double*>(scratch.second) : own_second.data()};
        Buffer<Position> ids_first(n_), ids_second(n_);
        Position* const ids[2] = {ids_first.data(), ids_second.data()};
        // The largest distance to the centre comes with the rotation, chunk
        // by chunk (chunks fixed by n alone; max does not depend on order).
        const std::size_t chunks = (n_ + copy_grain - 1) / copy_grain;
        std::vector<double> radii(chunks, 0.0);
        parallel_for(
            chunks,
            [&](std::size_t c) {
                std::vector<double> z(d_);
                double far = 0.0;
                for (std::size_t i = c * copy_grain; i < std::min(n_, (c + 1) * copy_grain); ++i) {
                    rotation_.apply(x, i, z.data(), points[0] + i * p_);
                    ids[0][i] = static_cast<Position>(i);
                    far = std::max(far, rotation_.radius(x, i));
                }
                radii[c] = far;
            },
            1);
        for (const double v : radii) radius_ = std::max(radius_, v);
        build_by_levels(
            Subtree{{0, n_, 0, 0, 0}, 0}, parallel_subtrees,
            [&](const std::vector<Subtree>& level, std::vector<std::array<Subtree, 2>>& children,
                std::vector<char>& split) {
                parallel_for(
                    level.size(), [&](std::size_t i) { split[i] = make_node(points, ids, level[i], children[i]); },
                    1);
            },
            [&](const Subtree& t, std::array<Subtree, 2>& children) { return make_node(points, ids, t, children); });
    }

    // The node of `t`: its box, then a leaf (false) or a split at the median
    // of its widest axis, the halves moved to the other working copy (true).
    bool make_node(double* const* points, Position* const* ids, const Subtree& t,
                   std::array<Subtree, 2>& children) {
        const std::size_t count = t.end - t.begin;
        const double* from = points[t.copy] + t.begin * p_;
        const Position* from_ids = ids[t.copy] + t.begin;
        double* lo = boxes_.data() + t.node * box_stride_;
        double* hi = lo + box_stride_ / 2;
        std::fill(lo, lo + p_, std::numeric_limits<double>::infinity());
        std::fill(hi, hi + p_, -std::numeric_limits<double>::infinity());
        for (std::size_t i = 0; i < count; ++i) {
            const double* y = from + i * p_;
            for (std::size_t j = 0; j < p_; ++j) {
                lo[j] = std::min(lo[j], y[j]);
                hi[j] = std::max(hi[j], y[j]);
            }
        }
        Node& node = nodes_[t.node];
        if (count <= leaf_size_) {
            lay_out_leaf(from, from_ids, count, t.slot);
            node.begin = static_cast<Position>(t.slot);
            node.end = static_cast<Position>(t.slot + count);
            leaves_[t.leaf] = static_cast<Position>(t.node);
            return false;
        }
        std::size_t axis = 0;
        for (std::size_t j = 1; j < p_; ++j)
            if (hi[j] - lo[j] > hi[axis] - lo[axis]) axis = j;
        thread_local std::vector<std::pair<double, std::size_t>> keys;
        keys.resize(count);
        for (std::size_t i = 0; i < count; ++i) keys[i] = {from[i * p_ + axis], i};
        const std::size_t mid = count / 2;
        const auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
        std::nth_element(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(mid), keys.end(), by_key);
        double split = -std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < mid; ++i) split = std::max(split, keys[i].first);
        double* to = points[!t.copy] + t.begin * p_;
        Position* to_ids = ids[!t.copy] + t.begin;
        for (std::size_t i = 0; i < count; ++i) {
            std::memcpy(to + i * p_, from + keys[i].second * p_, p_ * sizeof(double));
            to_ids[i] = from_ids[keys[i].second];
        }
        const auto [left, right] = halves<lanes>(t, t.begin + mid, leaf_size_);
        children[0] = {left, !t.copy};
        children[1] = {right, !t.copy};
        node.split = split;
        node.axis = static_cast<std::uint32_t>(axis);
        node.right = static_cast<Position>(children[1].node);
        return true;
    }

    // A leaf's rotated coordinates and rows (its original coordinates come
    // after the build).
    void lay_out_leaf(const double* from, const Position* from_ids, std::size_t count, std::size_t slot) {
        const std::size_t stride = padded(count);
        double* y = y_.data() + slot * p_;
        std::fill(y, y + p_ * stride, 0.0);
        for (std::size_t i = 0; i < count; ++i) {
            for (std::size_t j = 0; j < p_; ++j) y[j * stride + i] = from[i * p_ + j];
            rows_[slot + i] = from_ids[i];
        }
        std::fill(rows_.data() + slot + count, rows_.data() + slot + stride, Position{0});
    }

    Rotation rotation_;
    std::size_t leaf_size_;
    std::size_t n_, d_, p_;
    std::size_t box_stride_;
    double radius_ = 0.0;
    std::vector<Node> nodes_;
    std::vector<Position> leaves_;
    std::vector<double> boxes_;
    Buffer<double> y_;
    Buffer<double> x_;
    Buffer<Position> rows_;
};

}  // namespace quarnel::knn::wide
