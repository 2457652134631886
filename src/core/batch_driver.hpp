// The batch drivers: which thread scores which cells of a batch, and how results come together.
//
// Kernels (batch_kernel.hpp) know nothing of threads; the drivers cut the work into blocks of
// about equal cost, run them through run_blocks (parallel_blocks.hpp) and collect the results:
// a matrix written in place, or each query's k best candidates.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/batch_scoring.hpp"
#include "core/parallel_blocks.hpp"

namespace ontarix::batch {



// Cuts rows into blocks of about equal work (a row's work being its cell count): big enough that
// taking one costs nothing, small enough that threads finish together and that the calling
// thread answers its host (Ctrl-C) within milliseconds. A small batch is one block, run on the
// calling thread alone.
inline std::vector<std::size_t> row_blocks(std::size_t rows, std::size_t cols, bool triangle) {
    constexpr std::size_t kCellsPerBlock = 1 << 14;
    std::size_t cells = 0;
    for (std::size_t i = 0; i < rows; ++i) cells += triangle ? cols - i : cols;
    const std::size_t wanted = cells / kCellsPerBlock + 1;
    const std::size_t per_block = std::max<std::size_t>(1, cells / wanted);
    std::vector<std::size_t> bounds{0};
    std::size_t in_block = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        in_block += triangle ? cols - i : cols;
        if (in_block >= per_block) {
            bounds.push_back(i + 1);
            in_block = 0;
        }
    }
    if (bounds.back() != rows) bounds.push_back(rows);
    return bounds;
}

inline Waiter& waiter_of(const BatchOptions& options) {
    return options.waiter != nullptr ? *options.waiter : plain_waiter();
}

template <class Kernel>
void fill_matrix(const Kernel& kernel, std::size_t rows, std::size_t cols, bool symmetric,
                 double* out, const BatchOptions& options) {
    if (rows == 0 || cols == 0) return;
    const std::vector<std::size_t> bounds = row_blocks(rows, cols, symmetric);
    std::vector<std::optional<typename Kernel::Scratch>> scratch(options.threads);
    run_blocks(bounds.size() - 1, options.threads, waiter_of(options),
               [&](std::size_t block, unsigned worker) {
                   auto& s = scratch[worker];
                   if (!s) s.emplace(kernel.scratch());
                   for (std::size_t i = bounds[block]; i < bounds[block + 1]; ++i) {
                       kernel.prepare(*s, i);
                       for (std::size_t j = symmetric ? i : 0; j < cols; ++j) {
                           const double value = kernel.score(*s, i, j);
                           out[i * cols + j] = value;
                           if (symmetric) out[j * cols + i] = value;
                       }
                       kernel.clear(*s, i);
                   }
               });
}

// The k best of one query, kept as a heap whose top is the worst kept.
class Best {
public:
    explicit Best(const std::vector<std::uint32_t>& name_rank) : name_rank_(name_rank) {}

    // True when a ranks before b.
    bool operator()(const Neighbour& a, const Neighbour& b) const noexcept {
        const bool a_nan = std::isnan(a.score);
        const bool b_nan = std::isnan(b.score);
        if (a_nan != b_nan) return b_nan;
        if (!a_nan && a.score != b.score) return a.score > b.score;
        return name_rank_[a.candidate] < name_rank_[b.candidate];
    }

private:
    const std::vector<std::uint32_t>& name_rank_;
};

struct TopStore {
    std::vector<Neighbour> entries;  // k per query
    std::vector<std::uint32_t> sizes;
};

template <class Kernel>
NeighbourLists collect_top_k(const Kernel& kernel, std::size_t queries, std::size_t candidates,
                             bool all_vs_all, const std::vector<std::uint32_t>& name_rank,
                             std::size_t k, const BatchOptions& options) {
    NeighbourLists out;
    out.begin.assign(queries + 1, 0);
    const std::size_t available = all_vs_all ? candidates - std::min<std::size_t>(candidates, 1)
                                             : candidates;
    k = std::min(k, available);
    if (queries == 0 || k == 0) return out;

    const Best better(name_rank);
    auto push = [&](TopStore& store, std::size_t q, Neighbour n) {
        Neighbour* heap = &store.entries[q * k];
        std::uint32_t& size = store.sizes[q];
        if (size < k) {
            heap[size++] = n;
            std::push_heap(heap, heap + size, better);
        } else if (better(n, heap[0])) {
            std::pop_heap(heap, heap + size, better);
            heap[size - 1] = n;
            std::push_heap(heap, heap + size, better);
        }
    };

    const std::vector<std::size_t> bounds =
        row_blocks(queries, candidates, all_vs_all);
    std::vector<std::optional<typename Kernel::Scratch>> scratch(options.threads);
    std::vector<std::unique_ptr<TopStore>> stores(options.threads);
    run_blocks(bounds.size() - 1, options.threads, waiter_of(options),
               [&](std::size_t block, unsigned worker) {
                   auto& s = scratch[worker];
                   if (!s) s.emplace(kernel.scratch());
                   auto& store = stores[worker];
                   if (!store) {
                       store = std::make_unique<TopStore>();
                       store->entries.resize(queries * k);
                       store->sizes.assign(queries, 0);
                   }
                   for (std::size_t i = bounds[block]; i < bounds[block + 1]; ++i) {
                       kernel.prepare(*s, i);
                       for (std::size_t j = all_vs_all ? i + 1 : 0; j < candidates; ++j) {
                           const double value = kernel.score(*s, i, j);
                           push(*store, i, {static_cast<std::uint32_t>(j), value});
                           if (all_vs_all) push(*store, j, {static_cast<std::uint32_t>(i), value});
                       }
                       kernel.clear(*s, i);
                   }
               });

    // Each pair was scored once, so the best k of the stores' lists are the best k overall; the
    // order is total, so they come out the same for any split of the work.
    std::vector<Neighbour> merged;
    for (std::size_t q = 0; q < queries; ++q) {
        merged.clear();
        for (const auto& store : stores) {
            if (!store) continue;
            const Neighbour* heap = &store->entries[q * k];
            merged.insert(merged.end(), heap, heap + store->sizes[q]);
        }
        const std::size_t keep = std::min(k, merged.size());
        std::partial_sort(merged.begin(), merged.begin() + static_cast<std::ptrdiff_t>(keep),
                          merged.end(), better);
        out.items.insert(out.items.end(), merged.begin(),
                         merged.begin() + static_cast<std::ptrdiff_t>(keep));
        out.begin[q + 1] = out.items.size();
    }
    return out;
}

}  // namespace ontarix::batch
