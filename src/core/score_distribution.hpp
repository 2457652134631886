// Exact p-values of the directed score: per candidate, the distribution of the mean of q random
// draws, kept as a compact table that answers a lookup in tens of nanoseconds.
//
// The problem. For a candidate profile c and a pool of terms, v_c(t) is the best term score of
// pool term t against c's terms: a finite double >= 0. A random query of size q draws q pool terms
// independently and uniformly, with replacement; its directed score against c is the mean of the q
// values v_c(T_i). The p-value of an observed directed score m is P(mean of q draws >= m), exact
// ties counting as "at least as high". The single draw is given per candidate as its values over
// the pool (one per pool term, or distinct values with their counts).
//
// The grid. Per candidate, values are rounded down to whole multiples of a step h chosen from its
// largest value vmax and the resolution R (`cells`): h = W * 2^e, e such that vmax / 2^e lies in
// [2^40, 2^41) and W = ceil(floor(vmax / 2^e) / R), so the highest value's cell is at most R and
// h is vmax / R to within a relative R 2^-40 (h = 2^-1074 when vmax is 0: every answer exact). The
// rounding is exact (integer arithmetic on each value's binary form): a value v falls in cell
// m = floor(v / h), with m h <= v < (m + 1) h, so the grid sum S' = m_1 + ... + m_q of q draws
// satisfies S' h <= S < (S' + q) h. The distribution of S' is the q-fold convolution of the
// single draw's cell histogram, computed directly rather than by FFT: every term is a product or
// sum of nonnegative numbers, so a probability of 1e-30 keeps the relative precision of one of
// 0.5, where an FFT would bury it under the rounding of the largest terms. The survival
// P(S' >= j) is accumulated from the top (never as 1 - cdf) and kept at j = q a for a up to the
// highest value's cell m_max: on the grid of the mean, of step h, whatever q is.
//
// The guarantee. For an observed sum s (mean m = s / q), a lookup finds the least grid sum j* that
// any real sum >= s can round to, takes the largest a with q a <= j*, and reports P(S' >= q a).
// Then, with delta = (q + 3) 2^-52,
//
//     P(mean >= m)  <=  p  <=  (1 + 2^-19) P(mean > m - 2h - delta m) + 2^-1022.
//
// The left side is the promise that matters: a reported p-value is never below the exact one. It
// holds in spite of rounding: the convolution's relative rounding error is bounded by
// eps = (q (K' + 1) + q D + 3) 2^-52 (K', D below), and every kept value is raised by that factor
// and rounded up when stored. The delta m slack makes an observed sum or mean computed in floating
// point from the same kind of values (in any order) tie with the draws whose real sum it rounds:
// floating-point noise in the observed score never turns a tie into a miss. 2^-1022 is the least
// p-value reported for a reachable sum (a smaller one does not survive the float64 that hosts
// return); probabilities only fall below it when N^q > 2^1022 for a pool of N terms (q > 76 for
// N = 10,000), since every reachable grid sum has probability >= N^-q. p is 0 only where no q
// draws reach m, and 1 for m <= 0.
//
// Complexity. Per candidate: one pass over its values; then q - 2 convolution steps, step i (to i
// draws) costing K' i D multiply-adds; then the last draw, added at the kept points only (K' D):
// about K' D q^2 / 2 in all, where K' <= min(K, R + 1) is the number of occupied cells (K the
// distinct values) and D <= R the number of cells between the lowest and the highest value. The
// inner loop computes 16 outputs at once over all cells, in registers. Candidates run in parallel,
// one per block of the runner. A lookup is a few integer operations and one memory read.
//
// Memory. Per candidate 32 bytes plus 4 bytes per kept survival point: at most R + 1 of them (the
// points below the distribution, where p rounds to 1, are not kept), whatever q is. A point is
// the upper half of its double, rounded up: relative precision 2^-20, the whole exponent range of
// a double. Scratch per thread: about 3 q D doubles. A build holds the points twice at its end
// (each thread's, then the table's, in candidate order).
//
// Measured (bench/score_distribution_bench.cpp; g++ -O3, baseline x86-64 SSE2 code, on this
// 2-core machine while other work loaded it): 8,352 candidates, pool 10,000, about 80 distinct
// values each, q = 10, R = 1024: 3.3-3.9 s of CPU in all, about 0.4 ms per candidate (so about 2 s
// on 2 idle cores; 0.3 s more from 10,000 raw values per candidate instead of histograms); the
// table holds 33.7 MB (1,002 points per candidate), its stored form loads in 30-60 ms; a lookup
// takes about 10 ns, under 0.1 ms for all candidates. CPU time per candidate, in ms, grows with R
// and about q^2; memory only with R:
//
//              R = 256   512    1024   2048
//     q = 2      0.008   0.013  0.028  0.053
//     q = 5      0.023   0.046  0.093  0.197
//     q = 10     0.094   0.190  0.41   0.84
//     q = 20     0.38    0.81   1.8    3.7
//     q = 40     1.7     3.5    7.5    15.4
//     KB         1.0     2.0    4.0    8.1
//
// What resolution buys: p at R over p on a grid of R = 16384, q = 10, median (max) over 100
// candidates, at observed means where the fine p is about 1e-3: 1.15 (1.27) for R = 256, 1.06
// (1.12) for 512, 1.04 (1.06) for 1024, 1.02 (1.03) for 2048; about 1e-10: 1.31 (1.61), 1.14
// (1.26), 1.07 (1.12), 1.03 (1.06). About 1e-30 the exact survival is a staircase of the few
// combinations of the top values, and the bracket spans several of its steps: median 215, 33, 13.5
// and 5.8, max 10^5 and more. R = 1024 (kDefaultCells) is the finest resolution that leaves the
// first query its budget at q = 10; R = 2048 would double the time. For large q a host may lower R
// to keep the build time, the bracket 2h growing as R shrinks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/blocking_wait.hpp"

