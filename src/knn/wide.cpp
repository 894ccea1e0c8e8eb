#include "knn/wide.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <vector>

#include "core/parallel.hpp"
#include "knn/kernel_choice.hpp"
#include "knn/neighbours.hpp"
#include "knn/walk.hpp"
#include "knn/wide_tree.hpp"

namespace quarnel::knn {
namespace {

using wide::lanes;
using wide::padded;
using wide::Rotation;
using wide::Widening;

// Points per leaf (and queries per batch): of 16, 32, 64 and 128, 64 and
// 128 were the fastest in 16 and 50 columns.
constexpr std::size_t leaf_size = 64;
// Rotated axes summed between two checks of whether a group of points is
// already beyond reach.
constexpr std::size_t screen_step = 4;
// Batches searched first, spread evenly over the tree, to measure how much
// of the tree a query scans.
constexpr std::size_t probe_batches = 32;
// Batches handed to a pool thread at a time.
constexpr std::size_t batch_grain = 8;
constexpr std::size_t check_grain = 1 << 14;
// Rows up to this long are kept sorted by insertion, longer ones in a heap.
constexpr std::size_t sorted_row_limit = 32;

typedef double Vec __attribute__((vector_size(lanes * sizeof(double))));
typedef std::int64_t VecMask __attribute__((vector_size(lanes * sizeof(double))));

// Vectors are handed around through memory or inlined, never passed by
// value: the baseline build has no wide registers to pass them in.
[[gnu::always_inline]] inline void load(Vec& v, const double* p) { std::memcpy(&v, p, sizeof v); }

// Coordinates are accepted up to this magnitude: below it no rotated
// coordinate, squared distance or bound can overflow (see
// wide_tree.hpp; the rotated sums reach 16 d^3 limit^2).
double coordinate_limit(std::size_t d) {
    int log_d = 0;
    while ((std::size_t{1} << log_d) < d) ++log_d;
    return std::ldexp(1.0, 509 - (3 * log_d + 1) / 2);
}

// Whether every coordinate of x is finite and within the limit.
bool searchable(const MatrixView<double>& x) {
    const double limit = coordinate_limit(x.cols);
    const std::size_t chunks = (x.rows + check_grain - 1) / check_grain;
    std::vector<char> ok(chunks, 1);
    parallel_for(
        chunks,
        [&](std::size_t c) {
            for (std::size_t i = c * check_grain; i < std::min(x.rows, (c + 1) * check_grain); ++i)
                for (std::size_t j = 0; j < x.cols; ++j)
                    if (!(std::fabs(x(i, j)) <= limit)) {
                        ok[c] = 0;
                        return;
                    }
        },
        1);
    return std::all_of(ok.begin(), ok.end(), [](char v) { return v != 0; });
}

// A batch of queries, axis by axis: rotated coordinate j of query q at
// y[j * stride + q], original coordinate j at x[j * stride + q]; stride is
// a whole number of lanes and the slots past `count` hold finite values.
struct Batch {
    const double* y;
    const double* x;
    std::size_t stride;
    std::size_t count;
    const double* lo;  // the queries' box on the rotated axes, padded with zeros
    const double* hi;
};

// A thread's working memory, kept from batch to batch.
struct Work {
    std::vector<double> qy, qx;  // query q's rotated and original coordinates, contiguous
    std::vector<double> reach;   // per query, widen(worst distance); -infinity past the batch
    // A batch built from query rows (cross search).
    std::vector<double> y, x, box;
};

Work& thread_work() {
    thread_local Work w;
    return w;
}

// Squared gap between the boxes [alo, ahi] and [blo, bhi] (axes padded to
// whole lanes with zeros). Summed lane-wise: any order of summing these
// non-negative terms stays within the widening's allowance.
[[gnu::always_inline]] inline double box_gap(const double* alo, const double* ahi, const double* blo,
                                             const double* bhi, std::size_t axes) {
    Vec sum = {};
    for (std::size_t j = 0; j < axes; j += lanes) {
        Vec al, ah, bl, bh;
        load(al, alo + j);
        load(ah, ahi + j);
        load(bl, blo + j);
        load(bh, bhi + j);
        const Vec below = bl - ah, above = al - bh;
        Vec t = below > above ? below : above;
        t = t > 0.0 ? t : Vec{};
        sum += t * t;
    }
    return ((sum[0] + sum[1]) + (sum[2] + sum[3])) + ((sum[4] + sum[5]) + (sum[6] + sum[7]));
}

// Lane masks of comparisons, one bit per lane, for each instruction set:
// the same comparison, only the extraction of its bits differs.
struct Avx512 {
    __attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))) static unsigned
    at_most(const Vec& a, const Vec& b) {
        return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ);
    }
};
struct Avx2 {
    __attribute__((target("avx2"))) static unsigned at_most(const Vec& a, const Vec& b) {
        __m256d a0, a1, b0, b1;
        std::memcpy(&a0, &a, 32);
        std::memcpy(&a1, reinterpret_cast<const char*>(&a) + 32, 32);
        std::memcpy(&b0, &b, 32);
        std::memcpy(&b1, reinterpret_cast<const char*>(&b) + 32, 32);
        return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(a0, b0, _CMP_LE_OQ)) |
                                     (_mm256_movemask_pd(_mm256_cmp_pd(a1, b1, _CMP_LE_OQ)) << 4));
    }
};
struct Baseline {
    [[gnu::always_inline]] static unsigned at_most(const Vec& a, const Vec& b) {
        const VecMask m = a <= b;
        unsigned bits = 0;
        for (std::size_t l = 0; l < lanes; ++l) bits |= static_cast<unsigned>(m[l] != 0) << l;
        return bits;
    }
};

