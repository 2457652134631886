#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "core/similarity.hpp"
#include "measure_fixtures.hpp"

namespace ontarix {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct IdCase {
    const char* name;
    TermIdSet a;
    TermIdSet b;
    double expected;
};

class Jaccard : public ::testing::TestWithParam<IdCase> {};

TEST_P(Jaccard, CountsBothWaysRound) {
    const IdCase& c = GetParam();
    EXPECT_TRUE(testing::same_double(calculate_jaccard_similarity(c.a, c.b), c.expected));
    EXPECT_TRUE(testing::same_double(calculate_jaccard_similarity(c.b, c.a), c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Jaccard,
    ::testing::Values(IdCase{"both_empty", {}, {}, kNaN}, IdCase{"one_empty", {1}, {}, 0.0},
                      IdCase{"equal", {1, 2, 3}, {1, 2, 3}, 1.0},
                      IdCase{"third", {1, 2}, {2, 3}, 1.0 / 3.0},
                      IdCase{"subset", {1, 2, 3, 4}, {3, 4}, 0.5},
                      IdCase{"disjoint", {1, 2}, {3}, 0.0}),
    [](const auto& info) { return std::string(info.param.name); });

// X also reaches K through p2.
const ClosureTable& ladder() {
    static const ClosureTable table = testing::ladder({{"X", "p2", "K"}});
    return table;
}

struct SemanticCase {
    const char* name;
    Term entity1;
    Term entity2;
    std::optional<TermSet> filter;
    double expected;
};

class SemanticJaccard : public ::testing::TestWithParam<SemanticCase> {};

TEST_P(SemanticJaccard, IsTheIndexOfTheExpansions) {
    const SemanticCase& c = GetParam();
    const TermSet* filter = c.filter ? &*c.filter : nullptr;
    EXPECT_TRUE(testing::same_double(
        calculate_semantic_jaccard_similarity(ladder(), c.entity1, c.entity2, filter), c.expected));
    EXPECT_TRUE(testing::same_double(
        calculate_semantic_jaccard_similarity(ladder(), c.entity2, c.entity1, filter), c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SemanticJaccard,
    ::testing::Values(SemanticCase{"same_ancestors", "X", "Y", TermSet{"p1"}, 1.0},
                      SemanticCase{"two_predicates", "X", "Y", std::nullopt, 3.0 / 4.0},
                      SemanticCase{"parent", "X", "P", TermSet{"p1"}, 2.0 / 3.0},
                      SemanticCase{"not_a_subject", "X", "Z", std::nullopt, 0.0},
                      SemanticCase{"neither_a_subject", "Z", "W", std::nullopt, kNaN},
                      SemanticCase{"itself", "P", "P", std::nullopt, 1.0},
                      SemanticCase{"empty_filter", "X", "Y", TermSet{}, kNaN},
                      SemanticCase{"absent_predicate", "X", "Y", TermSet{"p9"}, kNaN}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ontarix
