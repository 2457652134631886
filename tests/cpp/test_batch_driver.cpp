// The batch drivers with a kernel that only records what it is asked: every cell exactly once,
// heavy rows cut into column ranges, top-k lists that do not depend on threads or on how a search
// is cut into pieces, and partial lists that survive their byte form.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/batch_driver.hpp"
#include "core/fault.hpp"
#include "core/top_k_lists.hpp"

namespace ontarix {
namespace {

// score(i, j) is a fixed function of the pair, symmetric, with ties and NaN; every call counted.
class PairKernel {
public:
    struct Scratch {
        std::size_t prepared = SIZE_MAX;
    };
    explicit PairKernel(std::size_t cells_per_row) : calls_(cells_per_row * cells_per_row) {}

    Scratch scratch() const { return {}; }
    void prepare(Scratch& s, std::size_t i) const { s.prepared = i; }
    double score(Scratch& s, std::size_t i, std::size_t j) const {
        EXPECT_EQ(s.prepared, i);
        calls_[i * static_cast<std::size_t>(std::sqrt(double(calls_.size()))) + j].fetch_add(1);
        const std::size_t a = std::min(i, j), b = std::max(i, j);
        if ((a + b) % 17 == 0) return std::numeric_limits<double>::quiet_NaN();
        return static_cast<double>((a * 7 + b * 3) % 11);
    }
    void clear(Scratch& s, std::size_t) const { s.prepared = SIZE_MAX; }

    std::size_t calls(std::size_t i, std::size_t j, std::size_t n) const {
        return calls_[i * n + j].load();
    }

private:
    mutable std::vector<std::atomic<int>> calls_;
};

TEST(BatchDriver, EveryCellOnceForAnyShapeAndThreadCount) {
    const std::size_t n = 150;
    for (const bool symmetric : {false, true}) {
        for (const unsigned threads : {1u, 3u}) {
            const PairKernel kernel(n);
            std::vector<double> out(n * n, -1.0);
            batch::fill_matrix(kernel, n, n, symmetric, out.data(), {threads, nullptr, 0});
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t j = 0; j < n; ++j) {
                    const std::size_t want = !symmetric || j >= i ? 1 : 0;
                    ASSERT_EQ(kernel.calls(i, j, n), want) << i << " " << j;
                    ASSERT_FALSE(out[i * n + j] == -1.0);
                }
            }
        }
    }
}

TEST(BatchDriver, AHeavyRowIsCutIntoColumnRanges) {
    const std::size_t cols = 50 * batch::kCellsPerTile;
    const batch::Shape rectangle{0, cols, false, 0};
    const std::vector<batch::Tile> one = batch::tiles(0, 1, rectangle);
    EXPECT_GE(one.size(), 40u);
    std::size_t covered = 0;
    for (const batch::Tile& t : one) {
        EXPECT_EQ(t.row_begin, 0u);
        EXPECT_EQ(t.col_begin, covered);
        covered = t.col_end;
    }
    EXPECT_EQ(covered, cols);
    // Three heavy rows after many light ones: each heavy row gets its own column ranges.
    const batch::Shape triangle{0, cols, true, 1};
    std::size_t cells = 0;
    for (const batch::Tile& t : batch::tiles(cols - 3 * batch::kCellsPerTile, cols, triangle)) {
        std::size_t in_tile = 0;
        for (std::size_t i = t.row_begin; i < t.row_end; ++i) {
            const std::size_t first = std::max(t.col_begin, triangle.first_col(i));
            in_tile += first < t.col_end ? t.col_end - first : 0;
        }
        EXPECT_LE(in_tile, 3 * batch::kCellsPerTile);
        cells += in_tile;
    }
    const std::size_t rows = 3 * batch::kCellsPerTile;
    EXPECT_EQ(cells, rows * (rows - 1) / 2);
}

std::vector<Term> names_of(std::vector<std::string>& pool, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        std::string name(1, 'c');
        name += std::to_string(i % 40);  // names repeat
        pool.push_back(std::move(name));
    }
    return std::vector<Term>(pool.begin(), pool.end());
}

void expect_same_lists(const NeighbourLists& a, const NeighbourLists& b) {
    ASSERT_EQ(a.begin, b.begin);
    for (std::size_t e = 0; e < a.items.size(); ++e) {
        ASSERT_EQ(a.items[e].candidate, b.items[e].candidate) << e;
        const double x = a.items[e].score, y = b.items[e].score;
        ASSERT_TRUE(x == y || (std::isnan(x) && std::isnan(y))) << e;
    }
}

