#include "cluster/stability.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>

#include "cluster/assign.hpp"
#include "cluster/neighbourhood.hpp"
#include "core/parallel.hpp"

namespace quarnel::cluster {

namespace {

// Judges centres one at a time, keeping the working arrays of the
// neighbourhood searches and of the label bookkeeping for the whole call.
class Judge {
public:
    Judge(const StabilityInputs& in, std::size_t max_centres)
        : in_(in), search_(in.rho, in.nn_list, in.s), label_seen_(max_centres, 0) {}

    // The merge target of centre c: the densest centre strictly denser than
    // c among the clusters its neighbourhood meets, or c itself.
    std::uint64_t merge_target(std::uint64_t c, Slice<std::int64_t> idx_centers,
                               Slice<std::int64_t> cluster_label);

    // The points whose labels decided the last judgement: the centre, its
    // first ring and its neighbourhood.
    std::span<const std::uint64_t> examined() const { return examined_; }

    // Hangs c below `target`, as the merge of a false centre.
    void remove(std::uint64_t c, std::uint64_t target, ClusterGraph& graph) const;

private:
    const StabilityInputs& in_;
    NhSearch search_;
    std::vector<std::uint64_t> examined_;
    std::vector<std::uint64_t> label_seen_;  // per label: stamp of the last judgement meeting it
    std::uint64_t stamp_ = 0;
    std::vector<std::int64_t> labels_met_;
};

std::uint64_t Judge::merge_target(std::uint64_t c, Slice<std::int64_t> idx_centers,
                                  Slice<std::int64_t> cluster_label) {
    const std::size_t n = in_.rho.size();
    checked(n, c);
    examined_.clear();
    examined_.push_back(c);
    std::size_t nh_begin = 1;
    if (in_.threshold < threshold_floor) {
        for (std::size_t j = 1; j < in_.s; ++j) {
            examined_.push_back(static_cast<std::uint64_t>(in_.nn_list.at(c, j)));
        }
    } else {
        // A NaN threshold also takes the search (and admits nothing).
        const auto found = search_.search(c, cluster_label, in_.rho[c] - in_.threshold);
        const auto ring = search_.first_ring();
        examined_.insert(examined_.end(), ring.begin(), ring.end());
        nh_begin = examined_.size();
        examined_.insert(examined_.end(), found.begin(), found.end());
    }

    // Clusters met, each once; labels that name no centre are ignored. All
    // labels are read before any centre is looked up, in neighbourhood
    // order. (Labels of searched points were all read by the search, so only
    // the plain neighbour list can fail here.)
    if (label_seen_.size() < idx_centers.size()) label_seen_.resize(idx_centers.size(), 0);
    ++stamp_;
    labels_met_.clear();
    for (std::size_t e = nh_begin; e < examined_.size(); ++e) {
        const auto label = static_cast<std::uint64_t>(cluster_label.at(examined_[e]));
        if (label < idx_centers.size() && label_seen_[label] != stamp_) {
            label_seen_[label] = stamp_;
            labels_met_.push_back(static_cast<std::int64_t>(label));
        }
    }
    std::sort(labels_met_.begin(), labels_met_.end());

    // Only a strictly greater density replaces the best, so the lowest label
    // wins a tie, c is never its own target, and a target other than c is
    // always strictly denser than c (never so when rho[c] is NaN).
    double best = in_.rho[c];
    std::uint64_t target = c;
    for (const std::int64_t label : labels_met_) {
        const auto k = static_cast<std::uint64_t>(idx_centers[static_cast<std::size_t>(label)]);
        if (in_.rho[checked(n, k)] > best) {
            best = in_.rho[k];
            target = k;
        }
    }
    return target;
}

void Judge::remove(std::uint64_t c, std::uint64_t target, ClusterGraph& graph) const {
    graph.nn_delta[checked(graph.nn_delta.size(), c)] = static_cast<std::int64_t>(target);
    double sum = 0.0;
    for (std::size_t j = 0; j < in_.x.cols; ++j) {
        const double diff = in_.x.at(target, j) - in_.x.at(c, j);
        sum += diff * diff;
    }
    graph.delta[checked(graph.delta.size(), c)] = std::sqrt(sum);
    graph.density_graph.append(checked(graph.density_graph.size(), target),
                               static_cast<std::int64_t>(c));
}

// What the loop remembers about each kept centre: the points whose labels
// decided that it stays. Should none of them change cluster before the next
// check, that check would retrace the same search and keep it again.
class KeptMemo {
public:
    void clear() { points_.clear(); ends_.clear(); }
    void add(std::span<const std::uint64_t> points) {
        points_.insert(points_.end(), points.begin(), points.end());
        ends_.push_back(points_.size());
    }
    std::span<const std::uint64_t> operator[](std::size_t k) const {
        const std::size_t begin = k == 0 ? 0 : ends_[k - 1];
        return {points_.data() + begin, ends_[k] - begin};
    }
    std::size_t size() const { return ends_.size(); }

private:
    std::vector<std::uint64_t> points_;
    std::vector<std::size_t> ends_;
};

// The centre each point is labelled with, or -1.
std::int64_t cluster_of(const std::vector<std::int64_t>& centres, std::int64_t label) {
    return label >= 0 && static_cast<std::size_t>(label) < centres.size()
               ? centres[static_cast<std::size_t>(label)]
               : -1;
}

// Judges many centres at once. A judgement reads only the centre, the
// labels, the centre list and the read-only inputs, so the centres of one
// check can be judged in any order and on any thread with the same verdicts;
// only the removals, which write the graph, must follow in centre order.
// Each lane of the pool owns a Judge and takes the next centre from a shared
// counter, so costly centres (large dense regions) do not hold up a block.
class Judges {
public:
    Judges(const StabilityInputs& in, std::size_t max_centres) {
        const std::size_t lanes = pool_size();
        for (std::size_t l = 0; l < lanes; ++l) {
            judges_.push_back(std::make_unique<Judge>(in, max_centres));
        }
    }

