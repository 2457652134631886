// Jaccard indices: of two identifier sets, and of two terms' expansions.
#include <cstdint>

#include "core/expansion.hpp"
#include "core/similarity.hpp"

namespace ontarix {
namespace {

// |a ∩ b| / |a ∪ b| by counting alone: one membership test per element of the smaller set (a on
// a tie) gives the intersection, and the union is the larger set plus what the smaller adds.
template <class Set>
double jaccard_index(const Set& a, const Set& b) {
    const bool a_smaller = a.size() <= b.size();
    const Set& smaller = a_smaller ? a : b;
    const Set& larger = a_smaller ? b : a;
    std::uint64_t common = 0;
    for (const auto& element : smaller) common += larger.contains(element) ? 1 : 0;
    const std::uint64_t united = larger.size() + (smaller.size() - common);
    // 0 / 0 is meant: two empty sets have the quiet NaN as their index.
    return static_cast<double>(common) / static_cast<double>(united);
}

}  // namespace

double calculate_jaccard_similarity(const TermIdSet& a, const TermIdSet& b) {
    return jaccard_index(a, b);
}

double calculate_semantic_jaccard_similarity(const ClosureTable& table, Term entity1, Term entity2,
                                             const TermSet* predicates) {
    const TermExpansion first = expand_term_view(entity1, table, predicates);
    const TermExpansion second = expand_term_view(entity2, table, predicates);
    return jaccard_index(first.set(), second.set());
}

}  // namespace ontarix
