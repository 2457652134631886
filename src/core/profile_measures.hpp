// Measures between two profiles (sets of terms) over a ClosureIndex, one pair at a time.
//
// A profile is a list of distinct term numbers, ascending. Numbers below index.size() are terms of
// the index; numbers from index.size() up stand for terms the index lacks, a distinct number per
// distinct text, so that profiles can still be compared as sets while such terms reach nothing.
// (Being ascending, a profile lists its index terms first.)
//
// The profile measures:
//   a term measure with a combine   the term scores of every pair (term_measures.hpp) combined
//                                   (combine.hpp); resnik + funsimavg is the phenomizer score
//   jaccard                         the Jaccard index of the profiles as given
//   expanded_jaccard                the Jaccard index of the unions of their terms' expansions
//   simgic                          C / (W(A) + W(B) - C) over the unions of the terms' scored
//                                   lists: W the sum of their ranks' IC in rank order, C that of
//                                   the ranks both unions hold; NaN when a profile is empty, 0.0
//                                   when the denominator is 0
//
// The phenomizer score is the symmetric best-match average over Resnik scores: per term, the best
// score against the other profile; per direction, the mean of those bests; the mean of the two
// directions. Bests are found as ranks (a smaller rank is a larger score) and turned into scores
// only to be summed, in the order the profile lists its terms.
//
// The functions here merge lists pair by pair; the batch kernels (profile_kernels.hpp) mark one
// side and walk the other, gathering the same values and summing them in the same order, so a
// score is the same double whether it comes from here, a matrix or a top-k list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/closure_index.hpp"
#include "core/combine.hpp"
#include "core/term_measures.hpp"

namespace ontarix {

using ProfileTerms = std::span<const std::uint32_t>;

// Profiles of one side of a batch: profile i holds terms[begin[i], begin[i + 1]).
struct ProfileList {
    std::vector<std::size_t> begin{0};
    std::vector<std::uint32_t> terms;

    std::size_t size() const noexcept { return begin.size() - 1; }
    ProfileTerms operator[](std::size_t i) const noexcept {
        return {terms.data() + begin[i], begin[i + 1] - begin[i]};
    }
    void add(ProfileTerms profile) {
        terms.insert(terms.end(), profile.begin(), profile.end());
        begin.push_back(terms.size());
    }
};

enum class ProfileMeasure : std::uint8_t { Phenomizer, Jaccard, ExpandedJaccard, SimGic, Combined };

// A profile measure, and for Combined the term measure and the combine.
struct ProfileScoring {
    ProfileMeasure measure = ProfileMeasure::Phenomizer;
    TermMeasure term = TermMeasure::Resnik;
    Combine combine = Combine::FunSimAvg;

    ProfileScoring(ProfileMeasure m) noexcept : measure(m) {}  // NOLINT: a measure is a scoring
    ProfileScoring(TermMeasure t, Combine c) noexcept
        : measure(ProfileMeasure::Combined), term(t), combine(c) {}

    // resnik + funsimavg is the phenomizer score, with a kernel of its own.
    bool is_phenomizer() const noexcept {
        return measure == ProfileMeasure::Phenomizer ||
               (measure == ProfileMeasure::Combined && term == TermMeasure::Resnik &&
                combine == Combine::FunSimAvg);
    }
    bool symmetric() const noexcept {
        return measure != ProfileMeasure::Combined || symmetric_combine(combine);
    }
};

// Sum of the scores of `ranks` in order, divided by their count (0/0, NaN, when empty).
double mean_of_ranks(const ClosureIndex& index, std::span<const std::uint32_t> ranks) noexcept;

// Best ranks of every term of a against b (kNoRank where nothing qualifies) and of b against a.
void best_ranks(const ClosureIndex& index, ProfileTerms a, ProfileTerms b,
                std::vector<std::uint32_t>& a_best, std::vector<std::uint32_t>& b_best);

// (mean best score of a against b + mean best score of b against a) * 0.5; NaN when either
// profile is empty.
double index_phenomizer(const ClosureIndex& index, ProfileTerms a, ProfileTerms b);

// The union of the expansions of `terms` (all of the index), ascending and distinct.
std::vector<std::uint32_t> expand_profile(const ClosureIndex& index, ProfileTerms terms);

// The union of the scored lists of `terms`: ranks, ascending and distinct.
std::vector<std::uint32_t> scored_union(const ClosureIndex& index, ProfileTerms terms);

// The sum of the IC of `ranks`, in their order.
double ranks_weight(const ClosureIndex& index, std::span<const std::uint32_t> ranks) noexcept;

// simgic from the common weight, the two unions' weights, and whether a profile is empty.
inline double simgic_formula(double common, double wa, double wb, bool a_empty,
                             bool b_empty) noexcept {
    if (a_empty || b_empty) return std::numeric_limits<double>::quiet_NaN();
    return graph_ic_formula(common, wa, wb);
}

// The term-score matrix of a and b summed for avg in its one orientation: a's terms as rows when
// the index terms of a (a profile's first terms) are lexicographically no greater than b's.
// Either orientation gives the transposed pair the same sum: with equal index terms the matrix of
// scores that are not 0.0 is symmetric.
bool avg_rows_first(const ClosureIndex& index, ProfileTerms a, ProfileTerms b) noexcept;

// Whether a term can score above 0.0 under a term measure: one that cannot scores 0.0 (or NaN,
// counted as 0.0) with every term, and is left out of the kernels' work.
inline bool can_score(const ClosureIndex& index, const WangTable* wang, TermMeasure measure,
                      std::uint32_t term) noexcept {
    switch (measure) {
        case TermMeasure::GraphIc:
            return !index.scored().of(term).empty();
        case TermMeasure::SemanticJaccard:
            return !index.expansions().of(term).empty();
        case TermMeasure::Wang:
            return wang != nullptr && !wang->ancestors.of(term).empty();
        default:
            // m is 0.0 without a scored list, and every formula of m is then 0.0 when the term's
            // own weight is too.
            return index.weight(term) > 0.0 || !index.scored().of(term).empty();
    }
}

// The score of a and b under `scoring`. Wang's measure needs `wang`, the index's table.
double profile_similarity(const ClosureIndex& index, const WangTable* wang, ProfileTerms a,
                          ProfileTerms b, const ProfileScoring& scoring);

// A best match under a term measure: the first term of b with the largest score (as combines
// count it), its score, and the most informative common ancestor of the two (kNoRank for none).
struct TermMatch {
    std::uint32_t match;  // position in b
    double score;
    std::uint32_t rank;
};

// One entry per term of a, in a's order; empty when b is empty.
std::vector<TermMatch> term_best_matches(const ClosureIndex& index, const WangTable* wang,
                                         TermMeasure measure, ProfileTerms a, ProfileTerms b);

}  // namespace ontarix
