// The merge of shallow peaks: a walk down the saddles between clusters.
#pragma once

#include <cstdint>
#include <vector>

#include "core/views.hpp"

namespace quarnel::cluster {

struct ShallowJoins {
    std::vector<std::int64_t> root;      // per cluster, the cluster its group ends in
    std::vector<std::int64_t> low;       // the joins in the order made: cluster that
    std::vector<std::int64_t> high;      // stops being a peak, and the root it joins
    // With `tested` given, every meeting of the merge tree (groups joined at
    // every meeting), in the order met: the two roots, the saddle's index,
    // and the lower root's standing (see merge_shallow).
    std::vector<std::int64_t> tree_high;
    std::vector<std::int64_t> tree_low;
    std::vector<std::int64_t> tree_at;
    std::vector<double> standing;
};

// Walking the saddles (a[s], b[s], level[s]) from the highest down, ties in
// the given order, two groups of clusters meet where a saddle links them for
// the first time; the group whose root ranks lower (a larger `rank`) joins
// the other when its top stands less than `threshold` above the saddle. A
// group's root is its highest-ranked peak, and its top that root's `peak`,
// unless peaks that joined the group earlier reach within `spread` of it:
// then the top is halfway between the root's peak and the highest saddle at
// which such a peak joined. A negative or NaN `spread` reads every top at
// its root's peak. Stops when a cluster is not below the count of `peak`.
//
// `tested` empty: the test is made at every saddle. Otherwise one entry per
// saddle, 0 where the test skips the saddle (it could join nothing there):
// the walk then also follows the merge tree over every saddle, where groups
// join at each meeting, and records per meeting of the tree the lower
// root's standing: the rise of its top above the saddle over `threshold`,
// read from the merging's own groups just before that saddle, so >= 1
// exactly where a test made there keeps it apart. Where the merging decided
// that root the other way at another saddle (possible only with tops read
// over bumps), the standing it compared there instead: the one where it
// joined, or the least one while it stayed apart.
ShallowJoins merge_shallow(Slice<std::int64_t> a, Slice<std::int64_t> b, Slice<double> level,
                           Slice<double> peak, Slice<std::int64_t> rank, double threshold,
                           double spread, Slice<std::int64_t> tested);

}  // namespace quarnel::cluster