namespace ontarix {

// The resolution of the grid when the caller has no reason to choose another (see above).
inline constexpr std::uint32_t kDefaultCells = 1024;
// Limits of the arguments; beyond them the rounding bounds above would no longer hold (and the
// scratch arrays would grow past tens of megabytes).
inline constexpr unsigned kMaxQuerySize = 2048;
inline constexpr std::uint32_t kMaxCells = 65536;
inline constexpr std::uint64_t kMaxQueryCells = std::uint64_t{1} << 22;  // q * R

// One candidate's single draw: v_c(t) over the pool. With `weights` empty, every value is one pool
// term; otherwise weights[i] pool terms have values[i] (values may repeat; a weight may be 0).
// Every value must be finite and >= 0, and the pool must hold at least one term and fewer than
// 2^53.
struct SingleDraw {
    std::vector<double> values;
    std::vector<std::uint64_t> weights;

    void clear() noexcept {
        values.clear();
        weights.clear();
    }
};

// Fills `draw` (handed over empty) with the single draw of a candidate. Called on the runner's
// threads, concurrently for different candidates.
using SingleDrawSource = std::function<void(std::size_t candidate, SingleDraw& draw)>;
// The same for a source that keeps working memory per thread: `worker`, in [0, options.threads),
// names the calling thread.
using WorkerDrawSource =
    std::function<void(std::size_t candidate, unsigned worker, SingleDraw& draw)>;

struct ScoreDistributionOptions {
    unsigned query_size = 1;             // q, in [1, kMaxQuerySize]
    std::uint32_t cells = kDefaultCells;  // R, in [1, kMaxCells]; q * R <= kMaxQueryCells
    unsigned threads = 1;
    Waiter* waiter = nullptr;  // the host's lock and signals; plain_waiter() when null
};

// The survival of the grid mean of every candidate, for one query size.
struct ScoreDistributionTable {
    // Candidate c's step is width * 2^exponent; its survival at mean-grid point a is 1 for
    // a < first, points[begin + a - first] for first <= a < first + count, and 0 beyond (the
    // highest kept point is its highest value's cell).
    struct Grid {
        std::uint64_t width;     // W, in [1, 2^41]
        std::uint64_t begin;     // into points
        std::int32_t exponent;   // e, in [-1074, 983]
        std::uint32_t first;
        std::uint32_t count;
    };

    unsigned query_size = 1;
    std::uint32_t cells = kDefaultCells;
    std::vector<Grid> grids;            // per candidate
    // Per point, the upper 32 bits of the double p, rounded up: within a candidate strictly
    // below 1.0, at least 2^-1022 and nonincreasing.
    std::vector<std::uint32_t> points;

    std::size_t size() const noexcept { return grids.size(); }
};

// Builds the table of `candidates` candidates (their draws from `source`) on options.threads
// threads. Raises a Fault when the options are out of range or a draw breaks its contract; a
// waiter that throws stops the build with its exception.
ScoreDistributionTable build_score_distributions(std::size_t candidates,
                                                 const SingleDrawSource& source,
                                                 const ScoreDistributionOptions& options);
ScoreDistributionTable build_score_distributions(std::size_t candidates,
                                                 const WorkerDrawSource& source,
                                                 const ScoreDistributionOptions& options);

// The p-value of candidate c (< table.size()) for an observed directed score given as the sum of
// the q values, or as their mean; NaN for a NaN score. See the guarantee above.
double pvalue_of_sum(const ScoreDistributionTable& table, std::size_t candidate,
                     double sum) noexcept;
double pvalue_of_mean(const ScoreDistributionTable& table, std::size_t candidate,
                      double mean) noexcept;

// Candidate c's grid step h, on which its guarantee depends.
double grid_step(const ScoreDistributionTable& table, std::size_t candidate) noexcept;

// The bytes the table holds (its arrays, not counting spare capacity).
std::size_t table_bytes(const ScoreDistributionTable& table) noexcept;

}  // namespace ontarix
