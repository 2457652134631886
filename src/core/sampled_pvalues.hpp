// Sampled p-values: Monte Carlo estimates for any measure and combine.
//
// For candidate c, `samples` random queries of q pool terms are scored against c and
// p = (1 + hits) / (1 + samples), hits counting the queries that score at least as high as c's
// observed score (random_queries.hpp). Query `sample` of candidate c is drawn from the stream
// (seed, c, sample), so the result is the same for a seed whatever the thread count and however
// the work is cut. A score within a relative (q n + q + n + 4) 2^-52 of the observed one
// (n = |c|) counts as a tie: the observed score sums the same values in another order, and
// rounding never turns a tie into a miss.
//
// A random query is the list of its q draws, so a term drawn twice counts twice in every mean, as
// in the exact p-values' mean of q draws; for the measures of sets (jaccard, expanded_jaccard,
// simgic) it is the set of its distinct terms.
//
// Scoring reads tables made once per candidate (pool_scores.hpp): a term measure with the
// directed or max combine reads v_c, q values per query; funsimavg, funsimmax, bma and avg also
// read the term scores against c's terms of the pool terms with v_c > 0 (no other term can raise a
// column maximum or add to a sum), |c| values per such draw. The measures of sets are computed
// per query by profile_similarity. Blocks of work are a candidate and a range of samples; a
// thread keeps the tables of the candidate it worked on last.
//
// Memory per thread: the tables of one candidate (|c| + 2 values per pool term at most).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/batch_scoring.hpp"
#include "core/closure_index.hpp"
#include "core/profile_measures.hpp"

namespace ontarix {

struct SamplingRequest {
    ProfileScoring scoring = ProfileMeasure::Phenomizer;
    unsigned query_size = 1;       // q >= 1
    std::uint64_t samples = 1;     // >= 1
    std::uint64_t seed = 0;
};

// One p-value per candidate, NaN where its observed score is NaN. `pool` holds distinct term
// numbers (at least one), in the order whose positions the draws pick; observed[c] is c's score.
// Wang's measure needs `wang`. Runs on options.threads threads through options.waiter. A Fault of
// kind Content when the samples of all candidates are too many to count.
std::vector<double> sampled_pvalues(const ClosureIndex& index, const WangTable* wang,
                                    const ProfileList& candidates,
                                    std::span<const std::uint32_t> pool,
                                    std::span<const double> observed,
                                    const SamplingRequest& request, const BatchOptions& options);

}  // namespace ontarix
