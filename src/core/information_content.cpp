// Maximum information content of the common ancestors of two terms.
//
// The measure is defined over a frequency table of every object in the closure, but only the
// counts of the common ancestors ever reach the result. So the ancestors are found first, and a
// single walk of the table counts just those (plus the total), with no per-object table and no
// allocation inside the walk. The result is bit-identical to building the full table: the same
// counts and total enter the same double division, log2 and comparison.
#include <cmath>
#include <cstdint>

#include "core/expansion.hpp"
#include "core/intersection.hpp"
#include "core/similarity.hpp"

namespace ontarix {
namespace {

using AncestorCounts = TermMap<std::uint64_t>;

// Counts one (subject, predicate) object set: every ancestor it holds gains 1, the total gains
// its size. Probes from the smaller side, so a huge set costs no more than the ancestor list.
inline void count_objects(const TermSet& objects, AncestorCounts& counts, std::uint64_t& total) {
    total += objects.size();
    if (counts.size() < objects.size()) {
        for (auto& [ancestor, count] : counts) count += objects.contains(ancestor) ? 1 : 0;
    } else {
        for (const Term& object : objects) {
            const auto found = counts.find(object);
            if (found != counts.end()) ++found->second;
        }
    }
}

// Walks the whole table once. Only pairs whose predicate the caller's filter holds count; the
// filter or the subject's map is walked, whichever is smaller, and both select the same pairs.
void count_table(const ClosureTable& table, const TermSet* predicates, AncestorCounts& counts,
                 std::uint64_t& total) {
    for (const auto& [subject, by_predicate] : table) {
        if (predicates == nullptr) {
            for (const auto& [predicate, objects] : by_predicate)
                count_objects(objects, counts, total);
        } else if (predicates->size() < by_predicate.size()) {
            for (const Term& predicate : *predicates) {
                const auto found = by_predicate.find(predicate);
                if (found != by_predicate.end()) count_objects(found->second, counts, total);
            }
        } else {
            for (const auto& [predicate, objects] : by_predicate)
                if (predicates->contains(predicate)) count_objects(objects, counts, total);
        }
    }
}

}  // namespace

double calculate_max_information_content(const ClosureTable& table, Term entity1, Term entity2,
                                         const TermSet* predicates) {
    // Without a caller filter the expansion filter would be every predicate of the table, and a
    // term's own predicates are all in it: expanding unfiltered gives the same sets.
    const TermExpansion first = expand_term_view(entity1, table, predicates);
    const TermExpansion second = expand_term_view(entity2, table, predicates);

    const auto common = get_intersection_between_sets(first.set(), second.set());
    AncestorCounts counts;
    counts.reserve(common.walked().size());
    for (const Term& ancestor : common)
        if (ancestor != kRootTerm) counts.emplace(ancestor, 0);
    if (counts.empty()) return 0.0;

    std::uint64_t total = 0;
    count_table(table, predicates, counts, total);
    if (total == 0) return 0.0;  // no frequencies: no information content at all

    // Starting at +0.0 and replacing only on a strictly greater value keeps the -0.0 of an
    // ancestor that every pair holds (count == total) out of the result.
    double best = 0.0;
    for (const auto& [ancestor, count] : counts) {
        if (count == 0) continue;
        const double ic = -std::log2(static_cast<double>(count) / static_cast<double>(total));
        if (ic > best) best = ic;
    }
    return best;
}

}  // namespace ontarix
