// The AVX-512 kernel of the batch search (search.hpp has the walk, the
// pruning argument and the AVX2 and baseline kernels). It differs from them
// in width and in how rows take points, never in a result bit:
// - a leaf's distances eight points at a time, each lane summing its own
//   point's squares in coordinate order (no FMA), exactly as the scalar loop;
// - the box test eight queries at a time, the same values as box_gap;
// - rows up to 32 long (BlockRows) held in registers while a leaf is
//   scanned, each point inserted with compares and blends: its position is
//   the number of entries before it by (distance, row), found by
//   comparisons only, so exact by construction. The sorted insertion's
//   branches (shift loop, tie loop) mispredicted most while the query's own
//   leaf filled an empty row: at 10^6 points in 3-D, k = 16, a query takes
//   about 34 insertions, 22 of them from its own leaf.
//
// Everything below is compiled for AVX-512 (F, DQ, BW, VL) and runs only
// when the processor has it (knn.cpp).
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "knn/neighbours.hpp"
#include "knn/search.hpp"
#include "knn/tree.hpp"
#include "knn/walk.hpp"

// GCC 12 takes the deliberately undefined source operand of some AVX-512
// intrinsics (permutexvar, loadu) for an uninitialised variable.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl,popcnt,bmi,bmi2")

namespace quarnel::knn::avx512 {

// One query's row of BlockRows<Blocks>, in registers.
template <int Blocks>
struct OpenRow {
    __m512d dist[Blocks];
    __m512i row[Blocks];
    __m512i last;  // lane of the row's last entry in the last block

    [[gnu::always_inline]] void load(BlockRows<Blocks>& rows, std::size_t q) {
        const double* d = rows.dist(q);
        const std::uint64_t* r = rows.rows(q);
        for (int b = 0; b < Blocks; ++b) {
            dist[b] = _mm512_load_pd(d + 8 * b);
            row[b] = _mm512_load_si512(r + 8 * b);
        }
        last = _mm512_set1_epi64(static_cast<long long>((rows.row_length() - 1) % 8));
    }

    [[gnu::always_inline]] void store(BlockRows<Blocks>& rows, std::size_t q) const {
        double* d = rows.dist(q);
        std::uint64_t* r = rows.rows(q);
        for (int b = 0; b < Blocks; ++b) {
            _mm512_store_pd(d + 8 * b, dist[b]);
            _mm512_store_si512(r + 8 * b, row[b]);
        }
    }

    // The row's worst entry in every lane (infinity until the row is full);
    // rows are longer than 8 * (Blocks - 1) (knn.cpp picks Blocks so).
    [[gnu::always_inline]] __m512d worst() const { return _mm512_permutexvar_pd(last, dist[Blocks - 1]); }

