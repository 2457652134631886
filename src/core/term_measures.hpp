// The term measures: how two terms of a ClosureIndex score, each formula written once.
//
// Every measure but Wang's is a formula over what the index keeps per term:
//   m        the information content (IC) of the two terms' most informative common ancestor: the
//            IC of the first rank their scored lists share (the Resnik score), 0.0 when none;
//   w(t)     the IC the measures count for a term, index.weight(t): its IC when it can score,
//            0.0 for a NaN or non-positive IC, for "owl:Thing" and for a term the index lacks;
//   W(t)     the sum of w over the term's scored ancestors, index.scored_weight(t).
// Counting w rather than the raw IC keeps a NaN or a negative custom IC from turning a score into
// NaN or a negative number. Every formula reads the two terms' values only through their sum (or
// a symmetric test), so a measure gives the same double for (a, b) and (b, a).
//
//   resnik                   m
//   lin                      2m / (w(a) + w(b)); 0.0 when the denominator is 0
//   jiang_conrath            1 / (1 + max(0, w(a) + w(b) - 2m)); 0.0 when w(a) or w(b) is 0
//   relevance                lin * (1 - exp(-m))
//   information_coefficient  lin * (1 - 1 / (1 + m))
//   graph_ic                 C / (W(a) + W(b) - C), C the sum of w over the scored ancestors the
//                            two share, in rank order; 0.0 when the denominator is 0
//   semantic_jaccard         |E(a) ∩ E(b)| / |E(a) ∪ E(b)| of the expansions (NaN when both empty)
//   wang                     Wang et al. 2007 over the ontology's edges (wang_similarity.hpp)
//
// The batch kernels find m, C and the Jaccard counts by marking one side and walking the other's
// lists; the one-pair functions below merge the two lists. Both feed the same formula functions
// with the same inputs (C summed in the same rank order), so every path gives the same double.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/closure_index.hpp"

namespace ontarix {

enum class TermMeasure : std::uint8_t {
    Resnik,
    Lin,
    JiangConrath,
    Relevance,
    InformationCoefficient,
    GraphIc,
    SemanticJaccard,
    Wang,
};

// The measures that are a formula of m, w(a) and w(b).
constexpr bool uses_mica(TermMeasure measure) noexcept {
    return measure <= TermMeasure::InformationCoefficient;
}

// ---- the formulas -------------------------------------------------------------------------------

inline double lin_formula(double m, double wa, double wb) noexcept {
    const double denominator = wa + wb;
    return denominator > 0.0 ? 2.0 * m / denominator : 0.0;
}

// A formula of m and the two terms' weights (a measure for which uses_mica holds).
inline double mica_formula(TermMeasure measure, double m, double wa, double wb) noexcept {
    switch (measure) {
        case TermMeasure::Resnik:
            return m;
        case TermMeasure::Lin:
            return lin_formula(m, wa, wb);
        case TermMeasure::JiangConrath: {
            // Two terms one of which carries no information are not alike, however close.
            if (!(wa > 0.0) || !(wb > 0.0)) return 0.0;
            // A custom IC may rate an ancestor above its descendants: the distance stays >= 0.
            const double distance = std::max(0.0, wa + wb - 2.0 * m);
            return 1.0 / (1.0 + distance);
        }
        case TermMeasure::Relevance:
            return lin_formula(m, wa, wb) * (1.0 - std::exp(-m));
        case TermMeasure::InformationCoefficient:
            return lin_formula(m, wa, wb) * (1.0 - 1.0 / (1.0 + m));
        default:
            return 0.0;
    }
}

// graph_ic from the shared weight and the two terms' scored weights.
inline double graph_ic_formula(double common, double wa, double wb) noexcept {
    const double united = wa + wb - common;
    return united > 0.0 ? common / united : 0.0;
}

// The one Jaccard rule: |a ∩ b| / |a ∪ b| from the common count and the two sizes. Two empty
// sets divide 0 by 0 on purpose: their similarity is the quiet NaN.
inline double jaccard_ratio(std::uint64_t common, std::uint64_t a, std::uint64_t b) noexcept {
    return static_cast<double>(common) / static_cast<double>(a + b - common);
}

// ---- one pair -----------------------------------------------------------------------------------
// Terms are numbers of the index; a number >= size() stands for a term the index lacks.

// The number of values two ascending lists of distinct numbers share.
std::uint64_t sorted_common(std::span<const std::uint32_t> a,
                            std::span<const std::uint32_t> b) noexcept;

// jaccard_ratio of two ascending lists of distinct numbers.
double sorted_jaccard(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b) noexcept;

// Jaccard index of the two expansions (NaN when both are empty).
double index_semantic_jaccard(const ClosureIndex& index, std::uint32_t a,
                              std::uint32_t b) noexcept;

// The sum of the weights of the ranks both terms' scored lists hold, in rank order.
double common_scored_weight(const ClosureIndex& index, std::uint32_t a, std::uint32_t b) noexcept;

// The score of `measure` for a and b. Wang's measure reads `wang`, which must then be the
// index's table (not null).
double term_score(const ClosureIndex& index, const WangTable* wang, TermMeasure measure,
                  std::uint32_t a, std::uint32_t b) noexcept;

}  // namespace ontarix
