#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "core/fault.hpp"
#include "core/similarity.hpp"
#include "measure_fixtures.hpp"

namespace ontarix {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct PhenomizerCase {
    const char* name;
    PairwiseScoreTable map;
    TermSet entity1;
    TermSet entity2;
    std::optional<double> expected;  // nullopt: the missing-value fault
};

class Phenomizer : public ::testing::TestWithParam<PhenomizerCase> {};

TEST_P(Phenomizer, AveragesBothDirections) {
    const PhenomizerCase& c = GetParam();
    auto score = [&] { return calculate_phenomizer_score(c.map, c.entity1, c.entity2); };
    if (!c.expected) return testing::expect_missing_value(score);
    EXPECT_TRUE(testing::same_double(score(), *c.expected)) << score();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Phenomizer,
    ::testing::Values(
        PhenomizerCase{"single_pair", {{"a", {{"b", 2.0}}}, {"b", {{"a", 4.0}}}}, {"a"}, {"b"}, 3.0},
        PhenomizerCase{"two_against_one",
                       {{"a1", {{"b", 1.0}}}, {"a2", {{"b", 3.0}}}, {"b", {{"a1", 2.0}, {"a2", 5.0}}}},
                       {"a1", "a2"}, {"b"}, 3.5},
        PhenomizerCase{"negatives_count_as_zero",
                       {{"a", {{"b", -2.0}}}, {"b", {{"a", -4.0}}}}, {"a"}, {"b"}, 0.0},
        PhenomizerCase{"nan_ignored",
                       {{"a", {{"b", kNaN}, {"c", 1.0}}}, {"b", {{"a", kNaN}}}, {"c", {{"a", 3.0}}}},
                       {"a"}, {"b", "c"}, (1.0 + (0.0 + 3.0) / 2.0) * 0.5},
        PhenomizerCase{"first_empty_map_empty", {}, {}, {"b"}, kNaN},
        PhenomizerCase{"second_empty_map_empty", {}, {"a"}, {}, kNaN},
        PhenomizerCase{"both_empty", {}, {}, {}, kNaN},
        PhenomizerCase{"backward_cell_missing", {{"a", {{"b", 2.0}}}, {"b", {{"x", 4.0}}}},
                       {"a"}, {"b"}, std::nullopt},
        PhenomizerCase{"backward_row_missing", {{"a", {{"b", 2.0}}}}, {"a"}, {"b"}, std::nullopt},
        PhenomizerCase{"forward_row_missing", {{"b", {{"a", 4.0}}}}, {"a"}, {"b"}, std::nullopt},
        PhenomizerCase{"forward_cell_missing", {{"a", {}}, {"b", {{"a", 4.0}}}}, {"a"}, {"b"},
                       std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PairwiseResnik, EmptyOtherSetVisitsNothing) {
    // Terms absent from the map are not looked up when there is nothing to pair them with.
    EXPECT_TRUE(testing::same_double(
        pairwise_entity_resnik_score(PairwiseScoreTable{}, TermSet{"a", "b"}, TermSet{}), 0.0));
    EXPECT_TRUE(std::isnan(
        pairwise_entity_resnik_score(PairwiseScoreTable{}, TermSet{}, TermSet{"a"})));
}

// A fault's line tells the missing row from the missing cell; the forward direction must fail
// first even when the backward direction would fail differently.
TEST(Phenomizer, ForwardDirectionRunsFirst) {
    auto fault_line = [](const PairwiseScoreTable& map) -> std::uint_least32_t {
        try {
            calculate_phenomizer_score(map, TermSet{"a"}, TermSet{"b"});
        } catch (const Fault& fault) {
            return fault.where().line();
        }
        return 0;
    };
    const auto row_line = fault_line({{"b", {{"a", 1.0}}}});
    const auto cell_line = fault_line({{"a", {{"z", 1.0}}}, {"b", {{"a", 1.0}}}});
    ASSERT_NE(row_line, 0u);
    ASSERT_NE(cell_line, 0u);
    ASSERT_NE(row_line, cell_line);
    // Forward misses a cell, backward would miss a row.
    EXPECT_EQ(fault_line({{"a", {{"z", 1.0}}}}), cell_line);
    // Forward misses a row, backward would miss a cell.
    EXPECT_EQ(fault_line({{"b", {{"z", 1.0}}}}), row_line);
}

}  // namespace
}  // namespace ontarix
