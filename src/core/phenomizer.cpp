// Best-match averages over a pairwise score table.
#include <cstdint>
#include <string>

#include "core/fault.hpp"
#include "core/similarity.hpp"

namespace ontarix {

double pairwise_entity_resnik_score(const PairwiseScoreTable& map, const TermSet& a,
                                    const TermSet& b) {
    double total = 0.0;
    for (const Term& left : a) {
        double best = 0.0;
        // The row of `left` is looked up once per term rather than once per pair; guarding on a
        // non-empty b keeps the observable rule that only a visited pair can fail.
        if (!b.empty()) {
            const auto row = map.find(left);
            if (row == map.end()) [[unlikely]] {
                raise_fault(std::string(kMissingValue));
            }
            const TermScoreMap& scores = row->second;
            for (const Term& right : b) {
                const auto cell = scores.find(right);
                if (cell == scores.end()) [[unlikely]] {
                    raise_fault(std::string(kMissingValue));
                }
                // NaN compares false and negatives stay below the starting 0.0: neither counts.
                if (cell->second > best) best = cell->second;
            }
        }
        total += best;
    }
    // An empty `a` divides 0.0 by 0.0 on purpose: its score is the quiet NaN.
    return total / static_cast<double>(static_cast<std::uint64_t>(a.size()));
}

double calculate_phenomizer_score(const PairwiseScoreTable& map, const TermSet& entity1,
                                  const TermSet& entity2) {
    const double forward = pairwise_entity_resnik_score(map, entity1, entity2);
    const double backward = pairwise_entity_resnik_score(map, entity2, entity1);
    return (forward + backward) * 0.5;
}

}  // namespace ontarix
