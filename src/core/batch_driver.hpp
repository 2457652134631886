// The batch drivers: which thread scores which cells of a batch, and how results come together.
//
// Kernels (batch_kernel.hpp) know nothing of threads. The drivers cut the cells of a batch into
// tiles of about equal cost -- bands of whole rows, and a row that is a lot of work by itself cut
// into column ranges, so that one query against a million candidates spreads over every thread and
// the calling thread still answers its host (Ctrl-C) every few milliseconds -- and run them
// through run_blocks (parallel_blocks.hpp). Results go straight where they belong: a matrix
// written in place, or scored pairs offered to shared top-k lists (top_k_lists.hpp), whose memory
// is k entries per query whatever the thread count.
//
// A search may also be cut into pieces by the caller (rows x columns ranges, for a cluster): a
// piece's lists merge with the others' into exactly the single call's lists, because every pair is
// scored once, by the same kernel, and kept under a total order.
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
#include "core/top_k_lists.hpp"

namespace ontarix::batch {

// Cells (i, j) of rows [row_begin, row_end) and columns [col_begin, col_end); in a triangle only
// those with j >= i + diagonal_offset are scored.
struct Tile {
    std::size_t row_begin, row_end;
    std::size_t col_begin, col_end;
};

// Where a row's cells start: all columns of a rectangle; in a triangle, from the diagonal (with it
// for a matrix, without it for neighbour lists).
struct Shape {
    std::size_t col_begin, col_end;
    bool triangle = false;
    std::size_t diagonal_offset = 0;  // 0: j >= i; 1: j > i

