// Combining the term scores of two profiles into one profile score.
//
// For profiles A (m terms) and B (n terms) and their term-score matrix s, r_i is the best score of
// A's term i against B (its row maximum) and c_j the best of B's term j against A:
//   funsimavg  (sum r / m + sum c / n) * 0.5    with resnik: the phenomizer score, bit for bit
//   funsimmax  max(sum r / m, sum c / n)        GOSemSim's "rcmax"
//   bma        (sum r + sum c) / (m + n)        GOSemSim's and hpo3's "BMA"
//   max        the largest s
//   avg        sum of every s / (m * n)
//   directed   sum r / m                        how well A's terms are explained by B
// A NaN term score (semantic_jaccard of two empty expansions) counts as 0.0; an empty side gives
// NaN. Every term score is at least 0.0, so maxima start from 0.0, and a term that scores 0.0 with
// everything may be left out of every sum without changing a bit of it (x + 0.0 == x).
//
// Sums run over the terms in the order the profiles list them (ascending numbers). Every combine
// but avg and directed is symmetric bit for bit: swapping A and B swaps operands of + and max
// only. avg's sum depends on the order of its terms, so it has one orientation (see
// AvgOrientation in profile_kernels.hpp) whichever side a caller puts first.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace ontarix {

enum class Combine : std::uint8_t { FunSimAvg, FunSimMax, Bma, Max, Avg, Directed };

// A term score as the combines count it.
inline double counted(double score) noexcept { return score == score ? score : 0.0; }

// What a profile pair's term scores come to, gathered by a kernel.
struct CombineSums {
    double rows = 0.0;  // sum of the row maxima, in row order
    double cols = 0.0;  // sum of the column maxima, in column order
    double all = 0.0;   // sum of every score (avg only), in its one orientation
    double best = 0.0;  // the largest score
};

inline double combined_score(Combine combine, const CombineSums& s, std::size_t m,
                             std::size_t n) noexcept {
    if (m == 0 || n == 0) return std::numeric_limits<double>::quiet_NaN();
    const auto dm = static_cast<double>(m);
    const auto dn = static_cast<double>(n);
    switch (combine) {
        case Combine::FunSimAvg:
            return (s.rows / dm + s.cols / dn) * 0.5;
        case Combine::FunSimMax:
            return std::max(s.rows / dm, s.cols / dn);
        case Combine::Bma:
            return (s.rows + s.cols) / (dm + dn);
        case Combine::Max:
            return s.best;
        case Combine::Avg:
            return s.all / (dm * dn);
        case Combine::Directed:
            return s.rows / dm;
    }
    return 0.0;
}

// Whether the combine's score of (A, B) is that of (B, A).
constexpr bool symmetric_combine(Combine combine) noexcept { return combine != Combine::Directed; }

// What a kernel must gather for the combine.
constexpr bool needs_rows(Combine c) noexcept { return c != Combine::Max && c != Combine::Avg; }
constexpr bool needs_cols(Combine c) noexcept { return needs_rows(c) && c != Combine::Directed; }

}  // namespace ontarix
