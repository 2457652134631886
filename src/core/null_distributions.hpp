// Exact p-values of candidate profiles: per candidate, the distribution of the directed score of a
// random query of q pool terms, as score_distribution.hpp builds and bounds it.
//
// The single draw of candidate c is v_c over the pool (pool_scores.hpp): the best term score of
// each pool term in c, one value per pool term. The values are computed one candidate at a time on
// the runner's threads, each into that thread's buffer, and handed to the convolution at once: no
// pool x candidates matrix is ever held. An empty candidate's values are all 0.0 (its directed
// score, and so its p-value, is NaN whatever the query).
//
// Cost per candidate: the pool's walks (pool_scores.hpp), then the convolution (about
// K' D q^2 / 2 multiply-adds, score_distribution.hpp). Memory: the table, and per thread a buffer
// of the pool's values and the convolution's scratch.
#pragma once

#include <cstdint>
#include <span>

#include "core/blocking_wait.hpp"
#include "core/closure_index.hpp"
#include "core/profile_measures.hpp"
#include "core/score_distribution.hpp"
#include "core/term_measures.hpp"

namespace ontarix {

// The table of `candidates` for queries of `query_size` terms drawn from `pool` (distinct term
// numbers, at least one), on `threads` threads. A term score that is infinite (a custom IC can
// make one) raises a Fault of kind Content; a waiter that throws stops the build.
ScoreDistributionTable build_null_distributions(const ClosureIndex& index, const WangTable* wang,
                                                TermMeasure measure, const ProfileList& candidates,
                                                std::span<const std::uint32_t> pool,
                                                unsigned query_size, unsigned threads,
                                                Waiter* waiter);

}  // namespace ontarix