    // The first lane's judge, for judging (and removing) on the calling thread.
    Judge& own() { return *judges_.front(); }

    // Verdicts (merge targets) of centres[k] for every k in `todo`, stored at
    // targets[k]; with `examined`, the points that decided a kept centre at
    // examined[k]. False when some judgement stopped: the check is then redone
    // in order on the calling thread, which reports the first failure.
    bool judge(std::span<const std::size_t> todo, Slice<std::int64_t> centres,
               Slice<std::int64_t> labels, std::vector<std::uint64_t>& targets,
               std::vector<std::vector<std::uint64_t>>* examined) {
        std::atomic<std::size_t> next{0};
        std::atomic<bool> stopped{false};
        const std::size_t lanes = std::min(judges_.size(), todo.size());
        parallel_for(lanes, [&](std::size_t lane) {
            Judge& judge = *judges_[lane];
            try {
                for (std::size_t t = next++; t < todo.size() && !stopped; t = next++) {
                    const std::size_t k = todo[t];
                    const auto c = static_cast<std::uint64_t>(centres[k]);
                    targets[k] = judge.merge_target(c, centres, labels);
                    if (examined && targets[k] == c) {
                        const auto points = judge.examined();
                        (*examined)[k].assign(points.begin(), points.end());
                    }
                }
            } catch (const Stop&) {
                stopped = true;
            }
        }, 1);
        return !stopped;
    }

private:
    std::vector<std::unique_ptr<Judge>> judges_;
};

}  // namespace

CheckResult check_cluster_stability(const StabilityInputs& in, Slice<std::int64_t> idx_centers,
                                    Slice<std::int64_t> cluster_label, ClusterGraph& graph) {
    Judges judges(in, idx_centers.size());
    Judge& judge = judges.own();
    std::vector<std::size_t> todo(idx_centers.size());
    for (std::size_t k = 0; k < todo.size(); ++k) todo[k] = k;
    std::vector<std::uint64_t> targets(idx_centers.size());
    const bool judged = judges.judge(todo, idx_centers, cluster_label, targets, nullptr);

    CheckResult out;
    for (std::size_t k = 0; k < idx_centers.size(); ++k) {
        const auto c = static_cast<std::uint64_t>(idx_centers[k]);
        const std::uint64_t target =
            judged ? targets[k] : judge.merge_target(c, idx_centers, cluster_label);
        if (target != c) {
            judge.remove(c, target, graph);
            ++out.removed;
        } else {
            out.kept.push_back(idx_centers[k]);
        }
    }
    return out;
}

LoopResult stability_loop(const StabilityInputs& in, Slice<std::int64_t> idx_centers,
                          ClusterGraph& graph) {
    const std::size_t n = in.rho.size();
    Judges judges(in, idx_centers.size());
    Judge& judge = judges.own();
    std::vector<std::int64_t> centres(idx_centers.begin(), idx_centers.end());
    std::vector<std::int64_t> labels;
    std::vector<std::int64_t> last_centres;
    std::vector<std::int64_t> last_labels;
    std::vector<std::uint8_t> moved(n, 0);  // point changed cluster since the last check
    KeptMemo memo;  // entry k: centre k of `centres`, from the last check
    KeptMemo next_memo;
    bool remembered = false;  // memo and last_* describe the last check
    std::vector<std::size_t> todo;  // positions of the centres to judge afresh
    std::vector<std::uint64_t> targets;
    std::vector<std::vector<std::uint64_t>> examined;

    for (;;) {
        labels = assign_cluster({centres.data(), centres.size()}, n, graph.density_graph);
        const Slice<std::int64_t> centre_run{centres.data(), centres.size()};
        const Slice<std::int64_t> label_run{labels.data(), labels.size()};
        // Clusters are compared by their centre point, since positions
        // renumber when centres go. A carried label names one point (of a
        // centre listed twice only the last position labels anything), so
        // equal labels within one labelling mean equal centre points.
        if (remembered) {
            for (std::size_t v = 0; v < n; ++v) {
                moved[v] = cluster_of(last_centres, last_labels[v]) !=
                           cluster_of(centres, labels[v]);
            }
        }
        todo.clear();
        for (std::size_t k = 0; k < centres.size(); ++k) {
            const auto points = remembered ? memo[k] : std::span<const std::uint64_t>{};
            if (!remembered || std::any_of(points.begin(), points.end(),
                                           [&](std::uint64_t v) { return moved[v] != 0; })) {
                todo.push_back(k);
            }
        }
        targets.assign(centres.size(), 0);
        examined.resize(centres.size());
        const bool judged = judges.judge(todo, centre_run, label_run, targets, &examined);

        std::vector<std::int64_t> kept;
        std::uint64_t removed = 0;
        next_memo.clear();
        std::size_t next_todo = 0;
        for (std::size_t k = 0; k < centres.size(); ++k) {
            const auto c = static_cast<std::uint64_t>(centres[k]);
            if (next_todo == todo.size() || todo[next_todo] != k) {
                kept.push_back(centres[k]);
                next_memo.add(memo[k]);
                continue;
            }
            ++next_todo;
            const std::uint64_t target =
                judged ? targets[k] : judge.merge_target(c, centre_run, label_run);
            if (target != c) {
                judge.remove(c, target, graph);
                ++removed;
            } else {
                kept.push_back(centres[k]);
                next_memo.add(judged ? std::span<const std::uint64_t>(examined[k])
                                     : judge.examined());
            }
        }
        // A check that removes nothing changes neither the centres nor the
        // graph, so these labels are already those of the final centres.
        if (removed == 0) break;
        last_centres = std::move(centres);
        last_labels = std::move(labels);
        centres = std::move(kept);
        std::swap(memo, next_memo);
        remembered = true;
    }
    return {std::move(centres), std::move(labels)};
}

}  // namespace quarnel::cluster
