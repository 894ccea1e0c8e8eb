#include "cluster/assign.hpp"

#include <algorithm>
#include <atomic>

#include "core/parallel.hpp"

namespace quarnel::cluster {

namespace {

// How far ahead of the point being expanded the walk prefetches: the label
// slot and list header of queue entry q + header_ahead, the list entries of
// queue entry q + entries_ahead (whose header should have arrived by then).
constexpr std::size_t header_ahead = 16;
constexpr std::size_t entries_ahead = 8;

// Prefetches for the walk that is about to expand queue entry q. Inlined by
// force: left a call, it would be dropped as having no effect.
[[gnu::always_inline]] inline void fetch_ahead(const std::vector<std::uint64_t>& queue,
                                               std::size_t q,
                                               const std::vector<std::int64_t>& label,
                                               const IndexLists& graph) {
    if (q + header_ahead < queue.size()) {
        const std::uint64_t ahead = queue[q + header_ahead];
        if (ahead < label.size() && ahead < graph.size()) {
            __builtin_prefetch(&label[ahead], 1);
            __builtin_prefetch(graph.offset_slot(ahead));
        }
    }
    if (q + entries_ahead < queue.size()) {
        const std::uint64_t ahead = queue[q + entries_ahead];
        if (ahead < graph.size()) __builtin_prefetch(graph.first_entry(ahead));
    }
}

// Below this many points the walks are not worth handing to the pool.
constexpr std::size_t parallel_points = 1 << 14;

// The fast labelling. Since a later walk overwrites an earlier one, a point's
// label is the highest position among the centres that reach it. Walks can
// therefore run in any order and on any thread: each raises a point's label
// to its own position (an atomic maximum) and expands the point only when it
// raised it. A point already at or above the walk's position is skipped: the
// walk that put it there expands, or has expanded, everything below it with
// a position at least as high; this also ends walks on a graph with a cycle.
// The labels are the same for every schedule. Each walk is breadth-first
// over a queue, so the memory accesses of many points are in flight at once.
// Lanes take centres from the highest position down, so that lower walks
// meet the points of higher ones early and stop there. False, with labels
// partly written, when some walk meets an index that would fail a check.
bool walk_all(Slice<std::int64_t> idx_centers, const IndexLists& graph,
              std::vector<std::int64_t>& label, std::size_t lanes) {
    const std::size_t n = label.size();
    const std::size_t lists = graph.size();
    std::atomic<std::size_t> taken{0};
    std::atomic<bool> failed{false};
    parallel_for(lanes, [&](std::size_t) {
        std::vector<std::uint64_t> queue;
        for (std::size_t t = taken++; t < idx_centers.size(); t = taken++) {
            if (failed.load(std::memory_order_relaxed)) return;
            const std::size_t c = idx_centers.size() - 1 - t;
            const auto walk = static_cast<std::int64_t>(c);
            queue.clear();
            queue.push_back(static_cast<std::uint64_t>(idx_centers[c]));
            for (std::size_t q = 0; q < queue.size(); ++q) {
                fetch_ahead(queue, q, label, graph);
                const std::uint64_t v = queue[q];
                if (v >= n || v >= lists) {
                    failed = true;
                    return;
                }
                std::atomic_ref<std::int64_t> slot(label[v]);
                std::int64_t seen = slot.load(std::memory_order_relaxed);
                bool raised = false;
                while (seen < walk && !raised) {
                    raised = slot.compare_exchange_weak(seen, walk, std::memory_order_relaxed);
                }
                if (!raised) continue;
                graph.for_each(v, [&](std::int64_t w) { queue.push_back(static_cast<std::uint64_t>(w)); });
            }
        }
    }, 1);
    return !failed;
}

// The reference walks, centre by centre in order: depth-first with an
// explicit stack, list entries pushed in list order, bounds checked as each
// point is taken, so the first failure is the one they report. The label
// array doubles as the visited stamp: only walk c writes the value c, so
// label[v] == c means v was already expanded by this walk. In an acyclic
// graph its whole subtree has then been labelled and bound-checked, so
// skipping it changes neither the labels nor the first failure.
void walk_in_order(Slice<std::int64_t> idx_centers, const IndexLists& graph,
                   std::vector<std::int64_t>& label) {
    const std::size_t n = label.size();
    const std::size_t lists = graph.size();
    std::vector<std::uint64_t> stack;
    auto push_list = [&](std::uint64_t v) {
        graph.for_each(checked(lists, v),
                       [&](std::int64_t w) { stack.push_back(static_cast<std::uint64_t>(w)); });
    };
    for (std::size_t c = 0; c < idx_centers.size(); ++c) {
        const auto walk = static_cast<std::int64_t>(c);
        const auto p = static_cast<std::uint64_t>(idx_centers[c]);
        label[checked(n, p)] = walk;
        stack.clear();
        push_list(p);
        while (!stack.empty()) {
            const std::uint64_t v = stack.back();
            stack.pop_back();
            std::int64_t& slot = label[checked(n, v)];
            if (slot == walk) continue;
            slot = walk;
            push_list(v);
        }
    }
}

}  // namespace

std::vector<std::int64_t> assign_cluster(Slice<std::int64_t> idx_centers, std::size_t n,
                                         const IndexLists& density_graph) {
    const std::size_t lanes =
        n >= parallel_points ? std::min(pool_size(), idx_centers.size()) : 1;
    std::vector<std::int64_t> label(n, -1);
    if (walk_all(idx_centers, density_graph, label, lanes)) return label;
    // A bad index is reachable: the ordered walks stop at the one that the
    // centre order and list order meet first.
    std::fill(label.begin(), label.end(), -1);
    walk_in_order(idx_centers, density_graph, label);
    return label;
}

}  // namespace quarnel::cluster
