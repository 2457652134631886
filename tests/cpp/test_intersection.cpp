#include <gtest/gtest.h>

#include <ranges>
#include <string>
#include <vector>

#include "core/intersection.hpp"
#include "measure_fixtures.hpp"

namespace ontarix {
namespace {

static_assert(std::ranges::input_range<IntersectionRange>);
static_assert(std::ranges::view<IntersectionRange>);
static_assert(std::same_as<std::ranges::range_reference_t<IntersectionRange>, const Term&>);

struct IntersectionCase {
    const char* name;
    TermSet a;
    TermSet b;
    bool walks_a;  // the smaller set, a on a tie
    std::vector<std::string> common;
};

class Intersection : public ::testing::TestWithParam<IntersectionCase> {};

TEST_P(Intersection, ProducesEachCommonTermOnceInTheWalkedSetsOrder) {
    const IntersectionCase& c = GetParam();
    const auto range = get_intersection_between_sets(c.a, c.b);
    const TermSet& walked = c.walks_a ? c.a : c.b;
    const TermSet& other = c.walks_a ? c.b : c.a;
    EXPECT_EQ(&range.walked(), &walked);

    std::vector<Term> produced;
    for (const Term& term : range) {
        // References point into the walked set, not at copies.
        EXPECT_EQ(&term, &*walked.find(term));
        produced.push_back(term);
    }
    std::vector<Term> expected;
    for (const Term& term : walked)
        if (other.contains(term)) expected.push_back(term);
    EXPECT_EQ(produced, expected);
    EXPECT_EQ(testing::sorted(produced), c.common);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Intersection,
    ::testing::Values(
        IntersectionCase{"overlap", {"a", "b"}, {"b", "c"}, true, {"b"}},
        IntersectionCase{"first_empty", {}, {"a"}, true, {}},
        IntersectionCase{"second_empty", {"a"}, {}, false, {}},
        IntersectionCase{"both_empty", {}, {}, true, {}},
        IntersectionCase{"smaller_second", {"a", "b", "c", "d"}, {"d", "c", "x"}, false, {"c", "d"}},
        IntersectionCase{"smaller_first", {"c", "x"}, {"a", "b", "c"}, true, {"c"}},
        IntersectionCase{"equal_sets", {"p", "q", "r"}, {"r", "q", "p"}, true, {"p", "q", "r"}},
        IntersectionCase{"disjoint_case", {"A"}, {"a"}, true, {}},
        IntersectionCase{"empty_string", {"", "x"}, {"", "y"}, true, {""}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ontarix