    // Inserts (d, r), given in every lane, at its place by (distance, row).
    [[gnu::always_inline]] void insert(__m512d d, __m512i r) {
        std::uint64_t before = 0;  // entries before (d, r): a prefix
        for (int b = 0; b < Blocks; ++b) {
            const __mmask8 less = _mm512_cmp_pd_mask(dist[b], d, _CMP_LT_OQ);
            const __mmask8 equal = _mm512_cmp_pd_mask(dist[b], d, _CMP_EQ_OQ);
            const __mmask8 tie = _mm512_mask_cmplt_epu64_mask(equal, row[b], r);
            before |= static_cast<std::uint64_t>(_cvtmask8_u32(less | tie)) << (8 * b);
        }
        const std::uint64_t after = (before << 1) | 1;  // lanes whose left neighbour is before (d, r), and lane 0
        const std::uint64_t at = after & ~before;       // the new pair's lane
        const std::uint64_t moved = ~after;             // lanes taking their left neighbour
        // lane i of a shifted block takes lane i - 1, lane 0 the previous block's lane 7
        const __m512i shift = _mm512_set_epi64(14, 13, 12, 11, 10, 9, 8, 7);
        for (int b = Blocks - 1; b >= 0; --b) {
            const __mmask8 m = _cvtu32_mask8(static_cast<unsigned>(moved >> (8 * b)) & 0xff);
            const __mmask8 a = _cvtu32_mask8(static_cast<unsigned>(at >> (8 * b)) & 0xff);
            const __m512d prev_d = b > 0 ? dist[b - 1] : dist[0];
            const __m512i prev_r = b > 0 ? row[b - 1] : row[0];
            dist[b] = _mm512_mask_mov_pd(_mm512_mask_mov_pd(dist[b], m, _mm512_permutex2var_pd(prev_d, shift, dist[b])),
                                         a, d);
            row[b] = _mm512_mask_mov_epi64(_mm512_mask_mov_epi64(row[b], m, _mm512_permutex2var_epi64(prev_r, shift, row[b])),
                                           a, r);
        }
    }
};

template <class Rows>
inline constexpr bool is_block_rows = false;
template <int Blocks>
inline constexpr bool is_block_rows<BlockRows<Blocks>> = true;

// Lanes of a group of eight points that hold points (the last group of a
// leaf may end in padding).
[[gnu::always_inline]] inline __mmask8 real_lanes(std::size_t count, std::size_t i) {
    return count - i >= 8 ? __mmask8(0xff) : __mmask8((1u << (count - i)) - 1);
}

template <int D, class Position>
[[gnu::always_inline]] inline __m512d leaf_sums(const Tree<D, Position>& tree, const double* q,
                                                const Node<D, Position>& leaf, __m512d* sums) {
    __m512d qv[D];
    for (int j = 0; j < D; ++j) qv[j] = _mm512_set1_pd(q[j]);
    const std::size_t count = leaf.end - leaf.begin;
    const double* x0 = tree.leaf_axis(leaf, 0);
    const std::size_t stride = padded(count);
    __m512d least = _mm512_set1_pd(unbounded);
    for (std::size_t i = 0; i < count; i += 8) {
        // +0.0 + s is s for the first square s (never -0.0): the scalar
        // sum's first addition changes no bit and is left out (this loop is
        // about half of the search in 8-D)
        const __m512d diff0 = _mm512_sub_pd(qv[0], _mm512_loadu_pd(x0 + i));
        __m512d sum = _mm512_mul_pd(diff0, diff0);
        for (int j = 1; j < D; ++j) {
            const __m512d diff = _mm512_sub_pd(qv[j], _mm512_loadu_pd(x0 + j * stride + i));
            sum = _mm512_add_pd(sum, _mm512_mul_pd(diff, diff));
        }
        sums[i / 8] = sum;
        least = _mm512_mask_min_pd(least, real_lanes(count, i), least, sum);  // not the padding's
    }
    return least;
}

// Each lane's `blocks` smallest distances of a leaf bound its r-th smallest
// (r <= 8 * blocks): at least 8 * blocks of its points lie at or within the
// largest of them, so a point beyond that cannot enter a row of length r.
// Taken when a row is not yet full (the query's own leaf, first), which
// would otherwise take every point of the leaf: at 10^6 points in 3-D it
// cuts the own leaf's insertions from about 30 to 22 a query.
template <int blocks>
[[gnu::always_inline]] inline __m512d leaf_bound(const __m512d* sums, std::size_t count) {
    __m512d least[blocks];
    for (int b = 0; b < blocks; ++b) least[b] = _mm512_set1_pd(unbounded);
    for (std::size_t i = 0; i < count; i += 8) {
        __m512d s = _mm512_mask_mov_pd(_mm512_set1_pd(unbounded), real_lanes(count, i), sums[i / 8]);
        for (int b = 0; b < blocks; ++b) {
            const __m512d lo = _mm512_min_pd(least[b], s);
            s = _mm512_max_pd(least[b], s);
            least[b] = lo;
        }
    }
    return _mm512_set1_pd(_mm512_reduce_max_pd(least[blocks - 1]));
}

// Offers a leaf's points (distances in `sums`) to the rows of P queries at
// once: each insertion into a row waits for the one before it, so the rows
// of two queries, interleaved, keep the processor busy.
//
// In each group of eight points, every point within a row's worst entry
// when the group begins is inserted (one that a point of the same group has
// since pushed out lands past the row's end, where it does no harm):
// re-testing the rest of the group after each insertion put the worst
// entry's latency into every step. The row with fewer such points takes
// (infinity, largest row) meanwhile, which lands among the empty entries or
// past the end: no change.
template <int P, int D, class Position, int blocks>
[[gnu::always_inline]] inline void take_points(const Tree<D, Position>& tree, const Node<D, Position>& leaf,
                                               const __m512d (&sums)[P][leaf_size<D> / 8],
                                               const std::size_t (&query)[P], BlockRows<blocks>& rows) {
    const std::size_t count = leaf.end - leaf.begin;
    const Position* row_of = tree.rows() + leaf.begin;
    OpenRow<blocks> open[P];
    __m512d bound[P], worst[P];
    for (int p = 0; p < P; ++p) {
        open[p].load(rows, query[p]);
        bound[p] = rows.worst(query[p]) == unbounded ? leaf_bound<blocks>(sums[p], count) : _mm512_set1_pd(unbounded);
        worst[p] = _mm512_min_pd(open[p].worst(), bound[p]);
    }
    for (std::size_t i = 0; i < count; i += 8) {
        __m512i rows_here;
        if constexpr (sizeof(Position) == 4)
            rows_here = _mm512_cvtepu32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row_of + i)));
        else
            rows_here = _mm512_loadu_si512(row_of + i);
        alignas(64) double take_d[P][8];
        alignas(64) std::uint64_t take_r[P][8];
        unsigned most = 0;
        for (int p = 0; p < P; ++p) {
            const __mmask8 near = _mm512_mask_cmp_pd_mask(real_lanes(count, i), sums[p][i / 8], worst[p], _CMP_LE_OQ);
            const unsigned n = static_cast<unsigned>(__builtin_popcount(_cvtmask8_u32(near)));
            most = n > most ? n : most;
            _mm512_store_pd(take_d[p], _mm512_mask_compress_pd(_mm512_set1_pd(unbounded), near, sums[p][i / 8]));
            _mm512_store_si512(take_r[p], _mm512_mask_compress_epi64(_mm512_set1_epi64(-1), near, rows_here));
        }
        for (unsigned t = 0; t < most; ++t)
            for (int p = 0; p < P; ++p)
                open[p].insert(_mm512_set1_pd(take_d[p][t]), _mm512_set1_epi64(static_cast<long long>(take_r[p][t])));
        for (int p = 0; p < P; ++p) worst[p] = _mm512_min_pd(open[p].worst(), bound[p]);
    }
    for (int p = 0; p < P; ++p) {
        open[p].store(rows, query[p]);
        rows.set_worst(query[p], _mm512_cvtsd_f64(open[p].worst()));
    }
}

