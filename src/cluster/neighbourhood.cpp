#include "cluster/neighbourhood.hpp"

#include <algorithm>

namespace quarnel::cluster {

namespace {

// Prefetch distances, in frontier entries: rows of a large table are far
// apart in memory, and the frontier list says in advance which are needed.
// The row and label of entry f + rows_ahead are fetched first; by entry
// f + tests_ahead the row has arrived, and the test marks and densities of
// its neighbours are fetched in turn.
constexpr std::size_t rows_ahead = 12;
constexpr std::size_t tests_ahead = 4;

}  // namespace

NhSearch::NhSearch(Slice<double> rho, const MatrixView<std::int64_t>& nn_list, std::size_t s)
    : rho_(rho), nn_list_(nn_list), s_(s), tested_((rho.size() + 63) / 64, 0) {}

void NhSearch::admit(std::uint64_t j, double eta, std::vector<std::uint64_t>& into) {
    // A point is tested once per search: admitted points are never tested
    // again anyway, and points below eta, which border many admitted ones,
    // would otherwise have their density read once per such neighbour.
    std::uint64_t& word = tested_[j / 64];
    const std::uint64_t bit = std::uint64_t{1} << (j % 64);
    if (word & bit) return;
    word |= bit;
    if (rho_[j] > eta) {
        into.push_back(j);
        // j is expanded in the next pass, should it carry the start label:
        // its label and row are fetched from now on, a pass ahead.
        if (j < label_.size()) __builtin_prefetch(label_.data + j);
        if (j < nn_list_.rows) {
            const std::int64_t* row = nn_list_.row(static_cast<std::size_t>(j));
            __builtin_prefetch(row);
            if (nn_list_.col_stride == 1 && s_ > 8) __builtin_prefetch(row + 8);
        }
    } else {
        rejected_.push_back(j);
    }
}

// Inlined by force: left a call, it would be dropped as having no effect.
[[gnu::always_inline]] inline void NhSearch::prefetch(std::size_t f) const {
    const std::ptrdiff_t stride = nn_list_.col_stride;
    if (f + rows_ahead < frontier_.size()) {
        const std::uint64_t i = frontier_[f + rows_ahead];
        if (i < label_.size()) __builtin_prefetch(label_.data + i);
        if (i < nn_list_.rows) {
            const std::int64_t* row = nn_list_.row(static_cast<std::size_t>(i));
            const std::size_t step = stride == 1 ? 8 : 1;  // 8 entries per cache line
            for (std::size_t c = 0; c < s_; c += step) {
                __builtin_prefetch(row + static_cast<std::ptrdiff_t>(c) * stride);
            }
        }
    }
    if (f + tests_ahead < frontier_.size()) {
        const std::uint64_t i = frontier_[f + tests_ahead];
        if (i < nn_list_.rows) {
            const std::int64_t* row = nn_list_.row(static_cast<std::size_t>(i));
            for (std::size_t c = 0; c < s_; ++c) {
                const auto j =
                    static_cast<std::uint64_t>(row[static_cast<std::ptrdiff_t>(c) * stride]);
                if (j < rho_.size()) {
                    __builtin_prefetch(tested_.data() + j / 64);
                    __builtin_prefetch(rho_.data + j);
                }
            }
        }
    }
}

// Expands i without stopping; false when one of its checks would fail. Which
// checks fail depends only on i, not on what has been admitted.
bool NhSearch::expand_unchecked(std::uint64_t i, std::int64_t start_label, double eta) {
    if (i >= label_.size()) return false;
    if (label_[i] != start_label) return true;
    if (i >= nn_list_.rows) return false;
    const std::size_t n = rho_.size();
    const std::int64_t* row = nn_list_.row(static_cast<std::size_t>(i));
    for (std::size_t c = 0; c < s_; ++c) {
        const auto j = static_cast<std::uint64_t>(
            row[static_cast<std::ptrdiff_t>(c) * nn_list_.col_stride]);
        if (j >= n) return false;
        admit(j, eta, next_);
    }
    return true;
}

// The same expansion with every check in the flood's order.
void NhSearch::expand_checked(std::uint64_t i, std::int64_t start_label, double eta) {
    if (label_.at(i) != start_label) return;
    for (std::size_t c = 0; c < s_; ++c) {
        const auto j = static_cast<std::uint64_t>(nn_list_.at(i, c));
        admit(checked(rho_.size(), j), eta, next_);
    }
}

std::span<const std::uint64_t> NhSearch::search(std::uint64_t idx,
                                                 Slice<std::int64_t> cluster_label, double eta) {
    // However the last search ended, the marks it set are cleared (a whole
    // word at a time: every set bit belongs to one of these lists).
    for (const auto* tested : {&found_, &next_, &rejected_}) {
        for (const std::uint64_t j : *tested) tested_[j / 64] = 0;
    }
    found_.clear();
    next_.clear();
    rejected_.clear();
    ring_.clear();
    label_ = cluster_label;
    const std::size_t n = rho_.size();

    const std::int64_t start_label = label_.at(idx);

    // First ring: all of it is expanded in the first pass, whatever its
    // density; only the dense points are admitted. Reading all s columns of
    // row idx here also stops any search given more columns than there are.
    for (std::size_t c = 0; c < s_; ++c) {
        const auto j = static_cast<std::uint64_t>(nn_list_.at(idx, c));
        ring_.push_back(checked(n, j));
        admit(j, eta, found_);
    }
    frontier_.assign(ring_.begin(), ring_.end());

    // Within a pass the order of expansion changes nothing but which failure
    // is met first, so the frontier is expanded as it stands; only when a
    // check fails is the pass redone in ascending order with every check,
    // which stops at the failure the ordered flood meets first.
    while (!frontier_.empty()) {
        next_.clear();
        for (std::size_t f = 0; f < frontier_.size(); ++f) {
            prefetch(f);
            if (!expand_unchecked(frontier_[f], start_label, eta)) {
                std::sort(frontier_.begin(), frontier_.end());
                for (const std::uint64_t i : frontier_) expand_checked(i, start_label, eta);
                break;
            }
        }
        found_.insert(found_.end(), next_.begin(), next_.end());
        std::swap(frontier_, next_);
    }
    next_.clear();
    return found_;
}

std::vector<std::uint64_t> bfs_nh_search(std::uint64_t idx, Slice<double> rho,
                                         const MatrixView<std::int64_t>& nn_list,
                                         Slice<std::int64_t> cluster_label, double eta,
                                         std::size_t s) {
    NhSearch search(rho, nn_list, s);
    const auto found = search.search(idx, cluster_label, eta);
    std::vector<std::uint64_t> out(found.begin(), found.end());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace quarnel::cluster
