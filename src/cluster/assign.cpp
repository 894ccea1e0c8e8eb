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

// Prefetches for the walk that is about to expand queue entry q; label has
// an entry per point. Inlined by force: left a call, it would be dropped as
// having no effect.
template <class Label>
[[gnu::always_inline]] inline void fetch_ahead(const std::vector<std::uint64_t>& queue, std::size_t q,
                        const std::vector<Label>& label, const IndexLists& graph) {
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

class Walker {
public:
    Walker(std::size_t n, const IndexLists& graph) : label_(n, -1), graph_(graph) {}

    // Labels everything reachable from p with `walk`; a point whose label
    // already is `walk` has been expanded by this walk and is skipped.
    void walk(std::uint64_t p, std::int64_t walk) {
        if (!breadth_first(p, walk)) {
            // A bad index is reachable. The depth-first walk meets the same
            // set of indices, in the order that decides which failure is
            // reported, and stops there. Its stamp is one no label takes;
            // should it ever return, a clean walk relabels what it marked.
            depth_first(p, -2 - walk);
            depth_first(p, walk);
        }
    }

    std::vector<std::int64_t> take_labels() { return std::move(label_); }

private:
    // Fast path: a breadth-first walk over a queue, so the memory accesses of
    // many points are in flight at once. Returns false, with labels partly
    // written, as soon as it meets an index that would fail a bound check.
    bool breadth_first(std::uint64_t p, std::int64_t walk) {
        const std::size_t n = label_.size();
        const std::size_t lists = graph_.size();
        queue_.clear();
        queue_.push_back(p);
        for (std::size_t q = 0; q < queue_.size(); ++q) {
            fetch_ahead(queue_, q, label_, graph_);
            const std::uint64_t v = queue_[q];
            if (v >= n || v >= lists) return false;
            if (label_[v] == walk) continue;
            label_[v] = walk;
            graph_.for_each(v, [&](std::int64_t w) { queue_.push_back(static_cast<std::uint64_t>(w)); });
        }
        return true;
    }

    // The reference walk: depth-first with an explicit stack, list entries
    // pushed in list order, bounds checked as each point is taken.
    void depth_first(std::uint64_t p, std::int64_t walk) {
        const std::size_t n = label_.size();
        const std::size_t lists = graph_.size();
        label_[checked(n, p)] = walk;
        stack_.clear();
        auto push_list = [&](std::uint64_t v) {
            graph_.for_each(checked(lists, v), [&](std::int64_t w) {
                stack_.push_back(static_cast<std::uint64_t>(w));
            });
        };
        push_list(p);
        while (!stack_.empty()) {
            const std::uint64_t v = stack_.back();
            stack_.pop_back();
            std::int64_t& slot = label_[checked(n, v)];
            if (slot == walk) continue;
            slot = walk;
            push_list(v);
        }
    }

    std::vector<std::int64_t> label_;
    const IndexLists& graph_;
    std::vector<std::uint64_t> queue_;
    std::vector<std::uint64_t> stack_;
};

// Below this many points the walks are not worth handing to the pool.
constexpr std::size_t parallel_points = 1 << 14;

// All walks at once. Since a later walk overwrites an earlier one, a point's
// label is the highest position among the centres that reach it. Walks can
// therefore run in any order and on any thread: each raises a point's label
// to its own position (an atomic maximum) and expands the point only when it
// raised it. A point already at or above the walk's position is skipped: the
// walk that put it there expands, or has expanded, everything below it with
// a position at least as high. The labels are the same for every schedule.
// Lanes take centres from the highest position down, so that lower walks
// meet the points of higher ones early and stop there. False, with labels
// partly written, when some walk meets an index that would fail a check.
bool label_in_parallel(Slice<std::int64_t> idx_centers, const IndexLists& graph,
                       std::vector<std::int64_t>& label) {
    const std::size_t n = label.size();
    const std::size_t lists = graph.size();
    std::atomic<std::size_t> taken{0};
    std::atomic<bool> failed{false};
    const std::size_t lanes = std::min(pool_size(), idx_centers.size());
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

}  // namespace

std::vector<std::int64_t> assign_cluster(Slice<std::int64_t> idx_centers, std::size_t n,
                                         const IndexLists& density_graph) {
    // The label array doubles as the visited stamp: only walk c writes the
    // value c, so label[v] == c means v was already expanded by this walk.
    // In an acyclic graph its whole subtree has then been labelled and
    // bound-checked, so skipping it changes neither the labels nor the first
    // failure; in a cyclic one it makes the walk end.
    if (n >= parallel_points && idx_centers.size() > 1 && pool_size() > 1) {
        std::vector<std::int64_t> label(n, -1);
        if (label_in_parallel(idx_centers, density_graph, label)) return label;
    }
    // Alone, or to report the first failure that the ordered walks meet.
    Walker walker(n, density_graph);
    for (std::size_t c = 0; c < idx_centers.size(); ++c) {
        walker.walk(static_cast<std::uint64_t>(idx_centers[c]), static_cast<std::int64_t>(c));
    }
    return walker.take_labels();
}

}  // namespace quarnel::cluster
