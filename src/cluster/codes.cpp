#include "cluster/codes.hpp"

#include <atomic>
#include <limits>

#include "core/parallel.hpp"
#include "core/stop.hpp"

namespace quarnel::cluster {

template <class Index>
BoxCodes box_codes(Slice<std::int64_t> ids, const MatrixView<Index>& nbr, std::size_t n_points) {
    constexpr std::size_t most = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    const std::size_t m = ids.size();
    if (m > most) stop("a box of more points than 32-bit codes can number");
    // Every point's code in one array over all points: one read per entry.
    std::vector<std::int32_t> where(n_points, -1);
    for (std::size_t r = 0; r < m; ++r) {
        where[checked(n_points, static_cast<std::uint64_t>(ids[r]))] = static_cast<std::int32_t>(r);
    }
    const std::size_t rows = nbr.rows, cols = nbr.cols;
    BoxCodes out{Buffer<std::int32_t>(rows * cols), {}};
    std::vector<std::uint8_t> listed(n_points, 0);
    parallel_for(rows, [&](std::size_t i) {
        for (std::size_t j = 0; j < cols; ++j) {
            const std::size_t e = checked(n_points, static_cast<std::uint64_t>(nbr(i, j)));
            const std::int32_t c = where[e];
            out.code[i * cols + j] = c;
            // Several rows may list the same foreign point: the same byte
            // stored by several threads.
            if (c < 0) std::atomic_ref<std::uint8_t>(listed[e]).store(1, std::memory_order_relaxed);
        }
    }, 1024);
    for (std::size_t p = 0; p < n_points; ++p) {
        if (listed[p]) {
            if (m + out.foreign.size() >= most) stop("a box lists more points than 32-bit codes can number");
            where[p] = static_cast<std::int32_t>(m + out.foreign.size());
            out.foreign.push_back(static_cast<std::int64_t>(p));
        }
    }
    parallel_for(rows, [&](std::size_t i) {
        for (std::size_t j = 0; j < cols; ++j) {
            std::int32_t& c = out.code[i * cols + j];
            if (c < 0) c = where[static_cast<std::size_t>(nbr(i, j))];
        }
    }, 1024);
    return out;
}

template BoxCodes box_codes(Slice<std::int64_t>, const MatrixView<std::int64_t>&, std::size_t);
template BoxCodes box_codes(Slice<std::int64_t>, const MatrixView<std::int32_t>&, std::size_t);

}  // namespace quarnel::cluster