// Groups of eight points in a leaf, at most.
constexpr std::size_t max_groups = leaf_size / lanes;

template <class Position, class Rows>
struct Search {
    using Tree = wide::Tree<Position>;
    using Node = typename Tree::Node;

    const Tree& tree;
    const Widening& widen;

    // Offers query q the points of `leaf` whose rotated distance is within
    // its reach. All groups of eight points are summed along the rotated
    // axes side by side, largest spread first, until none of their points
    // can be within reach; the squared distances of the groups left with a
    // point within reach are summed along the original columns in order,
    // and the points within the row's worst distance are offered.
    template <class Isa>
    [[gnu::always_inline]] void scan_leaf(const Node& leaf, std::size_t q, Work& w, Rows& rows) const {
        const std::size_t p = tree.axes(), d = tree.cols();
        const std::size_t count = leaf.end - leaf.begin, stride = padded(count), groups = stride / lanes;
        const double* y = tree.rotated(leaf);
        const double* x = tree.original(leaf);
        const double* qy = w.qy.data() + q * p;
        const double* qx = w.qx.data() + q * d;
        const Position* row_of = tree.rows() + leaf.begin;
        double reach = w.reach[q];
        Vec limit = Vec{} + reach;
        Vec sums[max_groups];
        for (std::size_t g = 0; g < max_groups; ++g) sums[g] = Vec{};
        for (std::size_t j = 0;;) {
            const std::size_t stop = std::min(p, j + screen_step);
            for (; j < stop; ++j) {
                const Vec qj = Vec{} + qy[j];
                const double* axis = y + j * stride;
                for (std::size_t g = 0; g < max_groups; ++g) {
                    if (g >= groups) break;
                    Vec v;
                    load(v, axis + g * lanes);
                    const Vec diff = qj - v;
                    sums[g] += diff * diff;
                }
            }
            if (j == p) break;
            unsigned within = 0;
            for (std::size_t g = 0; g < max_groups; ++g) {
                if (g >= groups) break;
                within |= Isa::at_most(sums[g], limit);
            }
            if (within == 0) return;
        }
        // The groups with a point within reach, and those points.
        std::size_t near_group[max_groups];
        unsigned near_lanes[max_groups];
        std::size_t nears = 0;
        for (std::size_t g = 0; g < max_groups; ++g) {
            if (g >= groups) break;
            const std::size_t real = count - g * lanes;
            const unsigned points = real >= lanes ? 0xffu : (1u << real) - 1;
            const unsigned m = Isa::at_most(sums[g], limit) & points;
            if (m != 0) {
                near_group[nears] = g;
                near_lanes[nears++] = m;
            }
        }
        // Two groups at a time: two independent running sums.
        for (std::size_t i = 0; i < nears; i += 2) {
            const bool pair = i + 1 < nears;
            const double* xa = x + near_group[i] * lanes;
            const double* xb = x + near_group[pair ? i + 1 : i] * lanes;
            Vec ea, eb;
            {
                Vec va, vb;
                load(va, xa);
                load(vb, xb);
                const Vec qc = Vec{} + qx[0];
                const Vec da = qc - va, db = qc - vb;
                ea = da * da;
                eb = db * db;
            }
            for (std::size_t c = 1; c < d; ++c) {
                Vec va, vb;
                load(va, xa + c * stride);
                load(vb, xb + c * stride);
                const Vec qc = Vec{} + qx[c];
                const Vec da = qc - va, db = qc - vb;
                ea = ea + da * da;
                eb = eb + db * db;
            }
            for (int h = 0; h < (pair ? 2 : 1); ++h) {
                const Vec& e = h == 0 ? ea : eb;
                const Position* rows_here = row_of + near_group[i + h] * lanes;
                for (unsigned m = near_lanes[i + h]; m != 0; m &= m - 1) {
                    const int l = __builtin_ctz(m);
                    if (e[l] <= rows.worst(q)) rows.offer(q, e[l], rows_here[l]);
                }
            }
            reach = widen(rows.worst(q));
        }
        w.reach[q] = reach;
    }

