// Exact p-value tables on the workload of ranking against OMIM: 8,352 candidates, a pool of 10,000
// terms, about 80 distinct best-match values per candidate, queries of 10 terms. Prints the time to
// build the table (1 and 2 threads), the time of a lookup for every candidate, the table's memory
// and stored size, how time and memory scale with q and the resolution R, and how far the reported
// p-values lie above a much finer grid's (the price of a coarser grid).
//
//   BOOST="$(python -c 'import boost_headers; print(boost_headers.get_include())')"
//   CORE="score_distribution score_distribution_state parallel_blocks blocking_wait fault"
//   g++ -O3 -std=c++20 -pthread -Isrc -I"$BOOST" bench/score_distribution_bench.cpp $(printf 'src/core/%s.cpp ' $CORE) -o /tmp/sdb
//   /tmp/sdb            (or /tmp/sdb quick: the 8,352-candidate figures only)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "core/score_distribution.hpp"
#include "core/score_distribution_state.hpp"

namespace {

using namespace ontarix;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kCandidates = 8352;
constexpr std::uint64_t kPool = 10000;

// Best-match values as a Resnik measure gives them: a candidate's distinct values spread over
// [0, vmax], most pool terms on the low ones (they share only general ancestors with the
// candidate), few on the high ones.
struct Histograms {
    std::vector<std::vector<double>> values;
    std::vector<std::vector<std::uint64_t>> counts;
};

Histograms make_histograms(std::size_t n, unsigned seed) {
    Histograms h;
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (std::size_t c = 0; c < n; ++c) {
        const double vmax = 8.0 + 6.0 * unit(rng);
        const int k = 60 + static_cast<int>(rng() % 41);  // 60 .. 100 distinct values
        std::vector<double> v{0.0};
        for (int i = 1; i < k; ++i) v.push_back(vmax * unit(rng));
        std::sort(v.begin(), v.end());
        std::vector<double> w(v.size());
        double sum = 0;
        for (std::size_t i = 0; i < v.size(); ++i) sum += w[i] = std::exp(-4.0 * v[i] / vmax) * (0.2 + unit(rng));
        std::vector<std::uint64_t> counts(v.size());
        std::uint64_t given = 0;
        for (std::size_t i = 0; i < v.size(); ++i) given += counts[i] = 1 + static_cast<std::uint64_t>(w[i] / sum * (kPool - v.size()));
        counts[0] += kPool - given;
        h.values.push_back(std::move(v));
        h.counts.push_back(std::move(counts));
    }
    return h;
}

SingleDrawSource histogram_source(const Histograms& h) {
    return [&h](std::size_t c, SingleDraw& d) {
        d.values = h.values[c];
        d.weights = h.counts[c];
    };
}

// The same draws as one value per pool term.
SingleDrawSource raw_source(const Histograms& h) {
    return [&h](std::size_t c, SingleDraw& d) {
        for (std::size_t i = 0; i < h.values[c].size(); ++i) {
            d.values.insert(d.values.end(), h.counts[c][i], h.values[c][i]);
        }
    };
}

struct Timing {
    double wall, cpu;
};

template <class F>
Timing timed(F&& f) {
    const std::clock_t c0 = std::clock();
    const auto t0 = Clock::now();
    f();
    return {std::chrono::duration<double>(Clock::now() - t0).count(),
            static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC};
}

ScoreDistributionTable build(std::size_t n, const SingleDrawSource& source, unsigned q,
                             std::uint32_t cells, unsigned threads) {
    ScoreDistributionOptions options;
    options.query_size = q;
    options.cells = cells;
    options.threads = threads;
    return build_score_distributions(n, source, options);
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "quick") == 0;
    const Histograms h = make_histograms(kCandidates, 7);
    double distinct = 0;
    for (const auto& v : h.values) distinct += static_cast<double>(v.size());
    std::printf("%zu candidates, pool %llu, %.1f distinct values per candidate on average, q = 10, "
                "R = %u\n", kCandidates, static_cast<unsigned long long>(kPool),
                distinct / kCandidates, kDefaultCells);

