#include "cluster/shallow.hpp"

#include <algorithm>
#include <numeric>

namespace quarnel::cluster {

ShallowJoins merge_shallow(Slice<std::int64_t> a, Slice<std::int64_t> b, Slice<double> level,
                           Slice<double> peak, Slice<std::int64_t> rank, double threshold) {
    const std::size_t count = peak.size();
    const std::size_t saddles = a.size();
    if (b.size() != saddles) stop_index(b.size(), saddles);
    if (level.size() != saddles) stop_index(level.size(), saddles);
    if (rank.size() != count) stop_index(rank.size(), count);
    // Highest saddle first; a stable sort keeps the given order among ties.
    std::vector<std::size_t> order(saddles);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t s, std::size_t t) { return level[s] > level[t]; });
    ShallowJoins out;
    std::vector<std::size_t> parent(count);
    std::iota(parent.begin(), parent.end(), std::size_t{0});
    auto find = [&](std::size_t c) {
        while (parent[c] != c) {
            parent[c] = parent[parent[c]];
            c = parent[c];
        }
        return c;
    };
    for (const std::size_t s : order) {
        const std::size_t ra = find(checked(count, static_cast<std::uint64_t>(a[s])));
        const std::size_t rb = find(checked(count, static_cast<std::uint64_t>(b[s])));
        if (ra == rb) continue;
        const bool a_higher = rank[ra] < rank[rb];
        const std::size_t high = a_higher ? ra : rb;
        const std::size_t low = a_higher ? rb : ra;
        if (peak[low] - level[s] < threshold) {
            parent[low] = high;
            out.low.push_back(static_cast<std::int64_t>(low));
            out.high.push_back(static_cast<std::int64_t>(high));
        }
    }
    out.root.resize(count);
    for (std::size_t c = 0; c < count; ++c) out.root[c] = static_cast<std::int64_t>(find(c));
    return out;
}

}  // namespace quarnel::cluster