    // Scans `leaf` for every query of the batch whose gap to the leaf's box
    // is within its reach; returns the points scanned. The gaps of all the
    // batch's groups of eight queries are summed side by side.
    template <class Isa>
    [[gnu::always_inline]] std::uint64_t visit_leaf(std::size_t node, const Batch& b, Work& w, Rows& rows) const {
        const Node& leaf = tree.nodes()[node];
        const double* lo = tree.lo(node);
        const double* hi = tree.hi(node);
        const std::size_t p = tree.axes(), groups = b.stride / lanes;
        Vec sums[max_groups];
        for (std::size_t g = 0; g < max_groups; ++g) sums[g] = Vec{};
        for (std::size_t j = 0; j < p; ++j) {
            const Vec l = Vec{} + lo[j], h = Vec{} + hi[j];
            const double* axis = b.y + j * b.stride;
            for (std::size_t g = 0; g < max_groups; ++g) {
                if (g >= groups) break;
                Vec v;
                load(v, axis + g * lanes);
                const Vec below = l - v, above = v - h;
                Vec t = below > above ? below : above;
                t = t > 0.0 ? t : Vec{};
                sums[g] += t * t;
            }
        }
        std::uint64_t scanned = 0;
        for (std::size_t g = 0; g < max_groups; ++g) {
            if (g >= groups) break;
            Vec reach;
            load(reach, w.reach.data() + g * lanes);
            for (unsigned m = Isa::at_most(sums[g], reach); m != 0; m &= m - 1) {
                scan_leaf<Isa>(leaf, g * lanes + static_cast<std::size_t>(__builtin_ctz(m)), w, rows);
                scanned += leaf.end - leaf.begin;
            }
        }
        return scanned;
    }

    // Fills `rows` (reset for the batch) with the nearest points of the
    // tree to each query of the batch; returns the points scanned.
    template <class Isa>
    [[gnu::always_inline]] std::uint64_t run(const Batch& b, Work& w, Rows& rows) const {
        const std::size_t p = tree.axes(), d = tree.cols(), axes = padded(p);
        w.qy.resize(b.count * p);
        w.qx.resize(b.count * d);
        for (std::size_t q = 0; q < b.count; ++q) {
            for (std::size_t j = 0; j < p; ++j) w.qy[q * p + j] = b.y[j * b.stride + q];
            for (std::size_t j = 0; j < d; ++j) w.qx[q * d + j] = b.x[j * b.stride + q];
        }
        w.reach.assign(b.stride, -unbounded);
        std::fill(w.reach.begin(), w.reach.begin() + static_cast<std::ptrdiff_t>(b.count), unbounded);
        NearestFirst walk(tree.nodes());
        const auto bound = [&](std::size_t i) __attribute__((always_inline)) {
            return box_gap(b.lo, b.hi, tree.lo(i), tree.hi(i), axes);
        };
        std::uint64_t scanned = 0;
        for (double reach = unbounded;;) {  // the largest reach of the batch
            const std::size_t leaf = walk.next_leaf(reach, bound);
            if (leaf == walk.done) break;
            scanned += visit_leaf<Isa>(leaf, b, w, rows);
            Vec m = Vec{} - unbounded;
            for (std::size_t q0 = 0; q0 < b.count; q0 += lanes) {
                Vec r;
                load(r, w.reach.data() + q0);
                m = m > r ? m : r;
            }
            reach = std::max(std::max(std::max(m[0], m[1]), std::max(m[2], m[3])),
                             std::max(std::max(m[4], m[5]), std::max(m[6], m[7])));
        }
        return scanned;
    }
};

// Each entry point has everything inlined into it (flatten), so that the
// whole search is compiled for its instruction set.
template <class Position, class Rows>
__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"), flatten)) std::uint64_t
search_avx512(const Search<Position, Rows>& s, const Batch& b, Work& w, Rows& rows) {
    return s.template run<Avx512>(b, w, rows);
}
template <class Position, class Rows>
__attribute__((target("avx2"), flatten)) std::uint64_t search_avx2(const Search<Position, Rows>& s, const Batch& b, Work& w,
                                                          Rows& rows) {
    return s.template run<Avx2>(b, w, rows);
}
template <class Position, class Rows>
__attribute__((flatten)) std::uint64_t search_baseline(const Search<Position, Rows>& s, const Batch& b, Work& w, Rows& rows) {
    return s.template run<Baseline>(b, w, rows);
}