// scan_leaf of search.hpp for rows other than BlockRows, eight distances at
// a time: all distances first, one test against the worst row to drop the
// leaf, then the offers.
template <int D, class Position, class Rows>
[[gnu::always_inline]] inline void scan_leaf(const Tree<D, Position>& tree, const double* q,
                                             const Node<D, Position>& leaf, std::size_t query, Rows& rows) {
    __m512d sums[leaf_size<D> / 8];
    const __m512d least = avx512::leaf_sums<D>(tree, q, leaf, sums);
    if (_mm512_cmp_pd_mask(least, _mm512_set1_pd(rows.worst(query)), _CMP_LE_OQ) == 0) return;
    const std::size_t count = leaf.end - leaf.begin;
    const Position* row_of = tree.rows() + leaf.begin;
    for (std::size_t i = 0; i < count; i += 8) {
        alignas(64) double sum[8];
        _mm512_store_pd(sum, sums[i / 8]);
        const std::size_t lanes = count - i < 8 ? count - i : 8;
        for (std::size_t l = 0; l < lanes; ++l)
            if (sum[l] <= rows.worst(query)) rows.offer(query, sum[l], row_of[i + l]);
    }
}

// visit_leaf of search.hpp, eight queries per box test.
template <int D, class Position, class Rows>
[[gnu::always_inline]] inline void visit_leaf(const Tree<D, Position>& tree, const double* queries,
                                              std::size_t count, const Node<D, Position>& leaf, Rows& rows) {
    for (std::size_t q0 = 0; q0 < count; q0 += 8) {
        // box_gap's max(max(below, above), 0) by vmaxpd, which may pick the
        // other zero of two equal ones: their squares are the same +0.0. The
        // sum starts from the first square, as in leaf_sums.
        __m512d sum;
        for (int j = 0; j < D; ++j) {
            const __m512d x = _mm512_loadu_pd(queries + j * batch_size<D> + q0);
            const __m512d below = _mm512_sub_pd(_mm512_set1_pd(leaf.box.lo[j]), x);
            const __m512d above = _mm512_sub_pd(x, _mm512_set1_pd(leaf.box.hi[j]));
            const __m512d t = _mm512_max_pd(_mm512_max_pd(below, above), _mm512_setzero_pd());
            sum = j == 0 ? _mm512_mul_pd(t, t) : _mm512_add_pd(sum, _mm512_mul_pd(t, t));
        }
        unsigned near = _cvtmask8_u32(_mm512_cmp_pd_mask(sum, _mm512_loadu_pd(rows.worsts() + q0), _CMP_LE_OQ));
        if constexpr (is_block_rows<Rows>) {
            // the queries whose distances reach their row, two at a time
            __m512d sums[2][leaf_size<D> / 8];
            std::size_t query[2];
            int ready = 0;
            while (near != 0) {
                const unsigned l = static_cast<unsigned>(__builtin_ctz(near));
                near &= near - 1;
                double point[D];
                for (int j = 0; j < D; ++j) point[j] = queries[j * batch_size<D> + q0 + l];
                const __m512d least = avx512::leaf_sums<D>(tree, point, leaf, sums[ready]);
                if (_mm512_cmp_pd_mask(least, _mm512_set1_pd(rows.worst(q0 + l)), _CMP_LE_OQ) == 0) continue;
                query[ready++] = q0 + l;
                if (ready == 2) {
                    avx512::take_points<2, D>(tree, leaf, sums, query, rows);
                    ready = 0;
                }
            }
            if (ready == 1) {
                const std::size_t one[1] = {query[0]};
                avx512::take_points<1, D>(tree, leaf, reinterpret_cast<const __m512d(&)[1][leaf_size<D> / 8]>(sums[0]),
                                          one, rows);
            }
        } else {
            while (near != 0) {
                const unsigned l = static_cast<unsigned>(__builtin_ctz(near));
                near &= near - 1;
                double point[D];
                for (int j = 0; j < D; ++j) point[j] = queries[j * batch_size<D> + q0 + l];
                avx512::scan_leaf<D>(tree, point, leaf, q0 + l, rows);
            }
        }
    }
}

