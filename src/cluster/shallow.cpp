#include "cluster/shallow.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

namespace quarnel::cluster {

namespace {

// The bumps that joined a group, each as (its peak, the saddle where it
// joined), kept only where no other bump has both a peak at least as high
// and a saddle at least as high: by descending peak, ascending saddle. The
// highest saddle among the bumps whose peak reaches a level is then the
// last entry at or above that level.
using Bumps = std::vector<std::pair<double, double>>;

void add_bump(Bumps& bumps, double peak, double saddle) {
    for (const auto& [p, s] : bumps) {
        if (p >= peak && s >= saddle) return;
    }
    std::erase_if(bumps, [&](const auto& e) { return e.first <= peak && e.second <= saddle; });
    const auto at = std::find_if(bumps.begin(), bumps.end(),
                                 [&](const auto& e) { return e.first < peak; });
    bumps.insert(at, {peak, saddle});
}

}  // namespace

ShallowJoins merge_shallow(Slice<std::int64_t> a, Slice<std::int64_t> b, Slice<double> level,
                           Slice<double> peak, Slice<std::int64_t> rank, double threshold,
                           double spread) {
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
    std::vector<Bumps> bumps(count);
    auto find = [&](std::size_t c) {
        while (parent[c] != c) {
            parent[c] = parent[parent[c]];
            c = parent[c];
        }
        return c;
    };
    // A group's top: its root's peak, or where bumps whose peaks come within
    // `spread` of it joined the group, halfway between that peak and the
    // highest saddle among them.
    auto top = [&](std::size_t root) {
        const double reach = peak[root] - spread;
        const Bumps& near = bumps[root];
        std::size_t i = 0;
        while (i < near.size() && near[i].first >= reach) ++i;
        return i == 0 ? peak[root] : 0.5 * (peak[root] + near[i - 1].second);
    };
    for (const std::size_t s : order) {
        const std::size_t ra = find(checked(count, static_cast<std::uint64_t>(a[s])));
        const std::size_t rb = find(checked(count, static_cast<std::uint64_t>(b[s])));
        if (ra == rb) continue;
        const bool a_higher = rank[ra] < rank[rb];
        const std::size_t high = a_higher ? ra : rb;
        const std::size_t low = a_higher ? rb : ra;
        if (top(low) - level[s] < threshold) {
            parent[low] = high;
            out.low.push_back(static_cast<std::int64_t>(low));
            out.high.push_back(static_cast<std::int64_t>(high));
            // The low group's bumps and the low peak itself become bumps of
            // the high group; those out of reach of its peak never come
            // back in reach, as a group's peak only rises.
            if (!(spread >= 0.0)) continue;
            Bumps moved = std::move(bumps[low]);
            bumps[low] = Bumps{};
            add_bump(moved, peak[low], level[s]);
            Bumps& into = bumps[high];
            if (moved.size() > into.size()) std::swap(moved, into);
            for (const auto& [p, v] : moved) add_bump(into, p, v);
            const double reach = peak[high] - spread;
            std::erase_if(into, [&](const auto& e) { return e.first < reach; });
        }
    }
    out.root.resize(count);
    for (std::size_t c = 0; c < count; ++c) out.root[c] = static_cast<std::int64_t>(find(c));
    return out;
}

}  // namespace quarnel::cluster
