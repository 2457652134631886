// The random queries of sampled p-values, and the estimate made from them.
//
// Sampling estimates P(score of a random query >= observed score) by scoring `samples` random
// queries of the observed query's size q, each made of q pool terms drawn independently and
// uniformly, with replacement. Query `sample` for candidate `candidate` under `seed` is drawn from
// the counter-based stream (seed, candidate, sample) (see counter_random.hpp), so results for a
// seed do not depend on the thread count or on how the samples are cut into blocks. A driver that
// scores each random query against every candidate passes one fixed stream number instead.
//
// The estimate counts the observed query among the samples, (1 + hits) / (1 + samples), hits being
// the samples that score at least as high: it is never 0, and it is a valid p-value (a test that
// rejects when it is <= alpha does so with probability <= alpha).
#pragma once

#include <cstdint>
#include <span>

#include "core/counter_random.hpp"

namespace ontarix {

// Fills `query` (q = its size) with positions in [0, pool_size), pool_size >= 1.
inline void draw_query(std::uint64_t seed, std::uint64_t candidate, std::uint64_t sample,
                       std::uint32_t pool_size, std::span<std::uint32_t> query) noexcept {
    CounterRandom random(seed, candidate, sample);
    for (std::uint32_t& term : query) term = static_cast<std::uint32_t>(random.below(pool_size));
}

inline double sampled_pvalue(std::uint64_t hits, std::uint64_t samples) noexcept {
    return (1.0 + static_cast<double>(hits)) / (1.0 + static_cast<double>(samples));
}

}  // namespace ontarix
