// Expansion of terms through a closure.
//
// A term expands to the union of the object sets stored under it (over every predicate, or over
// the predicates of a filter); a set of terms expands to the union of the sets a TermSetMap holds
// for them. Nothing transitive, reflexive or reversed is added: a term is in its own expansion
// only when the table lists it as its own object. Results view the tables' strings.
//
// Cost: one subject lookup, then either one walk of the term's predicate map (no filter) or one
// lookup per filter predicate; each object is inserted once per set that holds it. A term whose
// expansion is a single stored set (the common one-predicate closure) is not copied at all by
// expand_term_view.
#pragma once

#include <utility>

#include "core/terms.hpp"

namespace ontarix {

// The expansion of one term, borrowed from the table when exactly one stored object set makes it
// up and built otherwise. Valid while the table lives and is unchanged; moving it is safe.
class TermExpansion {
public:
    TermExpansion() = default;

    const TermSet& set() const noexcept { return borrowed_ != nullptr ? *borrowed_ : owned_; }

    // An owned set with the same elements (a copy when borrowed).
    TermSet release() && {
        if (borrowed_ != nullptr) return *borrowed_;
        return std::move(owned_);
    }

    // Adds one stored object set to the union.
    void add(const TermSet& objects);

private:
    const TermSet* borrowed_ = nullptr;
    TermSet owned_;
    bool started_ = false;
};

// The expansion of `term` (see expand_term_using_closure) without copying a lone stored set.
TermExpansion expand_term_view(Term term, const ClosureTable& table, const TermSet* predicates);

// The union of the object sets stored under `term`, over every predicate (predicates == nullptr)
// or over the predicates of the filter that the term has. A term without an entry, or an empty
// filter, gives an empty set. Never fails. The result views the table's strings.
TermSet expand_term_using_closure(Term term, const ClosureTable& table, const TermSet* predicates);

// The union of closure[t] over every t in terms. Raises the missing-value fault at the first term
// without an entry. An empty input gives an empty set without reading the map.
TermSet expand_terms_using_closure(const TermSet& terms, const TermSetMap& closure);

}  // namespace ontarix
