// Expansion of terms through a closure.
#pragma once

#include "core/terms.hpp"

namespace ontarix {

// The union of the object sets stored under `term`, over every predicate (predicates == nullptr)
// or over the predicates of the filter that the term has. A term without an entry, or an empty
// filter, gives an empty set. Never fails. The result views the table's strings.
TermSet expand_term_using_closure(Term term, const ClosureTable& table, const TermSet* predicates);

// The union of closure[t] over every t in terms. Raises the missing-value fault at the first term
// without an entry. An empty input gives an empty set without reading the map.
TermSet expand_terms_using_closure(const TermSet& terms, const TermSetMap& closure);

}  // namespace ontarix
