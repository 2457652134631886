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

#include "core/annotation_ic.hpp"
#include "core/batch_scoring.hpp"
#include "core/closure_index.hpp"
#include "core/fault.hpp"
#include "core/index_state.hpp"
#include "core/parallel_blocks.hpp"
#include "core/similarity.hpp"
#include "core/wang_similarity.hpp"
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

// Where the expansion entries of a stored index without edges begin (see index_state.hpp).
std::size_t expansion_entries_offset(const ClosureIndex& index) {
    std::size_t text_bytes = 0;
    for (const Term t : index.texts()) text_bytes += t.size();
    return 8 + 8 + 24 + 4 * std::size_t{index.size()} + text_bytes + index.size() +
           4 * std::size_t{index.size()};
}

void expect_content_fault(std::string_view state, const char* fragment) {
    try {
        load_index_state(state);
        ADD_FAILURE() << "loaded: " << fragment;
    } catch (const Fault& fault) {
        EXPECT_EQ(fault.cause().kind, FaultCause::Kind::Content);
        EXPECT_NE(fault.message().find(fragment), std::string::npos) << fault.message();
    }
}

TEST(IndexState, RoundTripAndEveryTruncationFails) {
    const RandomTable t = random_table(7, 50);
    const ClosureIndex index = build_closure_index(rows_of(t.table), nullptr, nullptr);
    const std::string state = save_index_state(index);
    const ClosureIndex back = load_index_state(state);
    ASSERT_TRUE(std::ranges::equal(back.texts(), index.texts()));
    EXPECT_EQ(back.expansions().items, index.expansions().items);
    EXPECT_EQ(back.scored().items, index.scored().items);
    EXPECT_TRUE(std::ranges::equal(back.ranked(), index.ranked()));
    for (std::size_t cut = 0; cut < state.size(); cut += 7) {
        EXPECT_THROW(load_index_state(std::string_view(state).substr(0, cut)), Fault);
    }
    // Two entries of one expansion swapped: no longer ascending.
    std::size_t at = expansion_entries_offset(index);
    for (std::uint32_t term = 0; index.expansions().of(term).size() < 2; ++term) {
        at += 4 * index.expansions().of(term).size();
    }
    std::string swapped = state;
    std::swap_ranges(swapped.begin() + static_cast<std::ptrdiff_t>(at),
                     swapped.begin() + static_cast<std::ptrdiff_t>(at + 4),
                     swapped.begin() + static_cast<std::ptrdiff_t>(at + 4));
    expect_content_fault(swapped, "not ascending");
}

TEST(IndexState, TextsMustBeUtf8AndEarlierVersionsLoad) {
    const RandomTable t = random_table(8, 30);
    const ClosureIndex index = build_closure_index(rows_of(t.table), nullptr, nullptr);
    const std::string state = save_index_state(index);
    // The last text is the largest: a last byte of 0xFF keeps the order and breaks the encoding.
    std::size_t text_bytes = 0;
    for (const Term text : index.texts()) text_bytes += text.size();
    std::string bad = state;
    bad[8 + 8 + 24 + 4 * std::size_t{index.size()} + text_bytes - 1] = '\xFF';
    expect_content_fault(bad, "not UTF-8");
    // Version 1 is version 2 without frequencies and edges.
    std::string v1 = state.substr(0, state.size() - 8 - 8 * std::size_t{index.size()});
    v1[7] = '\x01';
    v1[8] = static_cast<char>(v1[8] & ~4);
    const ClosureIndex back = load_index_state(v1);
    EXPECT_TRUE(std::ranges::equal(back.ic(), index.ic()));
    v1[7] = '\x03';
    expect_content_fault(v1, "unknown version");
}

// Wang's contributions by their definition: the largest product over every path, enumerated.
double wang_by_paths(std::uint32_t a, std::uint32_t t, const std::vector<std::vector<std::pair<std::uint32_t, double>>>& parents) {
    if (a == t) return 1.0;
    double best = 0.0;
    for (const auto& [p, w] : parents[a]) best = std::max(best, w * wang_by_paths(p, t, parents));
    return best;
}

