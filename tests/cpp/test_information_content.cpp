#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/similarity.hpp"
#include "measure_fixtures.hpp"

namespace ontarix {
namespace {

// The measure exactly as defined, step by step, with ordered standard containers: the expansion
// filter P, expansion through P, the common-ancestor list in A1's order without the root, a
// frequency table of every object under the caller's filter, the IC table, the strict maximum.
double literal_max_information_content(const ClosureTable& table, Term entity1, Term entity2,
                                       const TermSet* predicates) {
    std::set<std::string> p;
    if (predicates != nullptr) {
        p.insert(predicates->begin(), predicates->end());
    } else {
        for (const auto& [subject, by_predicate] : table)
            for (const auto& [predicate, objects] : by_predicate) p.emplace(predicate);
    }
    auto expand = [&](Term term) {
        std::set<std::string> out;
        const auto subject = table.find(term);
        if (subject == table.end()) return out;
        for (const std::string& predicate : p) {
            const auto found = subject->second.find(predicate);
            if (found != subject->second.end()) out.insert(found->second.begin(), found->second.end());
        }
        return out;
    };
    const std::set<std::string> a1 = expand(entity1);
    const std::set<std::string> a2 = expand(entity2);
    std::vector<std::string> common;
    for (const std::string& term : a1)
        if (a2.count(term) != 0 && term != "owl:Thing") common.push_back(term);

    std::map<std::string, std::uint64_t> frequency;
    std::uint64_t total = 0;
    for (const auto& [subject, by_predicate] : table) {
        for (const auto& [predicate, objects] : by_predicate) {
            if (predicates != nullptr && (predicates->empty() || !predicates->contains(predicate)))
                continue;
            for (const Term& object : objects) ++frequency[std::string(object)];
            total += objects.size();
        }
    }
    std::vector<double> ic;
    if (!common.empty() && !frequency.empty()) {
        for (const std::string& term : common) {
            const auto found = frequency.find(term);
            if (found == frequency.end()) continue;
            ic.push_back(-std::log2(static_cast<double>(found->second) / static_cast<double>(total)));
        }
    }
    double m = 0.0;
    for (double v : ic)
        if (v > m) m = v;
    return m;
}

struct IcCase {
    const char* name;
    ClosureTable table;
    Term entity1;
    Term entity2;
    std::optional<TermSet> filter;
    double expected;
};

class MaxInformationContent : public ::testing::TestWithParam<IcCase> {};

TEST_P(MaxInformationContent, MatchesTheDefinition) {
    const IcCase& c = GetParam();
    const TermSet* filter = c.filter ? &*c.filter : nullptr;
    const double forward = calculate_max_information_content(c.table, c.entity1, c.entity2, filter);
    const double backward = calculate_max_information_content(c.table, c.entity2, c.entity1, filter);
    EXPECT_TRUE(testing::same_double(forward, c.expected)) << forward;
    EXPECT_TRUE(testing::same_double(backward, c.expected)) << backward;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MaxInformationContent,
    ::testing::Values(
        IcCase{"siblings", testing::ladder({}), "X", "Y", std::nullopt, -std::log2(2.0 / 9.0)},
        IcCase{"parent", testing::ladder({}), "X", "P", std::nullopt, -std::log2(3.0 / 9.0)},
        IcCase{"only_root_shared", testing::ladder({}), "R", "X", std::nullopt, 0.0},
        IcCase{"not_a_subject", testing::ladder({}), "X", "Z", std::nullopt, 0.0},
        IcCase{"absent_predicate", testing::ladder({}), "X", "Y", TermSet{"p2"}, 0.0},
        IcCase{"empty_filter", testing::ladder({}), "X", "Y", TermSet{}, 0.0},
        IcCase{"itself", testing::ladder({}), "P", "P", std::nullopt, -std::log2(3.0 / 9.0)},
        IcCase{"unrelated_subject_counts", testing::ladder({{"Q", "p1", "owl:Thing"}}), "X", "Y",
               std::nullopt, -std::log2(2.0 / 10.0)},
        // Rows outside the caller's filter neither count nor expand.
        IcCase{"filter_limits_counting", testing::ladder({{"Q", "p2", "P"}, {"X", "p2", "S"},
                                                      {"Y", "p2", "S"}}),
               "X", "Y", TermSet{"p1"}, -std::log2(2.0 / 9.0)},
        // Unfiltered, P's count rises to 3 of 10 and R (3 of 10) ties with it.
        IcCase{"second_predicate_counts", testing::ladder({{"Q", "p2", "P"}}), "X", "Y",
               std::nullopt, -std::log2(3.0 / 10.0)},
        // Every pair holds P: its IC is -0.0, which must not replace the starting +0.0.
        IcCase{"negative_zero_never_shows", testing::closure_of({{"X", "p", "P"}, {"Y", "p", "P"}}),
               "X", "Y", std::nullopt, 0.0}),
    [](const auto& info) { return std::string(info.param.name); });

// Generated tables, small enough that shared ancestors, the root, unknown terms, absent and
// empty filters and count == total all come up often.
TEST(MaxInformationContent, AgreesWithTheLiteralDefinitionOnRandomTables) {
    const std::vector<std::string> terms = {"a", "b", "c", "d", "e", "f", "g", "owl:Thing"};
    const std::vector<std::string> predicates = {"p", "q", "r"};
    std::mt19937_64 rng(20261207);
    auto pick = [&](const auto& pool) -> Term { return pool[rng() % pool.size()]; };
    for (int round = 0; round < 3000; ++round) {
        ClosureTable table;
        const int rows = static_cast<int>(rng() % (1 + round % 40));
        for (int i = 0; i < rows; ++i) table[pick(terms)][pick(predicates)].insert(pick(terms));
        std::optional<TermSet> filter;
        if (rng() % 3 != 0) {
            filter.emplace();
            for (Term predicate : {"p", "q", "r", "s"})
                if (rng() % 2 == 0) filter->insert(predicate);
        }
        const TermSet* f = filter ? &*filter : nullptr;
        const Term e1 = rng() % 8 == 0 ? Term("zz") : pick(terms);
        const Term e2 = rng() % 4 == 0 ? e1 : pick(terms);
        const double expected = literal_max_information_content(table, e1, e2, f);
        const double actual = calculate_max_information_content(table, e1, e2, f);
        ASSERT_TRUE(testing::same_double(actual, expected))
            << "round " << round << ": " << actual << " != " << expected;
    }
}

}  // namespace
}  // namespace ontarix