TEST(BatchDriver, TopKListsAreTheSameForThreadsAndPieces) {
    const std::size_t n = 120;
    std::vector<std::string> pool;
    const std::vector<Term> names = names_of(pool, n);
    const NeighbourOrder order(names);
    for (const bool all_vs_all : {true, false}) {
        const batch::TopKShape how{all_vs_all, true};
        const PairKernel kernel(n);
        const NeighbourLists one = batch::collect_top_k(kernel, n, n, how, order, 7, {1, nullptr, 0});
        // Reference: every pair sorted by the order.
        for (std::size_t q = 0; q < n; ++q) {
            std::vector<Neighbour> all;
            for (std::uint32_t c = 0; c < n; ++c) {
                if (all_vs_all && c == q) continue;
                const std::size_t a = std::min<std::size_t>(q, c), b = std::max<std::size_t>(q, c);
                all.push_back({c, (a + b) % 17 == 0 ? std::numeric_limits<double>::quiet_NaN()
                                                    : static_cast<double>((a * 7 + b * 3) % 11)});
            }
            std::sort(all.begin(), all.end(), order);
            for (std::size_t r = 0; r < 7; ++r) {
                ASSERT_EQ(one.items[one.begin[q] + r].candidate, all[r].candidate) << q << " " << r;
            }
        }
        const PairKernel other(n);
        expect_same_lists(one, batch::collect_top_k(other, n, n, how, order, 7, {3, nullptr, 0}));

        // The same search in pieces: ranges with themselves and pairs of disjoint ranges (with
        // candidates given, every range of rows against every range of columns).
        const std::vector<std::pair<std::size_t, std::size_t>> ranges{{0, 17}, {17, 80}, {80, 120}};
        TopKLists merged(n, 7, order);
        const PairKernel pieces(n);
        for (std::size_t a = 0; a < ranges.size(); ++a) {
            for (std::size_t b = all_vs_all ? a : 0; b < ranges.size(); ++b) {
                const PartialNeighbours piece = batch::collect_top_k_piece(
                    pieces, n, ranges[a].first, ranges[a].second, ranges[b].first,
                    ranges[b].second, how, order, 7, {2, nullptr, 0});
                const PartialNeighbours back =
                    load_partial_neighbours(save_partial_neighbours(piece), n, n);
                for (std::size_t l = 0; l < back.queries.size(); ++l) {
                    for (std::size_t e = back.lists.begin[l]; e < back.lists.begin[l + 1]; ++e) {
                        merged.offer(back.queries[l], back.lists.items[e]);
                    }
                }
            }
        }
        expect_same_lists(one, merged.sorted());
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                ASSERT_LE(pieces.calls(i, j, n), 1u);  // no pair scored twice
            }
        }
    }
}

TEST(TopKLists, ConcurrentOffersKeepTheBest) {
    std::vector<std::string> pool;
    const std::vector<Term> names = names_of(pool, 500);
    const NeighbourOrder order(names);
    std::vector<Neighbour> offers;
    std::mt19937 rng(3);
    for (std::uint32_t c = 0; c < 500; ++c) {
        const double score = rng() % 9 == 0 ? std::numeric_limits<double>::quiet_NaN() : rng() % 13;
        offers.push_back({c, score});
    }
    TopKLists lists(4, 25, order);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t i = t; i < offers.size(); i += 4) {
                for (std::size_t q = 0; q < 4; ++q) lists.offer(q, offers[i]);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    std::sort(offers.begin(), offers.end(), order);
    const NeighbourLists got = lists.sorted();
    for (std::size_t q = 0; q < 4; ++q) {
        for (std::size_t r = 0; r < 25; ++r) {
            ASSERT_EQ(got.items[got.begin[q] + r].candidate, offers[r].candidate);
        }
    }
}

TEST(TopKLists, NoEntriesWhenKIsZero) {
    std::vector<std::string> pool;
    const std::vector<Term> names = names_of(pool, 3);
    const NeighbourOrder order(names);
    TopKLists lists(2, 0, order);
    lists.offer(1, {0, 1.0});
    const NeighbourLists got = lists.sorted();
    EXPECT_EQ(got.begin, (std::vector<std::size_t>{0, 0, 0}));
}

TEST(TopKLists, DamagedPartialListsAreRejected) {
    PartialNeighbours partial;
    partial.queries = {3, 1};
    partial.lists.begin = {0, 2, 3};
    partial.lists.items = {{4, 1.0}, {2, 0.5}, {0, 2.0}};
    const std::string bytes = save_partial_neighbours(partial);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        EXPECT_THROW(load_partial_neighbours(std::string_view(bytes).substr(0, cut), 5, 5), Fault);
    }
    EXPECT_THROW(load_partial_neighbours(bytes, 3, 5), Fault);  // query 3 of 3
    EXPECT_THROW(load_partial_neighbours(bytes, 5, 4), Fault);  // candidate 4 of 4
    EXPECT_EQ(load_partial_neighbours(bytes, 5, 5).lists.items.size(), 3u);
}

}  // namespace
}  // namespace ontarix
