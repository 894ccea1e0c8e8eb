#include "cluster/assign.hpp"

namespace quarnel::cluster {

namespace {

// How far ahead of the point being expanded the walk prefetches: the label
// slot and list header of queue entry q + header_ahead, the list entries of
// queue entry q + entries_ahead (whose header should have arrived by then).
constexpr std::size_t header_ahead = 16;
constexpr std::size_t entries_ahead = 8;

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
            if (q + header_ahead < queue_.size()) {
                const std::uint64_t ahead = queue_[q + header_ahead];
                if (ahead < n && ahead < lists) {
                    __builtin_prefetch(&label_[ahead], 1);
                    __builtin_prefetch(graph_.offset_slot(ahead));
                }
            }
            if (q + entries_ahead < queue_.size()) {
                const std::uint64_t ahead = queue_[q + entries_ahead];
                if (ahead < lists) __builtin_prefetch(graph_.first_entry(ahead));
            }
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

}  // namespace

std::vector<std::int64_t> assign_cluster(Slice<std::int64_t> idx_centers, std::size_t n,
                                         const IndexLists& density_graph) {
    // The label array doubles as the visited stamp: only walk c writes the
    // value c, so label[v] == c means v was already expanded by this walk.
    // In an acyclic graph its whole subtree has then been labelled and
    // bound-checked, so skipping it changes neither the labels nor the first
    // failure; in a cyclic one it makes the walk end.
    Walker walker(n, density_graph);
    for (std::size_t c = 0; c < idx_centers.size(); ++c) {
        walker.walk(static_cast<std::uint64_t>(idx_centers[c]), static_cast<std::int64_t>(c));
    }
    return walker.take_labels();
}

}  // namespace quarnel::cluster
