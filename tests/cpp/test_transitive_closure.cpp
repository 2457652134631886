#include "core/transitive_closure.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/fault.hpp"
#include "xorshift.hpp"

namespace ontarix {
namespace {

using Reach = std::vector<std::vector<std::uint32_t>>;

Reach per_term(const ReachTable& table) {
    Reach out;
    for (std::uint32_t t = 0; t < table.term_count(); ++t) {
        const auto r = table.of(t);
        out.emplace_back(r.begin(), r.end());
    }
    return out;
}

// Breadth-first search from every term: slow and obviously right.
Reach model(std::uint32_t n, const std::vector<Edge>& edges, bool reflexive) {
    Reach out(n);
    std::vector<bool> in_edge(n, false);
    for (const Edge& e : edges) in_edge[e.child] = in_edge[e.parent] = true;
    for (std::uint32_t t = 0; t < n; ++t) {
        std::vector<bool> seen(n, false);
        std::vector<std::uint32_t> queue{t};
        for (std::size_t i = 0; i < queue.size(); ++i) {
            for (const Edge& e : edges) {
                if (e.child == queue[i] && !seen[e.parent]) {
                    seen[e.parent] = true;
                    queue.push_back(e.parent);
                }
            }
        }
        if (reflexive && in_edge[t]) seen[t] = true;
        for (std::uint32_t u = 0; u < n; ++u) {
            if (seen[u]) out[t].push_back(u);
        }
    }
    return out;
}

struct Case {
    const char* name;
    std::uint32_t terms;
    std::vector<Edge> edges;
    bool reflexive;
    Reach expected;
};

class TransitiveClosure : public ::testing::TestWithParam<Case> {};

TEST_P(TransitiveClosure, ReachesExactlyWhatPathsLeadTo) {
    const Case& c = GetParam();
    EXPECT_EQ(per_term(transitive_closure(c.terms, c.edges, c.reflexive)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Graphs, TransitiveClosure,
    ::testing::Values(
        Case{"empty", 0, {}, false, {}},
        // Term 3 has no edge: never listed, not even with reflexive.
        Case{"chain", 4, {{0, 1}, {1, 2}}, false, {{1, 2}, {2}, {}, {}}},
        Case{"chain_reflexive", 4, {{0, 1}, {1, 2}}, true, {{0, 1, 2}, {1, 2}, {2}, {}}},
        Case{"edges_given_parent_first", 3, {{1, 0}, {2, 1}}, false, {{}, {0}, {0, 1}}},
        Case{"self_loop", 2, {{0, 0}, {1, 0}}, false, {{0}, {0}}},
        Case{"cycle_with_tail", 4, {{0, 1}, {1, 2}, {2, 0}, {3, 0}, {2, 2}}, false,
             {{0, 1, 2}, {0, 1, 2}, {0, 1, 2}, {0, 1, 2}}},
        Case{"cycle_reaching_a_root", 4, {{0, 1}, {1, 0}, {1, 3}}, true,
             {{0, 1, 3}, {0, 1, 3}, {}, {3}}},
        Case{"diamond_and_repeats", 4, {{0, 1}, {0, 2}, {1, 3}, {2, 3}, {0, 3}, {0, 1}}, false,
             {{1, 2, 3}, {3}, {3}, {}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TransitiveClosure, MatchesSearchOnRandomGraphsWithCycles) {
    testing::XorShift64 rng{0x9E3779B97F4A7C15ULL};
    for (int round = 0; round < 300; ++round) {
        const std::uint32_t n = 1 + static_cast<std::uint32_t>(rng() % 24);
        std::vector<Edge> edges(rng() % (3 * n));
        for (Edge& e : edges) {
            e = {static_cast<std::uint32_t>(rng() % n), static_cast<std::uint32_t>(rng() % n)};
        }
        const bool reflexive = round % 2 == 1;
        ASSERT_EQ(per_term(transitive_closure(n, edges, reflexive)), model(n, edges, reflexive))
            << "round " << round;
    }
}

TEST(TransitiveClosure, EdgeBeyondTheTermsIsAFault) {
    const std::vector<Edge> edges{{0, 2}};
    EXPECT_THROW(transitive_closure(2, edges, false), Fault);
}

TEST(NumberFollowedEdges, NumbersOnlyTermsOfFollowedRows) {
    const TripleList rows{{"A", "is_a", "B"}, {"A", "part_of", "C"}, {"D", "regulates", "A"},
                          {"C", "is_a", "B"}, {"A", "is_a", "B"}};
    const TermSet follow{"is_a", "part_of"};
    const NumberedEdges numbered = number_followed_edges(rows, &follow);
    EXPECT_EQ(numbered.texts, (std::vector<Term>{"A", "B", "C"}));
    // A in row 0 as child, B in row 0 as parent, C in row 1 as parent.
    EXPECT_EQ(numbered.first_seen, (std::vector<std::size_t>{0, 1, 3}));
    std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
    for (const Edge& e : numbered.edges) edges.emplace_back(e.child, e.parent);
    EXPECT_EQ(edges, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{
                         {0, 1}, {0, 2}, {2, 1}, {0, 1}}));

    EXPECT_EQ(number_followed_edges(rows, nullptr).edges.size(), rows.size());
    const TermSet none;
    const NumberedEdges empty = number_followed_edges(rows, &none);
    EXPECT_TRUE(empty.texts.empty() && empty.edges.empty());
}

}  // namespace
}  // namespace ontarix
