#include "cluster/assign.hpp"

namespace quarnel::cluster {

std::vector<std::int64_t> assign_cluster(Slice<std::int64_t> idx_centers, std::size_t n,
                                         const IndexLists& density_graph) {
    std::vector<std::int64_t> label(n, -1);
    const std::size_t lists = density_graph.size();
    // One stack for all walks; every walk leaves it empty.
    std::vector<std::uint64_t> stack;

    auto push_list = [&](std::uint64_t p) {
        for (const std::int64_t v : density_graph[checked(lists, p)]) {
            stack.push_back(static_cast<std::uint64_t>(v));
        }
    };

    for (std::size_t c = 0; c < idx_centers.size(); ++c) {
        // The label array doubles as the visited stamp: only walk c writes
        // the value c, so label[v] == c means v was already expanded by this
        // walk. In an acyclic graph its whole subtree has then been labelled
        // and bound-checked, so skipping it changes neither the labels nor
        // the first failure; in a cyclic one it makes the walk end.
        const auto walk = static_cast<std::int64_t>(c);
        const auto p = static_cast<std::uint64_t>(idx_centers[c]);
        label[checked(n, p)] = walk;
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
    return label;
}

}  // namespace quarnel::cluster
