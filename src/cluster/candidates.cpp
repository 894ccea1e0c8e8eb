#include "cluster/candidates.hpp"

#include <algorithm>

#include "core/parallel.hpp"

namespace quarnel::cluster {

std::vector<std::int64_t> first_candidates(Slice<std::int64_t> row, Slice<double> sq,
                                           Slice<std::int64_t> index, std::size_t rows,
                                           std::size_t k) {
    const std::size_t n = row.size();
    if (sq.size() < n) stop_index(sq.size(), n);
    if (index.size() < n) stop_index(index.size(), n);
    // The candidates grouped by row in position order (a counting sort).
    std::vector<std::size_t> start(rows + 1, 0);
    for (std::size_t e = 0; e < n; ++e) {
        ++start[checked(rows, static_cast<std::uint64_t>(row[e])) + 1];
    }
    for (std::size_t r = 0; r < rows; ++r) start[r + 1] += start[r];
    std::vector<std::size_t> next(start.begin(), start.end() - 1);
    std::vector<std::int64_t> at(n);
    for (std::size_t e = 0; e < n; ++e) {
        at[next[static_cast<std::size_t>(row[e])]++] = static_cast<std::int64_t>(e);
    }
    std::vector<std::int64_t> out(rows * k, -1);
    parallel_for(rows, [&](std::size_t r) {
        std::int64_t* first = at.data() + start[r];
        std::int64_t* last = at.data() + start[r + 1];
        std::int64_t* cut = first + std::min<std::size_t>(k, static_cast<std::size_t>(last - first));
        // Positions break the ties of (squared distance, index): a total
        // order, so the first k do not depend on the sort.
        std::partial_sort(first, cut, last, [&](std::int64_t a, std::int64_t b) {
            const double sa = sq[static_cast<std::size_t>(a)];
            const double sb = sq[static_cast<std::size_t>(b)];
            if (sa != sb) return sa < sb;
            const std::int64_t ia = index[static_cast<std::size_t>(a)];
            const std::int64_t ib = index[static_cast<std::size_t>(b)];
            if (ia != ib) return ia < ib;
            return a < b;
        });
        std::copy(first, cut, out.data() + r * k);
    }, 64);
    return out;
}

}  // namespace quarnel::cluster
