#include "knn/knn.hpp"

#include <cmath>
#include <new>
#include <string>

#include "core/parallel.hpp"
#include "core/stop.hpp"
#include "knn/tree.hpp"

namespace quarnel::knn {
namespace {

constexpr std::size_t query_grain = 512;

void check_dimension(std::size_t d) {
    if (d < 2 || d > 8)
        throw ValueError("Dimensionality " + std::to_string(d) + " not supported (must be 2-8)");
}

// Coordinates beyond this magnitude are refused. Below it, no squared
// distance and no bound the tree derives from coordinates (a sum of at most
// d + 1 squared differences, a midpoint of two coordinates) can overflow.
// Above it, an infinite squared distance is never taken into a row (the tree
// only takes distances below the current worst, which starts at infinity),
// so rows came back short; and an infinite midpoint splits one point off per
// tree level, so the recursive build went as deep as there are points.
constexpr double coordinate_limit = 0x1p508;

bool in_range(double v) { return std::fabs(v) <= coordinate_limit; }  // false for NaN

[[noreturn]] void stop_out_of_range(const char* name, std::size_t row, bool infinite) {
    stop(std::string(name) + ": row " + std::to_string(row) +
         (infinite ? " has an infinite coordinate; k-NN search needs finite coordinates"
                   : " has a coordinate beyond 2^508 in magnitude; k-NN search needs coordinates "
                     "whose squared distances are finite"));
}

// Tree points must be finite and in range: a NaN cannot be ordered along an
// axis, an infinity or a huge value breaks the tree's distances and bounds. A
// NaN is reported as the failure to sort a leaf, whatever the number of points.
void check_tree_points(const MatrixView<double>& x, const char* name) {
    std::size_t bad_row = x.rows;
    bool infinite = false;  // the bad row has an infinite coordinate
    for (std::size_t i = 0; i < x.rows; ++i) {
        for (std::size_t j = 0; j < x.cols; ++j) {
            const double v = x(i, j);
            if (std::isnan(v)) stop("Leaf node sort failed.");
            if (!in_range(v) && (bad_row == x.rows || bad_row == i)) {
                bad_row = i;
                infinite = infinite || std::isinf(v);
            }
        }
    }
    if (bad_row != x.rows) stop_out_of_range(name, bad_row, infinite);
}

// Reads the first D coordinates of query row a, checking the row exists and
// is finite and in range.
template <int D>
std::array<double, D> read_query_row(const MatrixView<double>& q, std::size_t a, const char* name) {
    std::array<double, D> point;
    if (a >= q.rows || q.cols < static_cast<std::size_t>(D)) stop_ndarray();
    bool too_large = false;
    for (int j = 0; j < D; ++j) {
        point[j] = q(a, static_cast<std::size_t>(j));
        if (!std::isfinite(point[j]))
            stop(std::string(name) + ": row " + std::to_string(a) +
                 " has a non-finite coordinate; k-NN search needs finite coordinates");
        too_large = too_large || !in_range(point[j]);
    }
    if (too_large) stop_out_of_range(name, a, false);
    return point;
}

FlatTable allocate(std::size_t rows, std::size_t row_length) {
    if (row_length != 0 && rows > SIZE_MAX / sizeof(double) / row_length) throw std::bad_alloc();
    FlatTable t;
    t.dist.resize(rows * row_length);
    t.index.resize(rows * row_length);
    return t;
}

template <int D, class Position>
FlatTable self_query(const MatrixView<double>& x, std::uint64_t k) {
    const Tree<D, Position> tree(x);
    const std::size_t n = tree.size();
    const std::size_t r = static_cast<std::size_t>(std::min<std::uint64_t>(k, n));
    FlatTable out = allocate(n, r);
    // Queries run in the tree's point order: neighbouring queries then walk
    // the same nodes, which keeps the tree in cache. Each writes its own row.
    parallel_for(
        n,
        [&](std::size_t p) {
            const std::size_t row = tree.row_at(p);
            tree.query(tree.point_at(p), r, out.dist.data() + row * r, out.index.data() + row * r);
        },
        query_grain);
    return out;
}

template <int D, class Position>
FlatTable cross_query(const MatrixView<double>& train, const MatrixView<double>& query, std::uint64_t k,
                      const char* query_name) {
    const Tree<D, Position> tree(train);
    const std::size_t r = static_cast<std::size_t>(std::min<std::uint64_t>(k, tree.size()));
    FlatTable out = allocate(query.rows, r);
    parallel_for(
        query.rows,
        [&](std::size_t i) {
            const auto q = read_query_row<D>(query, i, query_name);
            tree.query(q.data(), r, out.dist.data() + i * r, out.index.data() + i * r);
        },
        query_grain);
    return out;
}

template <template <int> class Fn, class... A>
FlatTable dispatch(std::size_t d, A&&... args) {
    switch (d) {
        case 2: return Fn<2>::run(args...);
        case 3: return Fn<3>::run(args...);
        case 4: return Fn<4>::run(args...);
        case 5: return Fn<5>::run(args...);
        case 6: return Fn<6>::run(args...);
        case 7: return Fn<7>::run(args...);
        case 8: return Fn<8>::run(args...);
    }
    check_dimension(d);
    return {};
}

constexpr bool fits_32_bits(std::size_t n) { return n <= UINT32_MAX; }

template <int D>
struct SelfQuery {
    static FlatTable run(const MatrixView<double>& x, std::uint64_t k) {
        return fits_32_bits(x.rows) ? self_query<D, std::uint32_t>(x, k) : self_query<D, std::uint64_t>(x, k);
    }
};
template <int D>
struct CrossQuery {
    static FlatTable run(const MatrixView<double>& train, const MatrixView<double>& query, std::uint64_t k,
                         const char* query_name) {
        return fits_32_bits(train.rows) ? cross_query<D, std::uint32_t>(train, query, k, query_name)
                                        : cross_query<D, std::uint64_t>(train, query, k, query_name);
    }
};

}  // namespace

FlatTable knn_query(const MatrixView<double>& x, std::uint64_t k, const char* name) {
    check_dimension(x.cols);
    check_tree_points(x, name);
    return dispatch<SelfQuery>(x.cols, x, k);
}

FlatTable knn_query_cross(const MatrixView<double>& train, const MatrixView<double>& query, std::uint64_t k,
                          const char* train_name, const char* query_name) {
    check_dimension(train.cols);
    check_tree_points(train, train_name);
    return dispatch<CrossQuery>(train.cols, train, query, k, query_name);
}

}  // namespace quarnel::knn
