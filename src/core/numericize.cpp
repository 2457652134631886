#include "core/numericize.hpp"

namespace ontarix {

// Numbering the first set's terms in its own order and then the second set's remaining terms
// gives every distinct term of the union one identifier in 1..n without materialising the union
// or a term -> identifier table: a term's membership in the other set is all that decides where
// its identifier goes, so each term costs one membership test and no string is hashed twice.
NumericizedSets numericize_sets(const TermSet& first, const TermSet& second) {
    NumericizedSets out;
    out.first.reserve(first.size());
    out.second.reserve(second.size());
    out.ids.reserve(first.size() + second.size());

    TermId next = 0;
    for (const Term& term : first) {
        const TermId id = ++next;
        out.ids.emplace(id, term);
        out.first.insert(id);
        if (second.contains(term)) out.second.insert(id);
    }
    for (const Term& term : second) {
        if (first.contains(term)) continue;  // numbered with the first set
        const TermId id = ++next;
        out.ids.emplace(id, term);
        out.second.insert(id);
    }
    return out;
}

}  // namespace ontarix