// The same kernel as the k-d tree of 2 to 8 columns (kernel_choice.hpp):
// every kernel does the same operations in the same order on every lane, so
// the bits never depend on the choice.
const Kernel kernel = search_kernel();

template <class Position, class Rows>
std::uint64_t search(const Search<Position, Rows>& s, const Batch& b, Work& w, Rows& rows) {
    if (kernel == Kernel::avx512) return search_avx512(s, b, w, rows);
    if (kernel == Kernel::avx2) return search_avx2(s, b, w, rows);
    return search_baseline(s, b, w, rows);
}

// Runs batch(i) for every batch i in [0, batches): first a sample spread
// evenly over them, whose points scanned per query (batch(i) returns the
// points scanned and its queries) decide whether to go on. Returns false,
// leaving the rest, when the sample's queries scanned more than max_share
// of the n points each on average.
template <class Batch>
bool probe_then_search(std::size_t batches, std::size_t n, double max_share, Batch&& batch) {
    const std::size_t step = std::max<std::size_t>(1, batches / probe_batches);
    const std::size_t probed = (batches + step - 1) / step;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> sample(probed);
    parallel_for(probed, [&](std::size_t i) { sample[i] = batch(i * step); }, 1);
    if (probed == batches) return true;
    double scanned = 0, queries = 0;
    for (const auto& [points, count] : sample) {
        scanned += static_cast<double>(points);
        queries += static_cast<double>(count);
    }
    if (scanned > max_share * static_cast<double>(n) * queries) return false;
    parallel_for(
        batches,
        [&](std::size_t i) {
            if (i % step != 0) batch(i);
        },
        batch_grain);
    return true;
}

template <class Position, class Rows, class Index>
bool self_rows(const wide::Tree<Position>& tree, std::size_t r, double max_share, Table<Index>& out) {
    const Widening widen(tree.rotation(), 2.0 * tree.radius());
    const Search<Position, Rows> s{tree, widen};
    return probe_then_search(tree.leaves().size(), tree.size(), max_share, [&](std::size_t l) {
        const std::size_t node = tree.leaves()[l];
        const auto& leaf = tree.nodes()[node];
        const std::size_t count = leaf.end - leaf.begin;
        const Batch b{tree.rotated(leaf), tree.original(leaf), padded(count), count, tree.lo(node), tree.hi(node)};
        Rows& rows = thread_rows<Rows>();
        rows.reset(count, r);
        const std::uint64_t scanned = search(s, b, thread_work(), rows);
        for (std::size_t q = 0; q < count; ++q) {
            const std::size_t row = tree.rows()[leaf.begin + q];
            rows.write(q, out.dist.data() + row * r, out.index.data() + row * r);
        }
        return std::pair<std::uint64_t, std::uint64_t>{scanned, count};
    });
}

template <class Position, class Index>
std::optional<Table<Index>> self_table(const MatrixView<double>& x, std::uint64_t k, double max_share) {
    const std::size_t r = static_cast<std::size_t>(std::min<std::uint64_t>(k, x.rows));
    Table<Index> out = allocate<Index>(x.rows, r);
    if (r == 0) return out;
    const wide::Tree<Position> tree(x, wide::principal_axes(x), leaf_size,
                                    {out.dist.data(), out.dist.size() * sizeof(double), out.index.data(),
                                     out.index.size() * sizeof(Index)});
    const bool done = r <= sorted_row_limit ? self_rows<Position, SortedRows>(tree, r, max_share, out)
                                            : self_rows<Position, HeapRows>(tree, r, max_share, out);
    if (!done) return std::nullopt;
    return out;
}

