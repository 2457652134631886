#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/expansion.hpp"
#include "measure_fixtures.hpp"

namespace ontarix {
namespace {

const ClosureTable& sample_table() {
    static const ClosureTable table = testing::closure_of({{"A", "is_a", "B"},
                                                           {"A", "is_a", "C"},
                                                           {"A", "part_of", "D"},
                                                           {"A", "part_of", "B"},
                                                           {"E", "is_a", "A"},
                                                           {"S", "self", "S"}});
    return table;
}

struct TermCase {
    const char* name;
    Term term;
    std::optional<TermSet> filter;
    std::vector<std::string> expected;
};

class ExpandTerm : public ::testing::TestWithParam<TermCase> {};

TEST_P(ExpandTerm, GivesTheUnionOfTheSelectedObjectSets) {
    const TermCase& c = GetParam();
    const TermSet* filter = c.filter ? &*c.filter : nullptr;
    EXPECT_EQ(testing::sorted(expand_term_using_closure(c.term, sample_table(), filter)),
              c.expected);
    EXPECT_EQ(testing::sorted(expand_term_view(c.term, sample_table(), filter).set()), c.expected);
    EXPECT_TRUE(expand_term_using_closure(c.term, ClosureTable{}, filter).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExpandTerm,
    ::testing::Values(TermCase{"no_filter", "A", std::nullopt, {"B", "C", "D"}},
                      TermCase{"one_predicate", "A", TermSet{"is_a"}, {"B", "C"}},
                      TermCase{"unknown_predicate_skipped", "A", TermSet{"is_a", "has_part"},
                               {"B", "C"}},
                      TermCase{"both_predicates", "A", TermSet{"is_a", "part_of"}, {"B", "C", "D"}},
                      TermCase{"empty_filter", "A", TermSet{}, {}},
                      TermCase{"not_transitive", "E", std::nullopt, {"A"}},
                      TermCase{"not_a_subject", "B", std::nullopt, {}},
                      TermCase{"not_a_subject_filtered", "B", TermSet{"is_a"}, {}},
                      TermCase{"listed_as_own_object", "S", std::nullopt, {"S"}},
                      TermCase{"case_sensitive", "a", std::nullopt, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExpandTerm, LoneStoredSetIsBorrowedAndReleasedAsACopy) {
    const TermSet& stored = sample_table().at("E").at("is_a");
    TermExpansion view = expand_term_view("E", sample_table(), nullptr);
    EXPECT_EQ(&view.set(), &stored);
    TermSet owned = std::move(view).release();
    owned.insert("Z");
    EXPECT_EQ(stored.size(), 1u);
}

struct SetCase {
    const char* name;
    TermSet terms;
    std::optional<std::vector<std::string>> expected;  // nullopt: the missing-value fault
};

class ExpandTerms : public ::testing::TestWithParam<SetCase> {};

TEST_P(ExpandTerms, UnitesEveryTermsSetOrFaults) {
    static const TermSetMap closure{{"a", {"x", "y"}}, {"b", {"y", "z"}}, {"c", {}}};
    const SetCase& c = GetParam();
    if (!c.expected)
        return testing::expect_missing_value([&] { expand_terms_using_closure(c.terms, closure); });
    EXPECT_EQ(testing::sorted(expand_terms_using_closure(c.terms, closure)), *c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExpandTerms,
    ::testing::Values(SetCase{"two_terms", {"a", "b"}, std::vector<std::string>{"x", "y", "z"}},
                      SetCase{"one_term", {"b"}, std::vector<std::string>{"y", "z"}},
                      SetCase{"empty_entry", {"c", "a"}, std::vector<std::string>{"x", "y"}},
                      SetCase{"empty_input", {}, std::vector<std::string>{}},
                      SetCase{"missing_term", {"a", "q"}, std::nullopt},
                      SetCase{"only_missing", {"q"}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ontarix
