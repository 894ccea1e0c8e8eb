#include "cluster/saddles.hpp"

#include <algorithm>

#include "core/parallel.hpp"

namespace quarnel::cluster {
namespace {

// Rows per block of the passes over the table.
constexpr std::size_t block_rows = 1 << 15;
// Clusters per bucket: a bucket's pairs (those whose lower cluster falls in
// it) are reduced together in a table small enough to stay in cache.
constexpr std::size_t buckets_wanted = 128;
// Rows fetched ahead of the one read.
constexpr std::size_t rows_ahead = 8;

// One touching pair of points: the clusters a < b and the lower density.
template <class Label>
struct Offer {
    Label a;
    Label b;
    double level;
};

// Open addressing with linear probing, keyed by (a, b), keeping the highest
// level of each key.
template <class Label>
class PairTable {
public:
    explicit PairTable(std::size_t expected) {
        std::size_t size = 64;
        while (size < 2 * expected) size *= 2;
        slots_.assign(size, Slot{});
    }

    void offer(const Offer<Label>& o) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t s = hash(o.a, o.b) & mask;
        while (true) {
            Slot& e = slots_[s];
            if (!e.used) {
                e = Slot{o, true};
                if (++used_ * 2 > slots_.size()) grow();
                return;
            }
            if (e.offer.a == o.a && e.offer.b == o.b) {
                if (o.level > e.offer.level) e.offer.level = o.level;
                return;
            }
            s = (s + 1) & mask;
        }
    }

    // The keys and their highest levels, ascending by (a, b).
    std::vector<Offer<Label>> sorted() const {
        std::vector<Offer<Label>> out;
        out.reserve(used_);
        for (const Slot& e : slots_) {
            if (e.used) out.push_back(e.offer);
        }
        std::sort(out.begin(), out.end(), [](const Offer<Label>& p, const Offer<Label>& q) {
            return p.a != q.a ? p.a < q.a : p.b < q.b;
        });
        return out;
    }

private:
    struct Slot {
        Offer<Label> offer{};
        bool used = false;
    };

