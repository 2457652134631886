#include "core/closure_table.hpp"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace ontarix {
namespace {

using Ordered = std::map<std::string, std::map<std::string, std::set<std::string>>>;

Ordered ordered(const ClosureTable& table) {
    Ordered out;
    for (const auto& [subject, predicates] : table) {
        auto& inner = out[std::string(subject)];
        EXPECT_FALSE(predicates.empty()) << "subject without predicates: " << subject;
        for (const auto& [predicate, objects] : predicates) {
            EXPECT_FALSE(objects.empty()) << "empty object set under " << subject;
            auto& set = inner[std::string(predicate)];
            for (const Term object : objects) set.emplace(object);
        }
    }
    return out;
}

struct Case {
    const char* name;
    TripleList rows;
    Ordered expected;
};

class ClosureTableBuild : public ::testing::TestWithParam<Case> {};

TEST_P(ClosureTableBuild, GroupsRowsBySubjectThenPredicate) {
    const Case& c = GetParam();
    EXPECT_EQ(ordered(convert_list_of_tuples_to_hashmap(c.rows)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ClosureTableBuild,
    ::testing::Values(
        Case{"empty", {}, {}},
        Case{"duplicate_row", {{"A", "is_a", "B"}, {"A", "is_a", "B"}}, {{"A", {{"is_a", {"B"}}}}}},
        Case{"grouping",
             {{"A", "is_a", "B"}, {"A", "is_a", "C"}, {"A", "part_of", "D"}, {"E", "is_a", "A"}},
             {{"A", {{"is_a", {"B", "C"}}, {"part_of", {"D"}}}}, {"E", {{"is_a", {"A"}}}}}},
        Case{"self_row", {{"A", "is_a", "A"}}, {{"A", {{"is_a", {"A"}}}}}},
        Case{"no_transitive_rows",
             {{"A", "p", "B"}, {"B", "p", "C"}},
             {{"A", {{"p", {"B"}}}}, {"B", {{"p", {"C"}}}}}},
        Case{"empty_strings",
             {{"", "", ""}, {"", "p", "o"}},
             {{"", {{"", {""}}, {"p", {"o"}}}}}},
        Case{"exact_bytes",
             {{"a", "p", "x"}, {"A", "p", "x"}, {"a ", "p", "x"}},
             {{"a", {{"p", {"x"}}}}, {"A", {{"p", {"x"}}}}, {"a ", {{"p", {"x"}}}}}},
        Case{"interleaved_subjects",
             {{"A", "p", "1"}, {"B", "p", "2"}, {"A", "p", "3"}, {"B", "q", "4"}, {"A", "p", "1"}},
             {{"A", {{"p", {"1", "3"}}}}, {"B", {{"p", {"2"}}, {"q", {"4"}}}}}}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(ClosureTableBuild, ViewsTheRowsBytesWithoutCopying) {
    const std::string subject = "subject", predicate = "predicate", object = "object";
    const ClosureTable table = convert_list_of_tuples_to_hashmap({{subject, predicate, object}});
    const auto& [key, predicates] = *table.begin();
    EXPECT_EQ(key.data(), subject.data());
    EXPECT_EQ(predicates.begin()->first.data(), predicate.data());
    EXPECT_EQ(predicates.begin()->second.begin()->data(), object.data());
}

}  // namespace
}  // namespace ontarix
