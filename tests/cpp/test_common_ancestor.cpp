#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "core/similarity.hpp"
#include "measure_fixtures.hpp"

namespace ontarix {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct MrcaCase {
    const char* name;
    TermScoreMap map;
    std::vector<Term> tied;  // the entries with the winning key; the last one visited wins
};

class MostRecentCommonAncestor : public ::testing::TestWithParam<MrcaCase> {};

TEST_P(MostRecentCommonAncestor, PicksTheLargestMagnitudeLastVisited) {
    const MrcaCase& c = GetParam();
    Term winner;
    for (const auto& [term, score] : c.map)
        if (std::find(c.tied.begin(), c.tied.end(), term) != c.tied.end()) winner = term;
    const auto [term, score] = get_most_recent_common_ancestor_with_score(c.map);
    EXPECT_EQ(term, winner);
    EXPECT_TRUE(testing::same_double(score, c.map.at(winner)));  // as stored, sign included
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MostRecentCommonAncestor,
    ::testing::Values(
        MrcaCase{"larger", {{"A", 1.0}, {"B", 2.5}}, {"B"}},
        MrcaCase{"sign_kept", {{"A", -3.0}, {"B", 2.0}}, {"A"}},
        MrcaCase{"opposite_tie", {{"A", 2.0}, {"B", -2.0}, {"C", 1.0}}, {"A", "B"}},
        MrcaCase{"nan_beats_numbers", {{"A", kNaN}, {"B", 100.0}, {"C", -kInf}}, {"A"}},
        MrcaCase{"nan_tie", {{"A", kNaN}, {"B", -kNaN}, {"C", kInf}}, {"A", "B"}},
        MrcaCase{"infinity", {{"A", -kInf}, {"B", 1e308}}, {"A"}},
        MrcaCase{"zero", {{"A", 0.0}}, {"A"}},
        MrcaCase{"negative_zero", {{"A", -0.0}}, {"A"}},
        MrcaCase{"zeros_tie", {{"A", 0.0}, {"B", -0.0}}, {"A", "B"}},
        MrcaCase{"many_ties", {{"a", 5.0}, {"b", -5.0}, {"c", 5.0}, {"d", -5.0}, {"e", 4.0},
                               {"f", 5.0}, {"g", -1.0}, {"h", 5.0}},
                 {"a", "b", "c", "d", "f", "h"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MostRecentCommonAncestor, EmptyMapFaults) {
    testing::expect_missing_value([] { get_most_recent_common_ancestor_with_score({}); });
}

}  // namespace
}  // namespace ontarix
