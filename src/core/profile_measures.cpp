#include "core/profile_measures.hpp"

#include <algorithm>

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

std::vector<BestMatch> index_best_matches(const ClosureIndex& index, ProfileTerms a,
                                          ProfileTerms b) {
    std::vector<BestMatch> out;
    if (b.empty()) return out;
    out.reserve(a.size());
    for (const std::uint32_t term : a) {
        // Strictly greater scores only: among equal scores the first term of b stays. (Ranks
        // will not do: distinct ancestors with the same information content have distinct ranks.)
        BestMatch best{0, ClosureIndex::kNoRank};
        double best_score = 0.0;
        for (std::uint32_t j = 0; j < b.size(); ++j) {
            const std::uint32_t rank = common_rank(index, term, b[j]);
            const double score = rank_score(index, rank);
            if (score > best_score) {
                best = {j, rank};
                best_score = score;
            }
        }
        out.push_back(best);
    }
    return out;
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

}  // namespace ontarix