template <class Position, class Rows>
bool cross_rows(const wide::Tree<Position>& tree, const MatrixView<double>& query, const std::vector<double>& y,
                double query_radius, std::size_t r, double max_share, FlatTable& out) {
    const std::size_t m = query.rows, p = tree.axes(), d = tree.cols(), axes = padded(p);
    const Widening widen(tree.rotation(), tree.radius() + query_radius);
    const Search<Position, Rows> s{tree, widen};
    const Batches batches = group_by_home_leaf<Position>(
        m, tree.nodes().size(), tree.leaf_size(), [&](std::size_t i) { return tree.home_leaf(y.data() + i * p); });
    return probe_then_search(batches.start.size() - 1, tree.size(), max_share, [&](std::size_t i) {
        const std::size_t begin = batches.start[i];
        const std::size_t count = batches.start[i + 1] - begin;
        const std::size_t stride = padded(count);
        Work& w = thread_work();
        w.y.assign(p * stride, 0.0);
        w.x.assign(d * stride, 0.0);
        w.box.assign(2 * axes, 0.0);
        double* lo = w.box.data();
        double* hi = lo + axes;
        std::fill(lo, lo + p, unbounded);
        std::fill(hi, hi + p, -unbounded);
        for (std::size_t q = 0; q < count; ++q) {
            const std::size_t row = batches.order[begin + q];
            for (std::size_t j = 0; j < p; ++j) {
                const double v = y[row * p + j];
                w.y[j * stride + q] = v;
                lo[j] = std::min(lo[j], v);
                hi[j] = std::max(hi[j], v);
            }
            for (std::size_t j = 0; j < d; ++j) w.x[j * stride + q] = query(row, j);
        }
        const Batch b{w.y.data(), w.x.data(), stride, count, lo, hi};
        Rows& rows = thread_rows<Rows>();
        rows.reset(count, r);
        const std::uint64_t scanned = search(s, b, w, rows);
        for (std::size_t q = 0; q < count; ++q) {
            const std::size_t row = batches.order[begin + q];
            rows.write(q, out.dist.data() + row * r, out.index.data() + row * r);
        }
        return std::pair<std::uint64_t, std::uint64_t>{scanned, count};
    });
}

template <class Position>
std::optional<FlatTable> cross_table(const MatrixView<double>& train, const MatrixView<double>& query,
                                     std::uint64_t k, double max_share) {
    const std::size_t r = static_cast<std::size_t>(std::min<std::uint64_t>(k, train.rows));
    FlatTable out = allocate<std::int64_t>(query.rows, r);
    if (r == 0 || query.rows == 0) return out;
    const wide::Tree<Position> tree(train, wide::principal_axes(train), leaf_size,
                                    {out.dist.data(), out.dist.size() * sizeof(double), out.index.data(),
                                     out.index.size() * sizeof(std::int64_t)});
    const Rotation& rotation = tree.rotation();
    const std::size_t m = query.rows, p = rotation.p;
    std::vector<double> y(m * p);
    const std::size_t chunks = (m + check_grain - 1) / check_grain;
    std::vector<double> radii(chunks, 0.0);
    parallel_for(
        chunks,
        [&](std::size_t c) {
            std::vector<double> z(rotation.d);
            for (std::size_t i = c * check_grain; i < std::min(m, (c + 1) * check_grain); ++i) {
                rotation.apply(query, i, z.data(), y.data() + i * p);
                radii[c] = std::max(radii[c], rotation.radius(query, i));
            }
        },
        1);
    const double radius = *std::max_element(radii.begin(), radii.end());
    const bool done = r <= sorted_row_limit ? cross_rows<Position, SortedRows>(tree, query, y, radius, r, max_share, out)
                                            : cross_rows<Position, HeapRows>(tree, query, y, radius, r, max_share, out);
    if (!done) return std::nullopt;
    return out;
}

// Positions number slots, which pad each leaf to whole lanes (at most 7 of
// every 32 points): half the range leaves room for them.
constexpr bool fits_32_bits(std::size_t n) { return n <= UINT32_MAX / 2; }

}  // namespace

template <class Index>
std::optional<Table<Index>> wide_table(const MatrixView<double>& x, std::uint64_t k, double max_share) {
    if (!searchable(x)) return std::nullopt;
    return fits_32_bits(x.rows) ? self_table<std::uint32_t, Index>(x, k, max_share)
                                : self_table<std::uint64_t, Index>(x, k, max_share);
}

template std::optional<Table<std::int32_t>> wide_table(const MatrixView<double>&, std::uint64_t, double);
template std::optional<Table<std::int64_t>> wide_table(const MatrixView<double>&, std::uint64_t, double);

std::optional<FlatTable> wide_cross(const MatrixView<double>& train, const MatrixView<double>& query, std::uint64_t k,
                                    double max_share) {
    if (query.cols != train.cols) throw ValueError("x_train and x_query must have the same number of columns");
    if (!searchable(train) || !searchable(query)) return std::nullopt;
    return fits_32_bits(train.rows) ? cross_table<std::uint32_t>(train, query, k, max_share)
                                    : cross_table<std::uint64_t>(train, query, k, max_share);
}

}  // namespace quarnel::knn