TEST(WangSimilarity, MatchesThePathDefinitionOnRandomDags) {
    for (unsigned seed = 0; seed < 20; ++seed) {
        std::mt19937 rng(seed);
        const std::uint32_t n = 12;
        WangEdges edges;
        std::vector<std::vector<std::pair<std::uint32_t, double>>> parents(n);
        for (std::uint32_t child = 1; child < n; ++child) {
            for (std::uint32_t parent = 0; parent < child; ++parent) {
                if (rng() % 3 != 0) continue;
                const double w = (rng() % 2 != 0) ? 0.8 : 0.6;
                edges.edges.push_back({child, parent});
                edges.weights.push_back(w);
                parents[child].push_back({parent, w});
            }
        }
        const WangTable table = wang_table(n, edges);
        for (std::uint32_t a = 0; a < n; ++a) {
            for (std::uint32_t b = 0; b < n; ++b) {
                double common = 0.0, all = 0.0;
                for (std::uint32_t t = 0; t < n; ++t) {
                    const double sa = wang_by_paths(a, t, parents);
                    const double sb = wang_by_paths(b, t, parents);
                    all += sa + sb;
                    if (sa > 0.0 && sb > 0.0) common += sa + sb;
                }
                EXPECT_NEAR(wang_similarity(table, a, b), common / all, 1e-12) << seed << a << b;
            }
        }
        EXPECT_EQ(wang_similarity(table, 0, n + 5), 0.0);  // a term without contributions
    }
}

TEST(WangSimilarity, CyclesNeverRaiseAProduct) {
    // 0 -> 1 -> 2 -> 1 (a cycle) and 0 -> 2 directly.
    WangEdges edges{{{0, 1}, {1, 2}, {2, 1}, {0, 2}}, {0.8, 0.6, 0.9, 0.4}, {}, {}};
    const WangTable table = wang_table(3, edges);
    const std::span<const double> s0 = table.values_of(0);
    ASSERT_EQ(s0.size(), 3u);
    EXPECT_DOUBLE_EQ(s0[1], 0.8);
    EXPECT_DOUBLE_EQ(s0[2], 0.8 * 0.6);
    EXPECT_DOUBLE_EQ(table.values_of(2)[0], 0.9);  // 2 reaches 1 through the cycle
}

TEST(AnnotationIc, BothConventionsCountPropagatedAnnotations) {
    // Terms a < b < c < d by text; expansions: a -> {a, b, d}, c -> {c, d}, b and d no subjects.
    ClosureRows rows;
    rows.texts = {"a", "b", "c", "d"};
    rows.predicate_texts = {"p"};
    rows.subjects = {0, 2};
    rows.objects = {0, 1, 3, 2, 3};
    rows.groups = {{0, 0, 0, 3}, {2, 0, 3, 5}};
    rows.distinct_objects = true;
    const std::shared_ptr<const IndexStructure> s = build_structure(rows, nullptr);
    TermLists objects;
    objects.begin = {0, 2, 3, 3};  // {a, a}, {c}, {} (an object with unknown terms only)
    objects.items = {0, 0, 2};
    EXPECT_EQ(objects_per_term(*s, objects), (std::vector<std::uint64_t>{1, 1, 1, 2}));
    const std::vector<std::uint64_t> entries{2, 1, 1, 0};  // two rows on a, one on b, one on c
    EXPECT_EQ(annotations_per_term(*s, entries), (std::vector<std::uint64_t>{2, 3, 1, 3}));
    EXPECT_EQ(annotation_ic(3, 3), 0.0);
    EXPECT_FALSE(std::signbit(annotation_ic(3, 3)));
    EXPECT_DOUBLE_EQ(annotation_ic(1, 4), std::log(4.0));
}

TEST(ClosureIndex, AnotherInformationContentSharesTheStructure) {
    const RandomTable t = random_table(9, 80);
    const ClosureRows rows = rows_of(t.table);
    TermScoreMap custom;
    for (std::size_t i = 0; i < t.pool.size(); i += 3) custom.emplace(t.pool[i], 0.25 * double(i % 11));
    const ClosureIndex own = build_closure_index(rows, nullptr, nullptr);
    const ClosureIndex fresh = build_closure_index(rows, nullptr, &custom);
    const ClosureIndex second = finish_index(own.shared_structure(), &custom);
    EXPECT_EQ(&second.structure(), &own.structure());
    EXPECT_TRUE(std::ranges::equal(second.ic(), fresh.ic()));
    EXPECT_TRUE(std::ranges::equal(second.ranked(), fresh.ranked()));
    EXPECT_EQ(second.scored().items, fresh.scored().items);
    // And back to the table's own, ranked by its frequencies as the first build was.
    const ClosureIndex again = finish_index(second.shared_structure(), nullptr);
    EXPECT_TRUE(std::ranges::equal(again.ranked(), own.ranked()));
    for (std::uint32_t term = 0; term < own.size(); ++term) {
        double sum = 0.0;
        for (const std::uint32_t r : own.scored().of(term)) sum += own.rank_ic()[r];
        ASSERT_EQ(own.scored_weight(term), sum);
        ASSERT_EQ(own.weight(term), own.rank_of(term) == ClosureIndex::kNoRank ? 0.0 : own.ic()[term]);
    }
}

}  // namespace
}  // namespace ontarix
