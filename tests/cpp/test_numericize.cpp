#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/numericize.hpp"
#include "measure_fixtures.hpp"

namespace ontarix {
namespace {

// Checks every promise of a numericization against its inputs.
void expect_invariants(const TermSet& first, const TermSet& second) {
    const NumericizedSets out = numericize_sets(first, second);
    TermSet united = first;
    united.insert(second.begin(), second.end());
    const auto n = static_cast<TermId>(united.size());

    ASSERT_EQ(out.ids.size(), united.size());
    TermSet named;
    for (TermId id = 1; id <= n; ++id) {
        const auto entry = out.ids.find(id);
        ASSERT_NE(entry, out.ids.end()) << "identifier " << id << " unused";
        EXPECT_TRUE(named.insert(entry->second).second) << "two identifiers for " << entry->second;
        // An identifier lands in a side exactly when its term belongs to that input.
        EXPECT_EQ(out.first.contains(id), first.contains(entry->second)) << entry->second;
        EXPECT_EQ(out.second.contains(id), second.contains(entry->second)) << entry->second;
    }
    EXPECT_EQ(out.first.size(), first.size());
    EXPECT_EQ(out.second.size(), second.size());
}

struct NumericizeCase {
    const char* name;
    TermSet first;
    TermSet second;
};

class NumericizeInvariants : public ::testing::TestWithParam<NumericizeCase> {};

TEST_P(NumericizeInvariants, Hold) { expect_invariants(GetParam().first, GetParam().second); }

INSTANTIATE_TEST_SUITE_P(
    Cases, NumericizeInvariants,
    ::testing::Values(NumericizeCase{"both_empty", {}, {}},
                      NumericizeCase{"first_empty", {}, {"a", "b"}},
                      NumericizeCase{"second_empty", {"a", "b"}, {}},
                      NumericizeCase{"equal", {"a", "b", "c"}, {"a", "b", "c"}},
                      NumericizeCase{"disjoint", {"a"}, {"b"}},
                      NumericizeCase{"overlap", {"a", "b"}, {"b", "c"}},
                      NumericizeCase{"case_and_empty_string", {"A", ""}, {"a", ""}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Numericize, RandomOverlapsKeepInvariants) {
    std::vector<std::string> pool;
    for (int i = 0; i < 60; ++i) pool.push_back(std::string("t").append(std::to_string(i)));
    std::mt19937_64 rng(7);
    for (int round = 0; round < 200; ++round) {
        TermSet first, second;
        for (const std::string& term : pool) {
            if (rng() % 6 > static_cast<unsigned>(round % 6)) continue;  // varying sizes
            const auto roll = rng() % 4;  // neither, first, second, both
            if (roll & 1) first.insert(term);
            if (roll & 2) second.insert(term);
        }
        expect_invariants(first, second);
    }
}

}  // namespace
}  // namespace ontarix
