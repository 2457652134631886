// Numericization: two term sets rewritten as sets of small integer identifiers.
//
// Every distinct term of the union gets an identifier in 1..n (0 and negatives are never used);
// a term in both sets has the same identifier in both. Which term gets which number follows the
// union's (unspecified) iteration order.
#pragma once

#include "core/terms.hpp"

namespace ontarix {

struct NumericizedSets {
    TermIdSet first;
    TermIdSet second;
    TermIdMap ids;  // identifier -> term, n entries
};

NumericizedSets numericize_sets(const TermSet& first, const TermSet& second);

}  // namespace ontarix