    std::size_t first_col(std::size_t i) const noexcept {
        return triangle ? std::max(col_begin, i + diagonal_offset) : col_begin;
    }
    std::size_t cells(std::size_t i) const noexcept {
        const std::size_t first = first_col(i);
        return first < col_end ? col_end - first : 0;
    }
};

// About this many cells per tile: big enough that taking one costs nothing, small enough that
// threads finish together and that the calling thread answers its host within milliseconds.
inline constexpr std::size_t kCellsPerTile = 1 << 14;

// Tiles of about equal work covering rows [row_begin, row_end) of `shape`. A small batch is one
// tile, run on the calling thread alone.
inline std::vector<Tile> tiles(std::size_t row_begin, std::size_t row_end, const Shape& shape) {
    std::size_t cells = 0;
    for (std::size_t i = row_begin; i < row_end; ++i) cells += shape.cells(i);
    const std::size_t wanted = cells / kCellsPerTile + 1;
    const std::size_t per_tile = std::max<std::size_t>(1, cells / wanted);
    std::vector<Tile> out;
    std::size_t band = row_begin;
    std::size_t in_band = 0;
    auto close_band = [&](std::size_t end) {
        if (end == band) return;
        const std::size_t first = shape.first_col(band);
        if (end - band == 1 && in_band > 2 * per_tile && first < shape.col_end) {
            // One row worth many tiles: its columns, in pieces.
            const std::size_t pieces = (in_band + per_tile - 1) / per_tile;
            const std::size_t width = (in_band + pieces - 1) / pieces;
            for (std::size_t c = first; c < shape.col_end; c += width) {
                out.push_back({band, end, c, std::min(shape.col_end, c + width)});
            }
        } else {
            out.push_back({band, end, shape.col_begin, shape.col_end});
        }
        band = end;
        in_band = 0;
    };
    for (std::size_t i = row_begin; i < row_end; ++i) {
        const std::size_t row = shape.cells(i);
        // A heavy row gets a band of its own, so that it can be cut into columns.
        if (row > 2 * per_tile && in_band > 0) close_band(i);
        in_band += row;
        if (in_band >= per_tile) close_band(i + 1);
    }
    close_band(row_end);
    return out;
}

inline Waiter& waiter_of(const BatchOptions& options) {
    return options.waiter != nullptr ? *options.waiter : plain_waiter();
}

// Runs cell(i, j, scratch) for every cell of `shape` over rows [row_begin, row_end), tile by tile
// on the batch's threads, each row of a tile prepared once before its cells and cleared after.
template <class Kernel, class Cell>
void for_each_cell(const Kernel& kernel, std::size_t row_begin, std::size_t row_end,
                   const Shape& shape, const BatchOptions& options, Cell&& cell) {
    const std::vector<Tile> work = tiles(row_begin, row_end, shape);
    std::vector<std::optional<typename Kernel::Scratch>> scratch(std::max(1u, options.threads));
    run_blocks(work.size(), options.threads, waiter_of(options),
               [&](std::size_t t, unsigned worker) {
                   auto& s = scratch[worker];
                   if (!s) s.emplace(kernel.scratch());
                   const Tile& tile = work[t];
                   for (std::size_t i = tile.row_begin; i < tile.row_end; ++i) {
                       const std::size_t first = std::max(tile.col_begin, shape.first_col(i));
                       if (first >= tile.col_end) continue;
                       kernel.prepare(*s, i);
                       for (std::size_t j = first; j < tile.col_end; ++j) {
                           cell(i, j, kernel.score(*s, i, j));
                       }
                       kernel.clear(*s, i);
                   }
               });
}

// out[i * cols + j] = score(i, j). With `symmetric`, cols must be rows, and each pair is scored
// once and mirrored.
template <class Kernel>
void fill_matrix(const Kernel& kernel, std::size_t rows, std::size_t cols, bool symmetric,
                 double* out, const BatchOptions& options) {
    if (rows == 0 || cols == 0) return;
    const Shape shape{0, cols, symmetric, 0};
    for_each_cell(kernel, 0, rows, shape, options, [&](std::size_t i, std::size_t j, double value) {
        out[i * cols + j] = value;
        if (symmetric) out[j * cols + i] = value;
    });
}

// How the pairs of a top-k search are scored.
struct TopKShape {
    // The candidates are the queries themselves: a query is never its own neighbour.
    bool all_vs_all = false;
    // With all_vs_all, the measure is symmetric: each pair is scored once, for both queries.
    bool symmetric = true;
};

// Offers the pairs of query rows [row_begin, row_end) and candidate columns [col_begin, col_end):
// offer(query, Neighbour), from any thread.
//   - candidates given: every pair (i, j);
//   - all-vs-all, symmetric, the same range twice: each pair i < j once, offered to both queries;
//   - all-vs-all, symmetric, two disjoint ranges: every pair, offered to both queries;
//   - all-vs-all, not symmetric: every pair i != j, offered to query i only (a piece of two ranges
//     then covers one direction; its mirror piece covers the other).
template <class Kernel, class Offer>
void offer_pairs(const Kernel& kernel, std::size_t row_begin, std::size_t row_end,
                 std::size_t col_begin, std::size_t col_end, const TopKShape& how,
                 const BatchOptions& options, Offer&& offer) {
    const bool same = row_begin == col_begin && row_end == col_end;
    const bool mirror = how.all_vs_all && how.symmetric;
    Shape shape{col_begin, col_end, mirror && same, 1};
    for_each_cell(kernel, row_begin, row_end, shape, options,
                  [&](std::size_t i, std::size_t j, double value) {
                      if (how.all_vs_all && i == j) return;
                      offer(i, Neighbour{static_cast<std::uint32_t>(j), value});
                      if (mirror) offer(j, Neighbour{static_cast<std::uint32_t>(i), value});
                  });
}

// The k best candidates of every query (k clipped to what exists). Every pair is scored once.
template <class Kernel>
NeighbourLists collect_top_k(const Kernel& kernel, std::size_t queries, std::size_t candidates,
                             const TopKShape& how, const NeighbourOrder& order, std::size_t k,
                             const BatchOptions& options) {
    const std::size_t available =
        how.all_vs_all ? candidates - std::min<std::size_t>(candidates, 1) : candidates;
    TopKLists lists(queries, std::min(k, available), order);
    if (queries != 0 && k != 0) {
        offer_pairs(kernel, 0, queries, 0, candidates, how, options,
                    [&](std::size_t q, Neighbour n) { lists.offer(q, n); });
    }
    return lists.sorted();
}

// One piece of a search cut by the caller: the lists, over this piece's pairs only, of every query
// the piece offers to (rows, and with a mirrored all-vs-all piece also the columns).
template <class Kernel>
PartialNeighbours collect_top_k_piece(const Kernel& kernel, std::size_t queries,
                                      std::size_t row_begin, std::size_t row_end,
                                      std::size_t col_begin, std::size_t col_end,
                                      const TopKShape& how, const NeighbourOrder& order,
                                      std::size_t k, const BatchOptions& options) {
    // Lists only for the queries the piece offers to.
    PartialNeighbours out;
    for (std::size_t q = row_begin; q < row_end; ++q) out.queries.push_back(static_cast<std::uint32_t>(q));
    if (how.all_vs_all && how.symmetric && !(row_begin == col_begin && row_end == col_end)) {
        for (std::size_t q = col_begin; q < col_end; ++q) {
            if (q < row_begin || q >= row_end) out.queries.push_back(static_cast<std::uint32_t>(q));
        }
    }
    std::vector<std::uint32_t> local(queries, 0);
    for (std::uint32_t l = 0; l < out.queries.size(); ++l) local[out.queries[l]] = l;
    TopKLists lists(out.queries.size(), k, order);
    if (k != 0) {
        offer_pairs(kernel, row_begin, row_end, col_begin, col_end, how, options,
                    [&](std::size_t q, Neighbour n) { lists.offer(local[q], n); });
    }
    out.lists = lists.sorted();
    return out;
}

}  // namespace ontarix::batch
