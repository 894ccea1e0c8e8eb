#include "cluster/shallow.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
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
                           double spread, Slice<std::int64_t> tested) {
    const std::size_t count = peak.size();
    const std::size_t saddles = a.size();
    if (b.size() != saddles) stop_index(b.size(), saddles);
    if (level.size() != saddles) stop_index(level.size(), saddles);
    if (rank.size() != count) stop_index(rank.size(), count);
    const bool tree = tested.size() != 0;
    if (tree && tested.size() != saddles) stop_index(tested.size(), saddles);
    // Highest saddle first; a stable sort keeps the given order among ties.
    std::vector<std::size_t> order(saddles);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t s, std::size_t t) { return level[s] > level[t]; });
    ShallowJoins out;
    std::vector<std::size_t> parent(count);
    std::iota(parent.begin(), parent.end(), std::size_t{0});
    std::vector<Bumps> bumps(count);
    // The tree's own groups: joined at every meeting (tree mode only).
    std::vector<std::size_t> joined(tree ? count : 0);
    std::iota(joined.begin(), joined.end(), std::size_t{0});
    auto find_in = [](std::vector<std::size_t>& up, std::size_t c) {
        while (up[c] != c) {
            up[c] = up[up[c]];
            c = up[c];
        }
        return c;
    };
    auto find = [&](std::size_t c) { return find_in(parent, c); };
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
    // The height the test compares, in units of the depth asked: >= 1
    // exactly where the test keeps the group apart (a quotient that rounds
    // up to 1 from below is set just under it).
    auto rise = [&](std::size_t low, double saddle) { return top(low) - saddle; };
    // A rise in units of the depth asked: >= 1 exactly where the test keeps
    // the group apart (a quotient that rounds up to 1 from below is set
    // just under it).
    auto standing = [&](double above) {
        const bool apart = !(above < threshold);
        if (threshold == 0.0) return apart ? std::numeric_limits<double>::infinity()
                                           : -std::numeric_limits<double>::infinity();
        const double ratio = above / threshold;
        return (!apart && ratio >= 1.0) ? std::nextafter(1.0, 0.0) : ratio;
    };
    // Per cluster, the standing that decided it (tree mode): where it
    // joined, the one compared there; while it stays apart, the least one
    // compared. NaN: never tested.
    std::vector<double> decided(tree ? count : 0, std::numeric_limits<double>::quiet_NaN());
    for (const std::size_t s : order) {
        const std::size_t sa = checked(count, static_cast<std::uint64_t>(a[s]));
        const std::size_t sb = checked(count, static_cast<std::uint64_t>(b[s]));
        if (tree) {
            // A meeting of the tree, read before the merging takes this
            // saddle: its lower root is still a root of the merging (had the
            // merging joined it to a higher peak, the tree would have too).
            const std::size_t ta = find_in(joined, sa);
            const std::size_t tb = find_in(joined, sb);
            if (ta != tb) {
                const bool ta_higher = rank[ta] < rank[tb];
                const std::size_t high = ta_higher ? ta : tb;
                const std::size_t low = ta_higher ? tb : ta;
                joined[low] = high;
                out.tree_high.push_back(static_cast<std::int64_t>(high));
                out.tree_low.push_back(static_cast<std::int64_t>(low));
                out.tree_at.push_back(static_cast<std::int64_t>(s));
                out.standing.push_back(standing(rise(low, level[s])));
            }
            if (tested[s] == 0) continue;
        }
        const std::size_t ra = find(sa);
        const std::size_t rb = find(sb);
        if (ra == rb) continue;
        const bool a_higher = rank[ra] < rank[rb];
        const std::size_t high = a_higher ? ra : rb;
        const std::size_t low = a_higher ? rb : ra;
        const double above = rise(low, level[s]);
        if (tree) {
            const double v = standing(above);
            decided[low] = (above < threshold || !(decided[low] <= v)) ? v : decided[low];
        }
        if (above < threshold) {
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
    // Where the merging decided a root at another saddle than its meeting
    // in the tree, the other way (by default only, rarely: it met the root
    // by way of roots that stayed apart, or read its top again lower down),
    // the standing that decided it.
    for (std::size_t r = 0; r < out.standing.size(); ++r) {
        const double v = decided[static_cast<std::size_t>(out.tree_low[r])];
        if (!std::isnan(v) && ((v >= 1.0) != (out.standing[r] >= 1.0))) out.standing[r] = v;
    }
    out.root.resize(count);
    for (std::size_t c = 0; c < count; ++c) out.root[c] = static_cast<std::int64_t>(find(c));
    return out;
}

}  // namespace quarnel::cluster
