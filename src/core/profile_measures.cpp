#include "core/profile_measures.hpp"

#include "core/sorted_lists.hpp"

#include <algorithm>
#include <limits>

#include "core/profile_kernels.hpp"

namespace ontarix {

double mean_of_ranks(const ClosureIndex& index, std::span<const std::uint32_t> ranks) noexcept {
    double total = 0.0;
    for (const std::uint32_t rank : ranks) total += rank_score(index, rank);
    // An empty profile divides 0 by 0 on purpose: its score is the quiet NaN.
    return total / static_cast<double>(ranks.size());
}

void best_ranks(const ClosureIndex& index, ProfileTerms a, ProfileTerms b,
                std::vector<std::uint32_t>& a_best, std::vector<std::uint32_t>& b_best) {
    a_best.assign(a.size(), ClosureIndex::kNoRank);
    b_best.assign(b.size(), ClosureIndex::kNoRank);
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (index.scored().of(a[i]).empty()) continue;
        for (std::size_t j = 0; j < b.size(); ++j) {
            const std::uint32_t rank = common_rank(index, a[i], b[j]);
            a_best[i] = std::min(a_best[i], rank);
            b_best[j] = std::min(b_best[j], rank);
        }
    }
}

double index_phenomizer(const ClosureIndex& index, ProfileTerms a, ProfileTerms b) {
    std::vector<std::uint32_t> a_best;
    std::vector<std::uint32_t> b_best;
    best_ranks(index, a, b, a_best, b_best);
    return (mean_of_ranks(index, a_best) + mean_of_ranks(index, b_best)) * 0.5;
}

std::vector<std::uint32_t> expand_profile(const ClosureIndex& index, ProfileTerms terms) {
    std::vector<std::uint32_t> out;
    for (const std::uint32_t term : terms) {
        const std::span<const std::uint32_t> reached = index.expansions().of(term);
        out.insert(out.end(), reached.begin(), reached.end());
    }
    if (terms.size() > 1) {
        std::sort(out.begin(), out.end());
        out.erase(std::unique(out.begin(), out.end()), out.end());
    }
    return out;
}

std::vector<std::uint32_t> scored_union(const ClosureIndex& index, ProfileTerms terms) {
    std::vector<std::uint32_t> out;
    for (const std::uint32_t term : terms) {
        const std::span<const std::uint32_t> ranks = index.scored().of(term);
        out.insert(out.end(), ranks.begin(), ranks.end());
    }
    if (terms.size() > 1) {
        std::sort(out.begin(), out.end());
        out.erase(std::unique(out.begin(), out.end()), out.end());
    }
    return out;
}

double ranks_weight(const ClosureIndex& index, std::span<const std::uint32_t> ranks) noexcept {
    double total = 0.0;
    for (const std::uint32_t r : ranks) total += index.rank_ic()[r];
    return total;
}

namespace {

ProfileTerms index_terms(const ClosureIndex& index, ProfileTerms terms) noexcept {
    return terms.first(static_cast<std::size_t>(
        std::lower_bound(terms.begin(), terms.end(), index.size()) - terms.begin()));
}

double simgic_pair(const ClosureIndex& index, ProfileTerms a, ProfileTerms b) {
    const std::vector<std::uint32_t> x = scored_union(index, a);
    const std::vector<std::uint32_t> y = scored_union(index, b);
    double common = 0.0;
    for_each_common(x, y, [&](std::size_t i, std::size_t) { common += index.rank_ic()[x[i]]; });
    return simgic_formula(common, ranks_weight(index, x), ranks_weight(index, y), a.empty(),
                          b.empty());
}

std::vector<std::uint32_t> scoring_terms(const ClosureIndex& index, const WangTable* wang,
                                         TermMeasure measure, ProfileTerms terms) {
    std::vector<std::uint32_t> out;
    for (const std::uint32_t t : terms) {
        if (can_score(index, wang, measure, t)) out.push_back(t);
    }
    return out;
}

// Every pair merged: the reference the kernels of profile_kernels.hpp agree with.
double combined_pair(const ClosureIndex& index, const WangTable* wang, ProfileTerms a,
                     ProfileTerms b, TermMeasure measure, Combine combine) {
    if (a.empty() || b.empty()) return std::numeric_limits<double>::quiet_NaN();
    const bool rows_first = combine != Combine::Avg || avg_rows_first(index, a, b);
    const std::vector<std::uint32_t> rows = scoring_terms(index, wang, measure, a);
    kernels::CombineAccumulator sums;
    sums.start(combine, rows_first, rows.size());
    for (const std::uint32_t t : b) {
        if (!can_score(index, wang, measure, t)) continue;
        sums.column(rows.size(),
                    [&](std::size_t k) { return term_score(index, wang, measure, rows[k], t); });
    }
    return sums.finish(a.size(), b.size());
}

}  // namespace

bool avg_rows_first(const ClosureIndex& index, ProfileTerms a, ProfileTerms b) noexcept {
    const ProfileTerms x = index_terms(index, a);
    const ProfileTerms y = index_terms(index, b);
    return !std::lexicographical_compare(y.begin(), y.end(), x.begin(), x.end());
}

double profile_similarity(const ClosureIndex& index, const WangTable* wang, ProfileTerms a,
                          ProfileTerms b, const ProfileScoring& scoring) {
    if (scoring.is_phenomizer()) return index_phenomizer(index, a, b);
    switch (scoring.measure) {
        case ProfileMeasure::Jaccard:
            return sorted_jaccard(a, b);
        case ProfileMeasure::ExpandedJaccard:
            return sorted_jaccard(expand_profile(index, a), expand_profile(index, b));
        case ProfileMeasure::SimGic:
            return simgic_pair(index, a, b);
        default:
            return combined_pair(index, wang, a, b, scoring.term, scoring.combine);
    }
}

std::vector<TermMatch> term_best_matches(const ClosureIndex& index, const WangTable* wang,
                                         TermMeasure measure, ProfileTerms a, ProfileTerms b) {
    std::vector<TermMatch> out;
    if (b.empty()) return out;
    out.reserve(a.size());
    for (const std::uint32_t term : a) {
        // Strictly greater scores only: among equal scores the first term of b stays.
        TermMatch best{0, 0.0, ClosureIndex::kNoRank};
        for (std::uint32_t j = 0; j < b.size(); ++j) {
            const double score = counted(term_score(index, wang, measure, term, b[j]));
            if (score > best.score) {
                best.match = j;
                best.score = score;
            }
        }
        if (uses_mica(measure)) best.rank = common_rank(index, term, b[best.match]);
        out.push_back(best);
    }
    return out;
}

}  // namespace ontarix
