// Wang's semantic similarity of two terms (Wang et al. 2007), from an ontology's weighted edges.
//
// Every edge from a term to a direct parent carries a weight w in (0, 1] (by its predicate: 0.8
// for is_a and 0.6 for part_of by convention). A term a contributes to each of its ancestors t by
//   S_a(a) = 1,  S_a(t) = the maximum, over the paths from a up to t, of the product of the
//                         weights along the path,
// and the similarity of a and b is
//   sum over t in both S-sets of (S_a(t) + S_b(t))  /  (sum of S_a + sum of S_b).
// It is 1.0 for a term with itself and 0.0 for terms without a common ancestor; a term without
// contributions (one the index lacks) scores 0.0 with everything.
//
// The maximum over paths is the paper's definition. (GOSemSim 2.24 keeps the first value its
// breadth-first walk meets instead, which can be a smaller product when a longer path is met first.)
//
// How. Weights are at most 1, so a path's product never grows as it goes on: the largest product
// to each ancestor is found by a best-first search from the term, as in Dijkstra's shortest paths,
// which also handles cycles (a cycle never improves a product). Products are formed from the term
// upward, w1 * w2 * ... in path order. One search per term over its own ancestors: time
// O(sum over terms of (ancestor edges) * log(ancestors)); memory 12 bytes per (term, ancestor)
// pair. The table is built on first use of the measure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/terms.hpp"
#include "core/transitive_closure.hpp"

namespace ontarix {

// The followed edges of an ontology, child to direct parent, in the index's term numbers.
struct WangEdges {
    std::vector<Edge> edges;
    std::vector<double> weights;                 // per edge, in (0, 1]
    // While building: the predicate of each edge, and the predicates' texts (views of the
    // structure's arena). Empty for edges restored from a stored index.
    std::vector<std::uint32_t> edge_predicates;
    std::vector<Term> predicate_texts;
};

struct WangTable {
    TermLists ancestors;          // per term: itself and its ancestors, ascending
    std::vector<double> values;   // S_a(t), beside ancestors.items
    std::vector<double> totals;   // per term: the sum of its values, in ancestor order

    std::span<const double> values_of(std::uint32_t term) const noexcept {
        if (std::size_t{term} + 1 >= ancestors.begin.size()) return {};
        return {values.data() + ancestors.begin[term],
                ancestors.begin[term + 1] - ancestors.begin[term]};
    }
    double total_of(std::uint32_t term) const noexcept {
        return term < totals.size() ? totals[term] : 0.0;
    }
};

// The contributions of every term 0..term_count-1 over `edges`.
WangTable wang_table(std::uint32_t term_count, const WangEdges& edges);

// Wang's similarity of terms a and b (numbers >= the table's term count: terms it lacks).
double wang_similarity(const WangTable& table, std::uint32_t a, std::uint32_t b) noexcept;

}  // namespace ontarix
