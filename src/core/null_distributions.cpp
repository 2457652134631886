#include "core/null_distributions.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "core/fault.hpp"
#include "core/pool_scores.hpp"

namespace ontarix {

ScoreDistributionTable build_null_distributions(const ClosureIndex& index, const WangTable* wang,
                                                TermMeasure measure, const ProfileList& candidates,
                                                std::span<const std::uint32_t> pool,
                                                unsigned query_size, unsigned threads,
                                                Waiter* waiter) {
    const PoolScores scores(index, wang, measure, candidates, pool);
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
