#include "cluster/codes.hpp"

#include <algorithm>
#include <limits>

#include "core/parallel.hpp"
#include "core/stop.hpp"

namespace quarnel::cluster {

namespace {

// A point's row among a box's ids (ascending), or -1. Through one array
// over all points (a read a lookup) while that costs no more memory than the
// box's own codes; for boxes of a larger run, through the row where each
// bucket of 2^shift consecutive indices begins among the ids: about one id a
// bucket, a few reads a lookup, and memory that grows with the box, not with
// the run (the array over all points alone would be 4 GB per box task at
// 10^9 points).
class RowOf {
public:
    RowOf(Slice<std::int64_t> ids, std::size_t n_points, std::size_t entries) : ids_(ids) {
        const std::size_t m = ids.size();
        if (n_points <= std::max(entries, m)) {
            direct_.assign(n_points, -1);
            for (std::size_t r = 0; r < m; ++r) direct_[static_cast<std::size_t>(ids[r])] = static_cast<std::int32_t>(r);
            return;
        }
        while ((n_points >> shift_) > std::max<std::size_t>(m, 1)) ++shift_;
        start_.resize((n_points >> shift_) + 2);
        std::size_t r = 0;
        for (std::size_t b = 0; b < start_.size(); ++b) {
            while (r < m && (static_cast<std::uint64_t>(ids[r]) >> shift_) < b) ++r;
            start_[b] = static_cast<std::uint32_t>(r);
        }
    }
    // e below n_points.
    std::int32_t operator()(std::uint64_t e) const {
        if (!direct_.empty()) return direct_[e];
        const std::size_t b = e >> shift_;
        for (std::uint32_t r = start_[b]; r < start_[b + 1]; ++r)
            if (static_cast<std::uint64_t>(ids_[r]) == e) return static_cast<std::int32_t>(r);
        return -1;
    }

private:
    Slice<std::int64_t> ids_;
    std::vector<std::int32_t> direct_;
    unsigned shift_ = 0;
    std::vector<std::uint32_t> start_;
};

}  // namespace

template <class Index>
BoxCodes box_codes(Slice<std::int64_t> ids, const MatrixView<Index>& nbr, std::size_t n_points) {
    constexpr std::size_t most = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    const std::size_t m = ids.size();
    if (m > most) stop("a box of more points than 32-bit codes can number");
    for (std::size_t r = 0; r < m; ++r) {
        checked(n_points, static_cast<std::uint64_t>(ids[r]));
        if (r > 0 && ids[r] <= ids[r - 1]) throw ValueError("ids must ascend");
    }
    const std::size_t rows = nbr.rows, cols = nbr.cols;
    const RowOf row_of(ids, n_points, rows * cols);
    BoxCodes out{Buffer<std::int32_t>(rows * cols), {}};
    parallel_for(rows, [&](std::size_t i) {
        for (std::size_t j = 0; j < cols; ++j)
            out.code[i * cols + j] = row_of(checked(n_points, static_cast<std::uint64_t>(nbr(i, j))));
    }, 1024);
    // The foreign points: the entries not in the box, ascending, numbered
    // after the box's own rows.
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j)
            if (out.code[i * cols + j] < 0) out.foreign.push_back(static_cast<std::int64_t>(nbr(i, j)));
    std::sort(out.foreign.begin(), out.foreign.end());
    out.foreign.erase(std::unique(out.foreign.begin(), out.foreign.end()), out.foreign.end());
    if (m + out.foreign.size() > most) stop("a box lists more points than 32-bit codes can number");
    parallel_for(rows, [&](std::size_t i) {
        for (std::size_t j = 0; j < cols; ++j) {
            std::int32_t& c = out.code[i * cols + j];
            if (c < 0) {
                const auto at = std::lower_bound(out.foreign.begin(), out.foreign.end(),
                                                 static_cast<std::int64_t>(nbr(i, j)));
                c = static_cast<std::int32_t>(m + static_cast<std::size_t>(at - out.foreign.begin()));
            }
        }
    }, 1024);
    return out;
}

template BoxCodes box_codes(Slice<std::int64_t>, const MatrixView<std::int64_t>&, std::size_t);
template BoxCodes box_codes(Slice<std::int64_t>, const MatrixView<std::int32_t>&, std::size_t);

}  // namespace quarnel::cluster
