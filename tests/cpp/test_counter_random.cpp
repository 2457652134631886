// The counter-based generator of sampled p-values: unbiased draws below n, and random queries that
// depend on (seed, candidate, sample) only, never on threads or on how the work is split.
#include <cstdint>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "core/counter_random.hpp"
#include "core/parallel_blocks.hpp"
#include "core/random_queries.hpp"

namespace ontarix {
namespace {

TEST(CounterRandom, DrawsBelowNStayBelowItWithoutBias) {
    // For n = 3 * 2^62 a modulo would put half the draws below 2^62, and the multiply without its
    // rejections half of them on multiples of 3.
    for (const std::uint64_t n : {1ull, 2ull, 3ull, 6ull, 10007ull, (1ull << 32) + 1, (1ull << 63) + 1,
                                  3ull << 62, ~0ull}) {
        CounterRandom random(1, 2, n);
        std::uint64_t low = 0, threes = 0;
        constexpr int kDraws = 30000;
        for (int i = 0; i < kDraws; ++i) {
            const std::uint64_t x = random.below(n);
            ASSERT_LT(x, n);
            low += x < n / 3;
            threes += x % 3 == 0;
        }
        // About a third each (binomial standard error 0.0027), where n permits a third.
        if (n >= 1000) {
            EXPECT_NEAR(static_cast<double>(low) / kDraws, 1.0 / 3, 0.015) << n;
            EXPECT_NEAR(static_cast<double>(threes) / kDraws, 1.0 / 3, 0.015) << n;
        }
    }
    // Each of six faces, 60,000 draws: chi-square with 5 degrees of freedom below 25 (p < 2e-4).
    CounterRandom random(7, 0, 0);
    std::uint64_t faces[6] = {};
    for (int i = 0; i < 60000; ++i) ++faces[random.below(6)];
    double chi2 = 0;
    for (const std::uint64_t f : faces) chi2 += (f - 10000.0) * (f - 10000.0) / 10000.0;
    EXPECT_LT(chi2, 25.0);
}

TEST(CounterRandom, QueriesDependOnSeedCandidateAndSampleOnly) {
    constexpr std::size_t kCandidates = 40, kSamples = 150, kQ = 7;
    constexpr std::uint32_t kPool = 10000;
    std::vector<std::uint32_t> serial(kCandidates * kSamples * kQ);
    for (std::size_t c = 0; c < kCandidates; ++c) {
        for (std::size_t s = 0; s < kSamples; ++s) {
            draw_query(5, c, s, kPool, {serial.data() + (c * kSamples + s) * kQ, kQ});
        }
    }
    // Other threads, blocks cut by sample rather than by candidate, samples taken backwards.
    for (const unsigned threads : {2u, 3u}) {
        std::vector<std::uint32_t> split(serial.size());
        run_blocks(kSamples, threads, plain_waiter(), [&](std::size_t block, unsigned) {
            const std::size_t s = kSamples - 1 - block;
            for (std::size_t c = 0; c < kCandidates; ++c) {
                draw_query(5, c, s, kPool, {split.data() + (c * kSamples + s) * kQ, kQ});
            }
        });
        EXPECT_EQ(split, serial) << threads;
    }
    // Neighbouring seeds, candidates and samples start unrelated streams.
    std::set<std::uint64_t> firsts;
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
        for (std::uint64_t c = 0; c < 20; ++c) {
            for (std::uint64_t s = 0; s < 20; ++s) firsts.insert(CounterRandom(seed, c, s).next());
        }
    }
    EXPECT_EQ(firsts.size(), 8000u);
}

}  // namespace
}  // namespace ontarix
