#include "knn/knn.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/parallel.hpp"
#include "core/stop.hpp"
#include "knn/kernel_choice.hpp"
#include "knn/neighbours.hpp"
#include "knn/search.hpp"
#include "knn/search_avx512.hpp"
#include "knn/tree.hpp"
#include "knn/walk.hpp"

namespace quarnel::knn {
namespace {

// Rows of the tree's points checked by a pool thread at a time.
constexpr std::size_t check_grain = 1 << 14;
// Batches (a leaf's points, or the queries that descend to one leaf) handed
// to a pool thread at a time.
constexpr std::size_t leaf_grain = 16;

void check_dimension(std::size_t d) {
    if (d < 2 || d > 8)
        throw ValueError("Dimensionality " + std::to_string(d) + " not supported (must be 2-8)");
}

// Coordinates beyond this magnitude are refused. Below it, no squared
// distance and no bound the search derives from coordinates (a sum of at
// most 8 squared differences of two coordinates) can overflow. Above it,
// distances would overflow to infinity, where they no longer order the
// points, and the pruning bounds with them.
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
// Read in chunks in parallel, since every query pays for this pass; the
// chunks' findings are combined in row order.
void check_tree_points(const MatrixView<double>& x, const char* name) {
    struct Finding {
        bool nan = false;
        std::size_t bad_row = SIZE_MAX;  // the chunk's first row out of range
        bool infinite = false;           // that row has an infinite coordinate
    };
    const std::size_t chunks = (x.rows + check_grain - 1) / check_grain;
    std::vector<Finding> found(chunks);
    parallel_for(
        chunks,
        [&](std::size_t c) {
            Finding& f = found[c];
            for (std::size_t i = c * check_grain; i < std::min(x.rows, (c + 1) * check_grain); ++i) {
                for (std::size_t j = 0; j < x.cols; ++j) {
                    const double v = x(i, j);
                    if (std::isnan(v)) {
                        f.nan = true;
                        return;
                    }
                    if (!in_range(v) && (f.bad_row == SIZE_MAX || f.bad_row == i)) {
                        f.bad_row = i;
                        f.infinite = f.infinite || std::isinf(v);
                    }
                }
            }
        },
        1);
    for (const Finding& f : found)
        if (f.nan) stop("Leaf node sort failed.");
    for (const Finding& f : found)
        if (f.bad_row != SIZE_MAX) stop_out_of_range(name, f.bad_row, f.infinite);
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

const Kernel kernel = search_kernel();

template <int D, class Position, class Rows>
void search(const Tree<D, Position>& tree, const double* queries, std::size_t count, const Box<D>& box,
            Rows& rows) {
    if constexpr (avx512::is_block_rows<Rows>) {
        avx512::search_batch<D>(tree, queries, count, box, rows);  // picked only with the AVX-512 kernel
    } else {
        if (kernel == Kernel::avx512)
            avx512::search_batch<D>(tree, queries, count, box, rows);
        else if (kernel == Kernel::avx2)
            search_batch_avx2<D>(tree, queries, count, box, rows);
        else
            search_batch_baseline<D>(tree, queries, count, box, rows);
    }
}

// The rows of a batch's queries lie anywhere in the output tables: their
// cache lines are requested before the search, so that they have arrived by
// the time the rows are written.
template <class T>
void prefetch_for_writing(const T* row, std::size_t length) {
    const char* begin = reinterpret_cast<const char*>(row);
    const char* end = reinterpret_cast<const char*>(row + length);
    for (const char* p = begin; p < end; p += 64) __builtin_prefetch(p, 1, 2);
    __builtin_prefetch(end - 1, 1, 2);
}

// Rows up to this long are kept sorted by insertion, longer ones in a heap.
constexpr std::size_t sorted_row_limit = 32;
// With the AVX-512 kernel, rows up to this long are kept in whole blocks of
// eight entries, inserted into without data-dependent branches.
constexpr std::size_t block_row_limit = 32;

// Calls run.template operator()<Rows>() with the row store for rows of r
// entries.
template <class Run>
void with_rows(std::size_t r, const Run& run) {
    if (kernel == Kernel::avx512 && r <= block_row_limit) {
        switch ((r + 7) / 8) {
            case 1: run.template operator()<BlockRows<1>>(); break;
            case 2: run.template operator()<BlockRows<2>>(); break;
            case 3: run.template operator()<BlockRows<3>>(); break;
            default: run.template operator()<BlockRows<4>>(); break;
        }
    } else if (r <= sorted_row_limit) {
        run.template operator()<SortedRows>();
    } else {
        run.template operator()<HeapRows>();
    }
}

// Searches a batch of `count` queries held in `box` (axis by axis, as
// search_batch takes them) and writes query q's row, r long, to row
// destination(q) of `out`.
template <int D, class Position, class Rows, class Index, class Destination>
void search_into(const Tree<D, Position>& tree, const double* queries, std::size_t count, const Box<D>& box,
                 std::size_t r, Table<Index>& out, const Destination& destination) {
    for (std::size_t q = 0; q < count; ++q) {
        const std::size_t row = destination(q);
        prefetch_for_writing(out.dist.data() + row * r, r);
        prefetch_for_writing(out.index.data() + row * r, r);
    }
    Rows& rows = thread_rows<Rows>();
    rows.reset(count, r);
    search<D>(tree, queries, count, box, rows);
    if constexpr (avx512::is_block_rows<Rows>) {
        avx512::write_rows(rows, count, out.dist.data(), out.index.data(), destination);
    } else {
        for (std::size_t q = 0; q < count; ++q) {
            const std::size_t row = destination(q);
            rows.write(q, out.dist.data() + row * r, out.index.data() + row * r);
        }
    }
}

template <int D, class Position, class Rows, class Index>
void self_query_rows(const Tree<D, Position>& tree, std::size_t r, Table<Index>& out, RowsDone& done) {
    // One batch per leaf: its points are queries close together, so they
    // share one walk of the tree.
    parallel_for(
        tree.leaves().size(),
        [&](std::size_t l) {
            const auto& leaf = tree.nodes()[tree.leaves()[l]];
            const std::size_t count = leaf.end - leaf.begin;
            double queries[batch_size<D> * D] = {};
            for (int j = 0; j < D; ++j)
                std::copy_n(tree.leaf_axis(leaf, j), count, queries + static_cast<std::size_t>(j) * batch_size<D>);
            search_into<D, Position, Rows>(tree, queries, count, leaf.box, r, out,
                                           [&](std::size_t q) -> std::size_t { return tree.row_at(leaf.begin + q); });
            done.add(count);
        },
        leaf_grain);
}

template <int D, class Position, class Index>
Table<Index> self_query(const MatrixView<double>& x, std::uint64_t k, Progress progress) {
    const std::size_t r = static_cast<std::size_t>(std::min<std::uint64_t>(k, x.rows));
    Table<Index> out = allocate<Index>(x.rows, r);
    // The output tables lend their memory to the build, which is done with
    // it before the search writes the rows.
    const Tree<D, Position> tree(x, {out.dist.data(), out.index.data(), out.index.size() * sizeof(Index)});
    RowsDone done(progress);
    if (r == 0) {
        done.finish(x.rows);
        return out;
    }
    with_rows(r, [&]<class Rows>() { self_query_rows<D, Position, Rows>(tree, r, out, done); });
    done.finish(x.rows);
    return out;
}

template <int D, class Position, class Rows>
void cross_query_rows(const Tree<D, Position>& tree, const std::vector<double>& queries, std::size_t r,
                      FlatTable& out, RowsDone& done) {
    const Batches batches =
        group_by_home_leaf<Position>(queries.size() / D, tree.nodes().size(), batch_size<D>,
                                     [&](std::size_t i) { return tree.home_leaf(queries.data() + i * D); });
    parallel_for(
        batches.start.size() - 1,
        [&](std::size_t b) {
            const std::size_t begin = batches.start[b];
            const std::size_t count = batches.start[b + 1] - begin;
            double points[batch_size<D> * D] = {};
            Box<D> box;
            for (int j = 0; j < D; ++j) box.lo[j] = box.hi[j] = queries[batches.order[begin] * D + j];
            for (std::size_t q = 0; q < count; ++q) {
                for (int j = 0; j < D; ++j) {
                    const double v = queries[batches.order[begin + q] * D + j];
                    points[static_cast<std::size_t>(j) * batch_size<D> + q] = v;
                    box.lo[j] = std::min(box.lo[j], v);
                    box.hi[j] = std::max(box.hi[j], v);
                }
            }
            search_into<D, Position, Rows>(tree, points, count, box, r, out,
                                           [&](std::size_t q) { return batches.order[begin + q]; });
            done.add(count);
        },
        leaf_grain);
}

template <int D, class Position>
FlatTable cross_query(const MatrixView<double>& train, const MatrixView<double>& query, std::uint64_t k,
                      const char* query_name, Progress progress) {
    const std::size_t r = static_cast<std::size_t>(std::min<std::uint64_t>(k, train.rows));
    FlatTable out = allocate<std::int64_t>(query.rows, r);
    const Tree<D, Position> tree(train, {out.dist.data(), out.index.data(), out.index.size() * sizeof(std::int64_t)});
    // Every query row is read and checked, in row order, even when the rows
    // are empty: the first bad row is the one reported.
    std::vector<double> queries(query.rows * D);
    for (std::size_t i = 0; i < query.rows; ++i) {
        const auto q = read_query_row<D>(query, i, query_name);
        std::copy(q.begin(), q.end(), queries.begin() + static_cast<std::ptrdiff_t>(i * D));
    }
    RowsDone done(progress);
    if (r == 0) {
        done.finish(query.rows);
        return out;
    }
    with_rows(r, [&]<class Rows>() { cross_query_rows<D, Position, Rows>(tree, queries, r, out, done); });
    done.finish(query.rows);
    return out;
}

template <template <int> class Fn, class Result = FlatTable, class... A>
Result dispatch(std::size_t d, A&&... args) {
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
        return fits_32_bits(x.rows) ? self_query<D, std::uint32_t, std::int64_t>(x, k, {})
                                    : self_query<D, std::uint64_t, std::int64_t>(x, k, {});
    }
};
// Rows below 2^31 only (knn_table checks): 32-bit positions always.
template <int D>
struct NarrowSelfQuery {
    static NarrowTable run(const MatrixView<double>& x, std::uint64_t k, Progress progress) {
        return self_query<D, std::uint32_t, std::int32_t>(x, k, progress);
    }
};
template <int D>
struct CrossQuery {
    static FlatTable run(const MatrixView<double>& train, const MatrixView<double>& query, std::uint64_t k,
                         const char* query_name, Progress progress) {
        return fits_32_bits(train.rows) ? cross_query<D, std::uint32_t>(train, query, k, query_name, progress)
                                        : cross_query<D, std::uint64_t>(train, query, k, query_name, progress);
    }
};

}  // namespace

FlatTable knn_query(const MatrixView<double>& x, std::uint64_t k, const char* name) {
    check_dimension(x.cols);
    check_tree_points(x, name);
    return dispatch<SelfQuery>(x.cols, x, k);
}

NarrowTable knn_table(const MatrixView<double>& x, std::uint64_t k, const char* name, Progress progress) {
    if (x.rows > static_cast<std::size_t>(INT32_MAX))
        throw ValueError(std::to_string(x.rows) + " points are more than 32-bit indices can number");
    check_dimension(x.cols);
    check_tree_points(x, name);
    return dispatch<NarrowSelfQuery, NarrowTable>(x.cols, x, k, progress);
}

FlatTable knn_query_cross(const MatrixView<double>& train, const MatrixView<double>& query, std::uint64_t k,
                          const char* train_name, const char* query_name, Progress progress) {
    check_dimension(train.cols);
    check_tree_points(train, train_name);
    return dispatch<CrossQuery>(train.cols, train, query, k, query_name, progress);
}

Kernel search_kernel() {
    static const Kernel chosen = [] {
        __builtin_cpu_init();
        const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                            __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
        const bool avx2 = __builtin_cpu_supports("avx2");
        const char* choice = std::getenv("QUARNEL_KNN_KERNEL");
        Kernel widest = Kernel::avx512;
        if (choice != nullptr && std::strcmp(choice, "baseline") == 0) widest = Kernel::baseline;
        if (choice != nullptr && std::strcmp(choice, "avx2") == 0) widest = Kernel::avx2;
        if (widest == Kernel::avx512 && avx512) return Kernel::avx512;
        if (widest != Kernel::baseline && avx2) return Kernel::avx2;
        return Kernel::baseline;
    }();
    return chosen;
}

}  // namespace quarnel::knn
