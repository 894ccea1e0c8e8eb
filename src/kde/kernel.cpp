// The row loop of the log-density, shared by epanechnikov_kde and the
// bandwidth search.
#include "kde/kernel.hpp"

#include <cstring>

#include "core/parallel.hpp"

namespace quarnel::kde {

namespace {

// Four rows are summed at once, one per vector lane: each lane still adds its
// own row's terms in column order, so every sum is the sequential one. The
// lanes hide the latency of the dependent additions and divisions, and the
// select keeps the loop free of data-dependent branches.
typedef double Lanes __attribute__((vector_size(32)));
typedef std::int64_t Mask __attribute__((vector_size(32)));
constexpr std::size_t lanes = 4;

// Compiled for AVX2 as well as the baseline; the loader picks the variant the
// processor supports. Both do the same IEEE operations in the same order
// (no FMA in either), so they give the same bits.
__attribute__((target_clones("avx2", "default")))
void sum_four_rows(double h, double c, const double* const* rows, std::ptrdiff_t stride,
                   std::size_t k, double* sums) {
    const Lanes hv = {h, h, h, h};
    const Lanes cv = {c, c, c, c};
    const Lanes one = {1.0, 1.0, 1.0, 1.0};
    Lanes s = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t j = 0; j < k; ++j) {
        const std::ptrdiff_t o = static_cast<std::ptrdiff_t>(j) * stride;
        const Lanes v = {rows[0][o], rows[1][o], rows[2][o], rows[3][o]};
        const Lanes u = v / hv;
        const Lanes term = (one - u * u) * cv;
        // A column with u > 1 (or NaN) adds +0.0, which leaves the sum as it
        // was: it starts at +0.0 and a sum is -0.0 only if both addends are.
        const Mask counted = u <= one;
        s = s + reinterpret_cast<Lanes>(counted & reinterpret_cast<Mask>(term));
    }
    std::memcpy(sums, &s, sizeof s);
}

}  // namespace

void Kernel::log_densities(const MatrixView<double>& table, double* out) const {
    const std::size_t n = table.rows;
    const std::size_t blocks = (n + lanes - 1) / lanes;
    parallel_for(blocks, [&](std::size_t b) {
        const std::size_t first = b * lanes;
        const std::size_t count = n - first < lanes ? n - first : lanes;
        // A short last block repeats its last row in the unused lanes.
        const double* rows[lanes];
        for (std::size_t r = 0; r < lanes; ++r) rows[r] = table.row(first + (r < count ? r : count - 1));
        double sums[lanes];
        sum_four_rows(h, c, rows, table.col_stride, table.cols, sums);
        for (std::size_t r = 0; r < count; ++r) out[first + r] = log_of_ratio(sums[r]);
    }, 64);
}

}  // namespace quarnel::kde
