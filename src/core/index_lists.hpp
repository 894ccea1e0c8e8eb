// Native form of an "index lists" argument (the density graph): list p holds
// signed 64-bit point indices.
//
// A million short lists cost a million allocations as separate vectors, and
// walking them chases a pointer per list. Here all lists share one flat
// buffer, list p being entries[offsets[p] .. offsets[p + 1]). Entries appended
// after the lists are built (a removed centre hung below its merge target)
// are few, so they are kept apart, in arrival order per list, and a bit per
// list says whether a list has any.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quarnel {

class IndexLists {
public:
    IndexLists() : offsets_{0} {}

    // Lists already laid out: offsets has one entry more than there are
    // lists, starts at 0 and ends at entries.size().
    IndexLists(std::vector<std::size_t> offsets, std::vector<std::int64_t> entries)
        : offsets_(std::move(offsets)), entries_(std::move(entries)) {}

    // Building list by list: the entries of the list being built, then
    // end_list().
    void reserve(std::size_t lists, std::size_t entries) {
        offsets_.reserve(lists + 1);
        entries_.reserve(entries);
    }
    void add_entry(std::int64_t v) { entries_.push_back(v); }
    void end_list() { offsets_.push_back(entries_.size()); }

    std::size_t size() const noexcept { return offsets_.size() - 1; }

    // Appends v to list p (p < size()).
    void append(std::size_t p, std::int64_t v) {
        if (appended_mark_.empty()) appended_mark_.assign(size() / 64 + 1, 0);
        appended_mark_[p / 64] |= std::uint64_t{1} << (p % 64);
        appended_[p].push_back(v);
    }

    // The entries list p was built with, and those appended to it since.
    std::span<const std::int64_t> built(std::size_t p) const noexcept {
        return {entries_.data() + offsets_[p], offsets_[p + 1] - offsets_[p]};
    }
    std::span<const std::int64_t> appended(std::size_t p) const {
        if (appended_mark_.empty() || !(appended_mark_[p / 64] >> (p % 64) & 1)) return {};
        return appended_.find(p)->second;
    }
    std::size_t length(std::size_t p) const { return built(p).size() + appended(p).size(); }

    // Calls f(entry) for the entries of list p in order.
    template <class F>
    void for_each(std::size_t p, F&& f) const {
        for (const std::int64_t v : built(p)) f(v);
        for (const std::int64_t v : appended(p)) f(v);
    }

    // For prefetching list p's entries ahead of a walk.
    const std::int64_t* first_entry(std::size_t p) const noexcept {
        return entries_.data() + offsets_[p];
    }
    const std::size_t* offset_slot(std::size_t p) const noexcept { return offsets_.data() + p; }

private:
    std::vector<std::size_t> offsets_;
    std::vector<std::int64_t> entries_;
    std::vector<std::uint64_t> appended_mark_;  // bit p: list p has appended entries
    std::unordered_map<std::size_t, std::vector<std::int64_t>> appended_;
};

}  // namespace quarnel