// The largest worst row of the batch.
template <class Rows>
[[gnu::always_inline]] inline double batch_reach(std::size_t count, const Rows& rows) {
    __m512d m = _mm512_set1_pd(-unbounded);
    for (std::size_t q0 = 0; q0 < count; q0 += 8) m = _mm512_max_pd(m, _mm512_loadu_pd(rows.worsts() + q0));
    return _mm512_reduce_max_pd(m);
}

// search_batch of search.hpp with the kernels above.
template <int D, class Position, class Rows>
void search_batch(const Tree<D, Position>& tree, const double* queries, std::size_t count, const Box<D>& box,
                  Rows& rows) {
    NearestFirst walk(tree.nodes());
    const BoxBound<D, Position> bound{tree.nodes(), box};
    for (double reach = unbounded;;) {
        const std::size_t leaf = walk.next_leaf(reach, bound);
        if (leaf == walk.done) break;
        avx512::visit_leaf<D>(tree, queries, count, tree.nodes()[leaf], rows);
        reach = avx512::batch_reach(count, rows);
    }
}

// BlockRows::write for the queries of a batch, eight entries at a time
// (vsqrtpd rounds as std::sqrt does: correctly). Query q's row goes to row
// destination(q) of the output tables.
template <int blocks, class Index, class Destination>
void write_rows(BlockRows<blocks>& rows, std::size_t count, double* dist, Index* index, Destination destination) {
    const std::size_t r = rows.row_length();
    for (std::size_t q = 0; q < count; ++q) {
        double* d = dist + destination(q) * r;
        Index* x = index + destination(q) * r;
        for (std::size_t i = 0; i < r; i += 8) {
            const __mmask8 m = real_lanes(r, i);
            _mm512_mask_storeu_pd(d + i, m, _mm512_sqrt_pd(_mm512_load_pd(rows.dist(q) + i)));
            const __m512i row = _mm512_load_si512(rows.rows(q) + i);
            if constexpr (sizeof(Index) == 8)
                _mm512_mask_storeu_epi64(x + i, m, row);
            else
                _mm512_mask_cvtepi64_storeu_epi32(x + i, m, row);  // rows below 2^31: exact
        }
    }
}

}  // namespace quarnel::knn::avx512

#pragma GCC pop_options
#pragma GCC diagnostic pop
