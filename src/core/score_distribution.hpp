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
// P(S' >= j) is accumulated from the top (never as 1 - cdf) and kept at j = q a for every
// a = 0 .. m_max: on the grid of the mean, of step h, whatever q is.
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
// return); below it the probabilities underflow, which happens only when N^q > 2^1000 for a pool
// of N terms (q > 75 for N = 10,000). p is 0 exactly when no q draws can reach m, and 1 for m <= 0.
//
// Complexity. Per candidate: one pass over its values, then q - 1 convolution steps, step i
// costing K' (i + 1) D multiply-adds, about K' D q^2 / 2 in all, where K' <= min(K, R + 1) is the
// number of occupied cells (K the distinct values) and D <= R the number of cells between the
// lowest and the highest value. Candidates run in parallel, one per block of the runner. A lookup
// is a few arithmetic operations and one memory read.
//
// Memory. Per candidate 32 bytes plus 4 bytes per kept survival point: at most R + 1 of them (the
// points below the distribution, where p rounds to 1, are not kept), and the same for every q.
// A point is the upper half of its double, rounded up: relative precision 2^-20, the whole
// exponent range of a double. Scratch per thread: two arrays of q D + 64 doubles.
//
// Measured (bench/score_distribution_bench.cpp, this 2-core machine): see the README's section
// on p-values; R = kDefaultCells keeps the 8,352 OMIM candidates at q = 10 (K about 80) within the
// first query's budget.
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