    ScoreDistributionTable table;
    for (const unsigned threads : {1u, 2u}) {
        const Timing t = timed([&] { table = build(kCandidates, histogram_source(h), 10, kDefaultCells, threads); });
        std::printf("  build from histograms, %u thread%s: %.2f s wall, %.2f s cpu\n", threads,
                    threads > 1 ? "s" : "", t.wall, t.cpu);
    }
    {
        const Timing t = timed([&] { table = build(kCandidates, raw_source(h), 10, kDefaultCells, 2); });
        std::printf("  build from 10,000 values per candidate, 2 threads: %.2f s wall, %.2f s cpu\n",
                    t.wall, t.cpu);
    }
    std::printf("  table: %.1f MB (%.0f points per candidate)\n", table_bytes(table) / 1e6,
                static_cast<double>(table.points.size()) / kCandidates);

    // Lookups: every candidate at an observed mean near its 1e-6 tail, best of 20 rounds.
    std::vector<double> means(kCandidates);
    for (std::size_t c = 0; c < kCandidates; ++c) {
        means[c] = h.values[c].back() * (0.3 + 0.5 * static_cast<double>(c % 7) / 7.0);
    }
    double best = 1e9, checksum = 0;
    for (int round = 0; round < 20; ++round) {
        const Timing t = timed([&] {
            for (std::size_t c = 0; c < kCandidates; ++c) checksum += pvalue_of_mean(table, c, means[c]);
        });
        best = std::min(best, t.wall);
    }
    std::printf("  lookups for all candidates: %.3f ms (%.0f ns each)\n", best * 1e3,
                best / kCandidates * 1e9);
    std::string state;
    const Timing saved = timed([&] { state = save_score_distributions(table); });
    ScoreDistributionTable back;
    const Timing loaded = timed([&] { back = load_score_distributions(state); });
    std::printf("  stored form: %.1f MB, saved in %.1f ms, loaded in %.1f ms\n", state.size() / 1e6,
                saved.wall * 1e3, loaded.wall * 1e3);
    if (quick) return checksum < 0;

    // Scaling, on 300 candidates and one thread: cpu ms per candidate and bytes per candidate.
    constexpr std::size_t kSome = 300;
    std::printf("\nper candidate (one thread, %zu candidates): cpu ms / stored KB\n        ", kSome);
    const std::uint32_t resolutions[] = {256, 512, 1024, 2048};
    for (const std::uint32_t r : resolutions) std::printf("   R=%-12u", r);
    std::printf("\n");
    for (const unsigned q : {2u, 5u, 10u, 20u, 40u}) {
        std::printf("  q=%-3u ", q);
        for (const std::uint32_t r : resolutions) {
            ScoreDistributionTable t;
            const Timing time = timed([&] { t = build(kSome, histogram_source(h), q, r, 1); });
            std::printf("  %6.3f / %4.1f", time.cpu / kSome * 1e3, table_bytes(t) / 1e3 / kSome);
        }
        std::printf("\n");
    }

    // The price of the grid: p at resolution R over p on a 16x finer grid, for observed means
    // where the finer p is about 1e-3, 1e-10 and 1e-30 (median and largest over 100 candidates).
    constexpr std::size_t kCompared = 100;
    const ScoreDistributionTable fine = build(kCompared, histogram_source(h), 10, 16384, 2);
    std::printf("\np at R / p at R = 16384, q = 10 (median, max over %zu candidates)\n", kCompared);
    for (const double level : {1e-3, 1e-10, 1e-30}) {
        std::printf("  p ~ %-6g", level);
        for (const std::uint32_t r : resolutions) {
            const ScoreDistributionTable t = build(kCompared, histogram_source(h), 10, r, 2);
            std::vector<double> ratios;
            for (std::size_t c = 0; c < kCompared; ++c) {
                // The least mean whose finer p is at most `level`, by bisection.
                double lo = 0, hi = h.values[c].back();
                if (pvalue_of_mean(fine, c, hi) > level) continue;
                for (int i = 0; i < 60; ++i) {
                    const double mid = (lo + hi) / 2;
                    (pvalue_of_mean(fine, c, mid) > level ? lo : hi) = mid;
                }
                ratios.push_back(pvalue_of_mean(t, c, hi) / pvalue_of_mean(fine, c, hi));
            }
            std::sort(ratios.begin(), ratios.end());
            std::printf("   R=%u: %5.2f %6.2f", r, ratios[ratios.size() / 2], ratios.back());
        }
        std::printf("\n");
    }
    return checksum < 0;
}