    static std::size_t hash(Label a, Label b) {
        const auto h = (static_cast<std::uint64_t>(a) * 0x9E3779B97F4A7C15ull) ^
                       static_cast<std::uint64_t>(b);
        return static_cast<std::size_t>((h * 0xBF58476D1CE4E5B9ull) >> 24);
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        used_ = 0;
        for (const Slot& e : old) {
            if (e.used) offer(e.offer);
        }
    }

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

template <class Label, class Index>
Saddles reduce(Slice<std::int64_t> labels, Slice<double> rho,
               const MatrixView<Index>& nn_list, std::size_t rows, std::size_t columns,
               std::size_t n_labels) {
    // Rows 0 .. rows - 1 are read; neighbours index all n labels.
    const std::size_t n = labels.size();
    const std::size_t blocks = (rows + block_rows - 1) / block_rows;
    // Buckets of 2^shift clusters: a shift, not a division, per offer.
    unsigned shift = 0;
    while ((n_labels >> shift) > buckets_wanted) ++shift;
    const std::size_t buckets = ((n_labels - 1) >> shift) + 1;

    // Calls f(offer) for every crossing pair of points of a block of rows.
    auto each_offer = [&](std::size_t block, auto&& f) {
        const std::size_t begin = block * block_rows;
        const std::size_t end = std::min(rows, begin + block_rows);
        for (std::size_t i = begin; i < end; ++i) {
            // The neighbours' labels and densities are scattered over the
            // whole arrays: the labels are fetched a few rows ahead, and
            // once they have arrived, the densities of the neighbours in
            // other clusters (the only ones read).
            if (i + 2 * rows_ahead < end) {
                for (std::size_t j = 1; j < columns; ++j) {
                    const auto e = static_cast<std::uint64_t>(nn_list(i + 2 * rows_ahead, j));
                    if (e < n) __builtin_prefetch(labels.data + e);
                }
            }
            if (i + rows_ahead < end) {
                const std::int64_t own = labels[i + rows_ahead];
                for (std::size_t j = 1; j < columns; ++j) {
                    const auto e = static_cast<std::uint64_t>(nn_list(i + rows_ahead, j));
                    if (e < n && labels[e] != own) __builtin_prefetch(rho.data + e);
                }
            }
            const std::int64_t mine = labels[i];
            if (mine < 0) continue;
            for (std::size_t j = 1; j < columns; ++j) {
                const std::size_t e = checked(n, static_cast<std::uint64_t>(nn_list(i, j)));
                const std::int64_t theirs = labels[e];
                if (theirs == mine || theirs < 0) continue;
                f(Offer<Label>{static_cast<Label>(std::min(mine, theirs)),
                               static_cast<Label>(std::max(mine, theirs)), std::min(rho[i], rho[e])});
            }
        }
    };

    // Each block gathers its offers in row order, then lays them out by
    // bucket (a counting sort small enough to stay in cache), so that a
    // bucket's offers are a run in every block.
    struct Block {
        std::vector<Offer<Label>> offers;
        std::vector<std::size_t> start;  // per bucket, its run in `offers`; one more at the end
    };
    std::vector<Block> laid(blocks);
    parallel_for(blocks, [&](std::size_t block) {
        std::vector<Offer<Label>> found;
        each_offer(block, [&](const Offer<Label>& o) { found.push_back(o); });
        Block& out = laid[block];
        out.start.assign(buckets + 1, 0);
        for (const Offer<Label>& o : found) ++out.start[(o.a >> shift) + 1];
        for (std::size_t q = 0; q < buckets; ++q) out.start[q + 1] += out.start[q];
        std::vector<std::size_t> next(out.start.begin(), out.start.end() - 1);
        out.offers.resize(found.size());
        for (const Offer<Label>& o : found) out.offers[next[o.a >> shift]++] = o;
    }, 1);

    // Each bucket reduced on its own; buckets are in ascending order of a.
    std::vector<std::vector<Offer<Label>>> reduced(buckets);
    parallel_for(buckets, [&](std::size_t q) {
        std::size_t total = 0;
        for (const Block& b : laid) total += b.start[q + 1] - b.start[q];
        PairTable<Label> table(std::min<std::size_t>(total, 1 << 12));
        for (const Block& b : laid) {
            for (std::size_t s = b.start[q]; s < b.start[q + 1]; ++s) table.offer(b.offers[s]);
        }
        reduced[q] = table.sorted();
    }, 1);
    std::vector<Block>().swap(laid);

    Saddles out;
    std::size_t pairs = 0;
    for (const auto& r : reduced) pairs += r.size();
    out.a.reserve(pairs);
    out.b.reserve(pairs);
    out.level.reserve(pairs);
    for (const auto& r : reduced) {
        for (const Offer<Label>& o : r) {
            out.a.push_back(static_cast<std::int64_t>(o.a));
            out.b.push_back(static_cast<std::int64_t>(o.b));
            out.level.push_back(o.level);
        }
    }
    return out;
}


template <class Index>
Saddles saddles_of_rows(Slice<std::int64_t> labels, Slice<double> rho,
                        const MatrixView<Index>& nn_list, std::size_t rows, std::size_t width) {
    const std::size_t n = labels.size();
    const std::size_t columns = std::max<std::size_t>(1, std::min(width, nn_list.cols));
    if (nn_list.rows < rows || rows > n) stop_ndarray();
    if (rho.size() < n) stop_index(rho.size(), n);
    std::int64_t top = -1;
    for (std::size_t i = 0; i < n; ++i) top = std::max(top, labels[i]);
    const auto n_labels = static_cast<std::size_t>(top + 1);
    if (n_labels == 0) return {};
    // The offers in half the bytes while labels fit in 32 bits.
    if (n_labels <= (std::size_t{1} << 32)) {
        return reduce<std::uint32_t, Index>(labels, rho, nn_list, rows, columns, n_labels);
    }
    return reduce<std::uint64_t, Index>(labels, rho, nn_list, rows, columns, n_labels);
}

}  // namespace

template <class Index>
Saddles highest_saddles(Slice<std::int64_t> labels, Slice<double> rho,
                        const MatrixView<Index>& nn_list, std::size_t width) {
    return saddles_of_rows(labels, rho, nn_list, labels.size(), width);
}

template <class Index>
Saddles highest_saddles_rows(Slice<std::int64_t> labels, Slice<double> rho,
                             const MatrixView<Index>& nn_list, std::size_t width) {
    return saddles_of_rows(labels, rho, nn_list, nn_list.rows, width);
}

template Saddles highest_saddles(Slice<std::int64_t>, Slice<double>, const MatrixView<std::int64_t>&,
                                 std::size_t);
template Saddles highest_saddles(Slice<std::int64_t>, Slice<double>, const MatrixView<std::int32_t>&,
                                 std::size_t);
template Saddles highest_saddles_rows(Slice<std::int64_t>, Slice<double>,
                                      const MatrixView<std::int64_t>&, std::size_t);
template Saddles highest_saddles_rows(Slice<std::int64_t>, Slice<double>,
                                      const MatrixView<std::int32_t>&, std::size_t);

}  // namespace quarnel::cluster
