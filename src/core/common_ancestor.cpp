// Most recent common ancestor: the entry with the largest score magnitude.
#include <cmath>
#include <string>

#include "core/fault.hpp"
#include "core/selection_key.hpp"
#include "core/similarity.hpp"

namespace ontarix {

std::pair<Term, double> get_most_recent_common_ancestor_with_score(const TermScoreMap& map) {
    auto entry = map.begin();
    if (entry == map.end()) [[unlikely]] {
        raise_fault(std::string(kMissingValue));
    }
    auto best = entry;
    double best_key = std::fabs(best->second);
    for (++entry; entry != map.end(); ++entry) {
        const double key = std::fabs(entry->second);
        // Ties go to the entry visited later.
        if (!selection_key_greater(best_key, key)) {
            best = entry;
            best_key = key;
        }
    }
    return {best->first, best->second};
}

}  // namespace ontarix
