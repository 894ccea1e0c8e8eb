#include "cluster/forest.hpp"

#include <algorithm>
#include <atomic>

#include "core/parallel.hpp"

namespace quarnel::cluster {
namespace {

constexpr std::int64_t unknown = -2;
// Points per block handed to a thread.
constexpr std::size_t block_points = 1 << 14;

}  // namespace

std::vector<std::int64_t> forest_labels(Slice<std::int64_t> centres, Slice<std::int64_t> parent) {
    const std::size_t n = parent.size();
    std::vector<std::int64_t> position(n, -1);
    for (std::size_t c = 0; c < centres.size(); ++c) {
        position[checked(n, static_cast<std::uint64_t>(centres[c]))] = static_cast<std::int64_t>(c);
    }
    // Every point climbs to a labelled point (or a root), then labels the
    // climbed path top down, so each point is climbed through about once
    // however long the chains. Threads climb side by side: a point's label
    // depends on its ancestors alone, so two threads that label the same
    // point write the same value (relaxed atomics make that sharing
    // well-defined), and the result does not depend on the thread count.
    std::vector<std::int64_t> label(n, unknown);
    auto load = [&](std::size_t v) {
        return std::atomic_ref<std::int64_t>(label[v]).load(std::memory_order_relaxed);
    };
    const std::size_t blocks = (n + block_points - 1) / block_points;
    parallel_for(blocks, [&](std::size_t block) {
        std::vector<std::size_t> path;
        const std::size_t end = std::min(n, (block + 1) * block_points);
        for (std::size_t i = block * block_points; i < end; ++i) {
            if (load(i) != unknown) continue;
            path.clear();
            std::size_t v = i;
            std::int64_t above = -1;
            while (true) {
                const std::int64_t known = load(v);
                if (known != unknown) {
                    above = known;
                    break;
                }
                path.push_back(v);
                // A path longer than n has gone round a cycle.
                if (path.size() > n) stop("parent links hold a cycle");
                const std::int64_t p = parent[v];
                if (p < 0) break;
                v = checked(n, static_cast<std::uint64_t>(p));
            }
            for (auto it = path.rbegin(); it != path.rend(); ++it) {
                above = std::max(above, position[*it]);
                std::atomic_ref<std::int64_t>(label[*it]).store(above, std::memory_order_relaxed);
            }
        }
    }, 1);
    return label;
}

}  // namespace quarnel::cluster
