// The closure index core: agreement with the per-call measures, the parallel batches (the same
// doubles for every thread count, stopping cleanly), and the stored form.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/batch_scoring.hpp"
#include "core/closure_index.hpp"
#include "core/fault.hpp"
#include "core/index_state.hpp"
#include "core/parallel_blocks.hpp"
#include "core/similarity.hpp"
#include "measure_fixtures.hpp"

namespace ontarix {
namespace {

// A random table with two predicates; texts owned by `pool`.
struct RandomTable {
    std::vector<std::string> pool;
    ClosureTable table;
};

RandomTable random_table(unsigned seed, int terms) {
    RandomTable out;
    std::mt19937 rng(seed);
    for (int i = 0; i < terms; ++i) out.pool.push_back(std::to_string(i).insert(0, 1, 'T'));
    out.pool.push_back("owl:Thing");
    out.pool.push_back("p");
    out.pool.push_back("q");
    const Term p = out.pool[terms + 1];
    const Term q = out.pool[terms + 2];
    for (int i = 0; i < terms; ++i) {
        PredicateMap& row = out.table[out.pool[i]];
        for (int k = 0; k < 6; ++k) {
            row[rng() % 3 ? p : q].insert(out.pool[rng() % out.pool.size()]);
        }
    }
    return out;
}

ClosureRows rows_of(const ClosureTable& table) { return closure_rows_of(table); }

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

TEST(ClosureIndex, TermMeasuresAreThoseOfTheTable) {
    const RandomTable t = random_table(3, 60);
    const TermSet filter{"p"};
    for (const TermSet* predicates : {static_cast<const TermSet*>(nullptr), &filter}) {
        const ClosureIndex index = build_closure_index(rows_of(t.table), predicates, nullptr);
        for (const std::string& a : t.pool) {
            for (const std::string& b : t.pool) {
                const std::uint32_t x = index.find(a);
                const std::uint32_t y = index.find(b);
                EXPECT_EQ(index_max_information_content(index, x, y),
                          calculate_max_information_content(t.table, a, b, predicates));
                EXPECT_TRUE(same(index_semantic_jaccard(index, x, y),
                                 calculate_semantic_jaccard_similarity(t.table, a, b, predicates)));
            }
        }
    }
}

// A host that answers "go on" a number of times and then gives up, counting its lock handovers.
class CountingWaiter final : public Waiter {
public:
    explicit CountingWaiter(int allowed) : allowed_(allowed) {}
    void release() noexcept override { ++released_; }
    bool reacquire() noexcept override {
        ++reacquired_;
        return true;
    }
    void before_call() override {
        if (allowed_-- == 0) throw std::runtime_error("interrupted");
    }
    int released_ = 0;
    int reacquired_ = 0;

private:
    int allowed_;
};

ProfileList random_profiles(const ClosureIndex& index, unsigned seed, int count) {
    std::mt19937 rng(seed);
    ProfileList out;
    for (int i = 0; i < count; ++i) {
        std::vector<std::uint32_t> terms;
        // Up to 70 terms: some profiles need more than one 64-bit word of marks.
        const int size = i % 9 == 0 ? 70 : static_cast<int>(rng() % 6);
        for (int k = 0; k < size; ++k) terms.push_back(rng() % (index.size() + 3));
        std::sort(terms.begin(), terms.end());
        terms.erase(std::unique(terms.begin(), terms.end()), terms.end());
        out.add(terms);
    }
    return out;
}

TEST(ClosureIndex, BatchesGiveThePairScoresForAnyThreadCount) {
    const RandomTable t = random_table(5, 300);
    const ClosureIndex index = build_closure_index(rows_of(t.table), nullptr, nullptr);
    const ProfileList profiles = random_profiles(index, 9, 200);
    const std::uint32_t space = index.size() + 3;
    const std::size_t n = profiles.size();
    for (const ProfileMeasure measure : {ProfileMeasure::Phenomizer, ProfileMeasure::Jaccard}) {
        std::vector<double> reference(n * n);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                reference[i * n + j] = measure == ProfileMeasure::Phenomizer
                                           ? index_phenomizer(index, profiles[i], profiles[j])
                                           : sorted_jaccard(profiles[i], profiles[j]);
            }
        }
        for (const unsigned threads : {1u, 2u, 4u}) {
            for (const bool symmetric : {false, true}) {
                std::vector<double> out(n * n, -1.0);
                profile_similarity_matrix(index, profiles, profiles, symmetric, measure, out.data(),
                                          {threads, nullptr, space});
                for (std::size_t c = 0; c < out.size(); ++c) {
                    ASSERT_TRUE(same(out[c], reference[c])) << threads << " " << c;
                }
            }
        }
        std::vector<Term> names;
        for (std::size_t i = 0; i < n; ++i) names.push_back(t.pool[i % 40]);  // equal names too
        const NeighbourLists one =
            profile_top_k(index, profiles, profiles, true, names, 7, measure, {1, nullptr, space});
        for (const unsigned threads : {2u, 3u}) {
            const NeighbourLists many = profile_top_k(index, profiles, profiles, true, names, 7,
                                                      measure, {threads, nullptr, space});
            ASSERT_EQ(one.begin, many.begin);
            for (std::size_t e = 0; e < one.items.size(); ++e) {
                ASSERT_EQ(one.items[e].candidate, many.items[e].candidate);
                ASSERT_TRUE(same(one.items[e].score, many.items[e].score));
            }
        }
    }
}

TEST(ParallelBlocks, AHostThatGivesUpStopsTheRunWithItsLock) {
    std::atomic<int> ran{0};
    CountingWaiter waiter(2);
    EXPECT_THROW(run_blocks(100000, 3, waiter,
                            [&](std::size_t, unsigned) {
                                ++ran;
                                std::this_thread::sleep_for(std::chrono::microseconds(200));
                            }),
                 std::runtime_error);
    EXPECT_LT(ran.load(), 100000);
    EXPECT_EQ(waiter.released_, waiter.reacquired_);  // and the run returned holding the lock
}

TEST(ParallelBlocks, TheFirstFailureOfABlockReachesTheCaller) {
    CountingWaiter waiter(1000000);
    EXPECT_THROW(run_blocks(1000, 4, waiter,
                            [&](std::size_t block, unsigned) {
                                if (block == 500) throw std::length_error("block");
                            }),
                 std::length_error);
    EXPECT_EQ(waiter.released_, waiter.reacquired_);
}

TEST(IndexState, RoundTripAndEveryTruncationFails) {
    const RandomTable t = random_table(7, 50);
    const ClosureIndex index = build_closure_index(rows_of(t.table), nullptr, nullptr);
    const std::string state = save_index_state(index);
    const ClosureIndex back = load_index_state(state);
    ASSERT_EQ(back.texts, index.texts);
    EXPECT_EQ(back.expansions.items, index.expansions.items);
    EXPECT_EQ(back.scored.items, index.scored.items);
    EXPECT_EQ(back.ranked, index.ranked);
    for (std::size_t cut = 0; cut < state.size(); cut += 7) {
        EXPECT_THROW(load_index_state(std::string_view(state).substr(0, cut)), Fault);
    }
    std::string swapped = state;
    std::swap(swapped[state.size() / 2], swapped[state.size() / 2 + 4]);  // an expansion entry
    try {
        load_index_state(swapped);
    } catch (const Fault& fault) {
        EXPECT_EQ(fault.cause().kind, FaultCause::Kind::Content);
    }
}

}  // namespace
}  // namespace ontarix
