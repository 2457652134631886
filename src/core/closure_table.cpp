#include "core/closure_table.hpp"

#include <cstddef>
#include <utility>

namespace ontarix {
namespace {

// Rows usually arrive grouped by subject (closures are written out subject by subject), so the
// number of runs of equal subjects is the number of subjects there, and an upper bound always.
// Reserving that many avoids every rehash of the outer table without the waste of reserving
// one slot per row.
std::size_t subject_runs(const TripleList& rows) noexcept {
    std::size_t runs = 0;
    const Term* previous = nullptr;
    for (const Triple& row : rows) {
        if (previous == nullptr || row.subject != *previous) ++runs;
        previous = &row.subject;
    }
    return runs;
}

}  // namespace

ClosureTable convert_list_of_tuples_to_hashmap(TripleList rows) {
    ClosureTable table;
    table.reserve(subject_runs(rows));
    for (const Triple& row : rows) {
        // try_emplace finds or creates in one probe per level.
        PredicateMap& predicates = table.try_emplace(row.subject).first->second;
        predicates.try_emplace(row.predicate).first->second.insert(row.object);
    }
    return table;
}

}  // namespace ontarix
