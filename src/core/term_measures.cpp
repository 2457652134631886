#include "core/term_measures.hpp"

#include "core/sorted_lists.hpp"

namespace ontarix {

std::uint64_t sorted_common(std::span<const std::uint32_t> a,
                            std::span<const std::uint32_t> b) noexcept {
    std::uint64_t common = 0;
    for_each_common(a, b, [&](std::size_t, std::size_t) { ++common; });
    return common;
}

double sorted_jaccard(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b) noexcept {
    return jaccard_ratio(sorted_common(a, b), a.size(), b.size());
}

double index_semantic_jaccard(const ClosureIndex& index, std::uint32_t a,
                              std::uint32_t b) noexcept {
    return sorted_jaccard(index.expansions().of(a), index.expansions().of(b));
}

double common_scored_weight(const ClosureIndex& index, std::uint32_t a, std::uint32_t b) noexcept {
    const std::span<const std::uint32_t> x = index.scored().of(a);
    const std::span<const std::uint32_t> y = index.scored().of(b);
    const std::span<const double> rank_ic = index.rank_ic();
    double common = 0.0;
    for_each_common(x, y, [&](std::size_t i, std::size_t) { common += rank_ic[x[i]]; });
    return common;
}

double term_score(const ClosureIndex& index, const WangTable* wang, TermMeasure measure,
                  std::uint32_t a, std::uint32_t b) noexcept {
    switch (measure) {
        case TermMeasure::GraphIc:
            return graph_ic_formula(common_scored_weight(index, a, b), index.scored_weight(a),
                                    index.scored_weight(b));
        case TermMeasure::SemanticJaccard:
            return index_semantic_jaccard(index, a, b);
        case TermMeasure::Wang:
            return wang_similarity(*wang, a, b);
        default:
            return mica_formula(measure, rank_score(index, common_rank(index, a, b)),
                                index.weight(a), index.weight(b));
    }
}

}  // namespace ontarix
