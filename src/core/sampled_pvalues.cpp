#include "core/sampled_pvalues.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>

#include "core/combine.hpp"
#include "core/fault.hpp"
#include "core/lock_free_section.hpp"
#include "core/parallel_blocks.hpp"
#include "core/pool_scores.hpp"
#include "core/random_queries.hpp"

namespace ontarix {
namespace {

// Work per block, in values read: a few milliseconds, so that a thread that finishes early takes
// over work and the calling thread answers its host in time, whatever the query size.
constexpr std::uint64_t kWorkPerBlock = std::uint64_t{1} << 22;
constexpr std::uint64_t kMaxSamplesPerBlock = std::uint64_t{1} << 14;

constexpr std::uint32_t kDead = UINT32_MAX;

enum class Reads : std::uint8_t { Best, TermScores, Sets };

Reads reads_of(const ProfileScoring& scoring) {
    if (scoring.measure != ProfileMeasure::Combined) return Reads::Sets;
    return scoring.combine == Combine::Directed || scoring.combine == Combine::Max
               ? Reads::Best
               : Reads::TermScores;
}

struct Worker {
    std::size_t candidate = SIZE_MAX;  // whose tables these are
    std::unique_ptr<PoolScores::Scratch> scratch;
    std::vector<double> best;          // v_c per pool position
    // The pool terms with v_c > 0 (the others score 0.0 with every term of c): per pool
    // position its place among them or kDead, and per place the term scores with c's terms.
    std::vector<std::uint32_t> live;
    std::vector<std::uint32_t> live_terms;
    std::vector<double> term_scores;
    std::vector<double> col_best;
    std::vector<std::uint32_t> draws;  // pool positions
    std::vector<std::uint32_t> terms;  // a query of sets: its distinct term numbers, ascending
};

}  // namespace

std::vector<double> sampled_pvalues(const ClosureIndex& index, const WangTable* wang,
                                    const ProfileList& candidates,
                                    std::span<const std::uint32_t> pool,
                                    std::span<const double> observed,
                                    const SamplingRequest& request, const BatchOptions& options) {
    if (pool.empty() || request.query_size == 0 || request.samples == 0 ||
        observed.size() != candidates.size()) {
        raise_fault("sampled p-values: an empty pool or query, or no samples");
    }
    ProfileScoring scoring = request.scoring;
    if (scoring.is_phenomizer()) scoring = ProfileScoring(TermMeasure::Resnik, Combine::FunSimAvg);
    const Reads reads = reads_of(scoring);
    std::optional<PoolScores> scores;
    if (reads != Reads::Sets) {
        // The pool's column lists take a while for a large pool: not under the host's lock.
        std::optional<LockFreeSection> unlocked;
        if (options.waiter != nullptr) unlocked.emplace(*options.waiter);
        scores.emplace(index, wang, scoring.term, candidates, pool);
    }

    const unsigned q = request.query_size;
    std::size_t widest = 0;
    for (std::size_t c = 0; c < candidates.size(); ++c) widest = std::max(widest, candidates[c].size());
    const std::uint64_t per_sample = std::uint64_t{q} * (reads == Reads::Best ? 1 : widest + 1);
    const std::uint64_t per_block =
        std::clamp<std::uint64_t>(kWorkPerBlock / per_sample, 1, kMaxSamplesPerBlock);
    const std::uint64_t chunks = (request.samples + per_block - 1) / per_block;
    std::size_t blocks = 0;
    if (__builtin_mul_overflow(candidates.size(), chunks, &blocks)) {
        FaultCause cause;
        cause.kind = FaultCause::Kind::Content;
        cause.detail = "the samples of all candidates are more than can be counted";
        raise_fault("too many samples", std::move(cause));
    }
    // Per candidate, the hits of all its blocks: sums of integers, the same in any order.
    std::vector<std::atomic<std::uint64_t>> hits(candidates.size());
    const unsigned threads = std::max(1u, options.threads);
    std::vector<Worker> workers(threads);
    const auto pool_size = static_cast<std::uint32_t>(pool.size());

    Waiter& waiter = options.waiter != nullptr ? *options.waiter : plain_waiter();
    run_blocks(blocks, threads, waiter, [&](std::size_t b, unsigned w) {
        const std::size_t c = b / chunks;
        const double target = observed[c];
        if (std::isnan(target)) return;
        const ProfileTerms candidate = candidates[c];
        Worker& my = workers[w];
        if (reads != Reads::Sets && my.candidate != c) {
            if (!my.scratch) my.scratch = scores->scratch();
            my.best.resize(pool.size());
            scores->best(*my.scratch, c, my.best);
            if (reads == Reads::TermScores) {
                my.live.assign(pool.size(), kDead);
                my.live_terms.clear();
                for (std::size_t i = 0; i < pool.size(); ++i) {
                    if (!(my.best[i] > 0.0)) continue;
                    my.live[i] = static_cast<std::uint32_t>(my.live_terms.size());
                    my.live_terms.push_back(pool[i]);
                }
                my.term_scores.resize(my.live_terms.size() * candidate.size());
                scores->term_scores(c, my.live_terms, my.term_scores);
            }
            my.candidate = c;
        }
        const std::size_t n = candidate.size();
        const double slack = static_cast<double>(std::uint64_t{q} * n + q + n + 4) * 0x1p-52;
        const double bar = target - std::abs(target) * slack;
        my.draws.resize(q);
        const std::uint64_t first = (b % chunks) * per_block;
        const std::uint64_t last = std::min(request.samples, first + per_block);
        std::uint64_t found = 0;
        for (std::uint64_t sample = first; sample < last; ++sample) {
            draw_query(request.seed, c, sample, pool_size, my.draws);
            double score;
            if (reads == Reads::Sets) {
                my.terms.clear();
                for (const std::uint32_t i : my.draws) my.terms.push_back(pool[i]);
                std::sort(my.terms.begin(), my.terms.end());
                my.terms.erase(std::unique(my.terms.begin(), my.terms.end()), my.terms.end());
                score = profile_similarity(index, wang, my.terms, candidate, scoring);
            } else {
                CombineSums sums;
                for (const std::uint32_t i : my.draws) {
                    sums.rows += my.best[i];
                    sums.best = std::max(sums.best, my.best[i]);
                }
                if (reads == Reads::TermScores) {
                    my.col_best.assign(n, 0.0);
                    for (const std::uint32_t i : my.draws) {
                        if (my.live[i] == kDead) continue;
                        const double* row = my.term_scores.data() + std::size_t{my.live[i]} * n;
                        for (std::size_t k = 0; k < n; ++k) {
                            my.col_best[k] = std::max(my.col_best[k], row[k]);
                            sums.all += row[k];
                        }
                    }
                    for (const double best : my.col_best) sums.cols += best;
                }
                score = combined_score(scoring.combine, sums, q, n);
            }
            found += score >= bar;
        }
        hits[c].fetch_add(found, std::memory_order_relaxed);
    });

    std::vector<double> out(candidates.size());
    for (std::size_t c = 0; c < candidates.size(); ++c) {
        if (std::isnan(observed[c])) {
            out[c] = observed[c];
            continue;
        }
        out[c] = sampled_pvalue(hits[c].load(std::memory_order_relaxed), request.samples);
    }
    return out;
}

}  // namespace ontarix
