// The similarity measures. All take their inputs read-only and return new values; none keeps
// state between calls. Degenerate ratios (0/0) are NaN, never an error.
#pragma once

#include <utility>

#include "core/terms.hpp"

namespace ontarix {

// |a ∩ b| / |a ∪ b|, both counted (never built), as a double division of 64-bit counts.
double calculate_jaccard_similarity(const TermIdSet& a, const TermIdSet& b);

// Jaccard index of the expansions of the two terms (predicates == nullptr: no filter).
double calculate_semantic_jaccard_similarity(const ClosureTable& table, Term entity1, Term entity2,
                                             const TermSet* predicates);

// Largest information content -log2(count/total) among the common ancestors of the two terms
// ("owl:Thing" excluded), with frequencies counted over the whole table; 0.0 when there is none.
double calculate_max_information_content(const ClosureTable& table, Term entity1, Term entity2,
                                         const TermSet* predicates);

// The entry with the largest |score| (NaN beats every number; ties go to the entry visited last),
// returned with its score as stored. Raises the missing-value fault on an empty map.
std::pair<Term, double> get_most_recent_common_ancestor_with_score(const TermScoreMap& map);

// Best-match average of a against b over map[a][b]; a missing map[x] or map[x][y] that is
// visited raises the missing-value fault.
double pairwise_entity_resnik_score(const PairwiseScoreTable& map, const TermSet& a,
                                    const TermSet& b);

// (resnik(e1, e2) + resnik(e2, e1)) * 0.5, the first direction computed first.
double calculate_phenomizer_score(const PairwiseScoreTable& map, const TermSet& entity1,
                                  const TermSet& entity2);

}  // namespace ontarix
