#include "core/null_distributions.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <vector>

#include "core/fault.hpp"
#include "core/lock_free_section.hpp"
#include "core/pool_scores.hpp"

namespace ontarix {

ScoreDistributionTable build_null_distributions(const ClosureIndex& index, const WangTable* wang,
                                                TermMeasure measure, const ProfileList& candidates,
                                                std::span<const std::uint32_t> pool,
                                                unsigned query_size, unsigned threads,
                                                Waiter* waiter) {
    std::optional<PoolScores> made;
    {
        // The pool's column lists take a while for a large pool: not under the host's lock.
        std::optional<LockFreeSection> unlocked;
        if (waiter != nullptr) unlocked.emplace(*waiter);
        made.emplace(index, wang, measure, candidates, pool);
    }
    const PoolScores& scores = *made;
    threads = std::max(1u, threads);
    std::vector<std::unique_ptr<PoolScores::Scratch>> scratch(threads);
    ScoreDistributionOptions options;
    options.query_size = query_size;
    options.threads = threads;
    options.waiter = waiter;
    return build_score_distributions(
        candidates.size(),
        [&](std::size_t c, unsigned worker, SingleDraw& draw) {
            if (!scratch[worker]) scratch[worker] = scores.scratch();
            draw.values.resize(pool.size());
            scores.best(*scratch[worker], c, draw.values);
            for (const double v : draw.values) {
                if (!std::isfinite(v)) [[unlikely]] {
                    FaultCause cause;
                    cause.kind = FaultCause::Kind::Content;
                    cause.detail = "a term score is infinite";
                    raise_fault("exact p-values need finite term scores", std::move(cause));
                }
            }
        },
        options);
}

}  // namespace ontarix
