// Measures between two profiles (sets of terms) over a ClosureIndex, one pair at a time.
//
// A profile is a list of distinct term numbers. Numbers below index.size() are terms of the
// index; numbers from index.size() up stand for terms the index lacks, a distinct number per
// distinct text, so that profiles can still be compared as sets while such terms reach nothing.
//
// The phenomizer score is the symmetric best-match average over Resnik scores: per term, the best
// score against the other profile; per direction, the mean of those bests; the mean of the two
// directions. Bests are found as ranks (a smaller rank is a larger score) and turned into scores
// only to be summed, in the order the profile lists its terms. The batch kernels keep the same
// order, so a score is the same double whether it comes from here, a matrix or a top-k list.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/closure_index.hpp"

namespace ontarix {

using ProfileTerms = std::span<const std::uint32_t>;

// Sum of the scores of `ranks` in order, divided by their count (0/0, NaN, when empty).
double mean_of_ranks(const ClosureIndex& index, std::span<const std::uint32_t> ranks) noexcept;

// Best ranks of every term of a against b (kNoRank where nothing qualifies) and of b against a.
void best_ranks(const ClosureIndex& index, ProfileTerms a, ProfileTerms b,
                std::vector<std::uint32_t>& a_best, std::vector<std::uint32_t>& b_best);

// (mean best score of a against b + mean best score of b against a) * 0.5; NaN when either
// profile is empty.
double index_phenomizer(const ClosureIndex& index, ProfileTerms a, ProfileTerms b);

// The best match in b of one term of a: the first term of b (in the order b lists them) with
// the largest Resnik score, and the rank of their most informative common ancestor.
struct BestMatch {
    std::uint32_t match;  // position in b
    std::uint32_t rank;   // kNoRank when the score is 0.0
};

// One entry per term of a, in a's order; empty when b is empty.
std::vector<BestMatch> index_best_matches(const ClosureIndex& index, ProfileTerms a,
                                          ProfileTerms b);

// The union of the expansions of `terms` (all of the index), ascending and distinct.
std::vector<std::uint32_t> expand_profile(const ClosureIndex& index, ProfileTerms terms);

}  // namespace ontarix
