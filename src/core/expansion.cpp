#include "core/expansion.hpp"

#include <string>
#include <vector>

#include "core/fault.hpp"

namespace ontarix {

void TermExpansion::add(const TermSet& objects) {
    if (!started_) {
        // The first set is only pointed at; most terms never get a second one.
        borrowed_ = &objects;
        started_ = true;
        return;
    }
    if (borrowed_ != nullptr) {
        owned_.reserve(borrowed_->size() + objects.size());
        owned_.insert(borrowed_->begin(), borrowed_->end());
        borrowed_ = nullptr;
    }
    owned_.insert(objects.begin(), objects.end());
}

TermExpansion expand_term_view(Term term, const ClosureTable& table, const TermSet* predicates) {
    TermExpansion out;
    const auto subject = table.find(term);
    if (subject == table.end()) return out;
    const PredicateMap& by_predicate = subject->second;
    if (predicates == nullptr) {
        for (const auto& [predicate, objects] : by_predicate) out.add(objects);
        return out;
    }
    // Walk the filter, not the term's map: filters name a few predicates, and a predicate the
    // term lacks costs one failed lookup.
    for (const Term& predicate : *predicates) {
        const auto found = by_predicate.find(predicate);
        if (found != by_predicate.end()) out.add(found->second);
    }
    return out;
}

TermSet expand_term_using_closure(Term term, const ClosureTable& table, const TermSet* predicates) {
    return expand_term_view(term, table, predicates).release();
}

TermSet expand_terms_using_closure(const TermSet& terms, const TermSetMap& closure) {
    // Resolve every term first: a missing one fails before any work, and the sizes found give the
    // result its capacity in one allocation.
    std::vector<const TermSet*> parts;
    parts.reserve(terms.size());
    std::size_t upper_bound = 0;
    for (const Term& term : terms) {
        const auto found = closure.find(term);
        if (found == closure.end()) [[unlikely]] {
            raise_fault(std::string(kMissingValue));
        }
        parts.push_back(&found->second);
        upper_bound += found->second.size();
    }
    if (parts.size() == 1) return *parts.front();  // a flat-set copy, no rehashing

    TermSet out;
    out.reserve(upper_bound);
    for (const TermSet* part : parts) out.insert(part->begin(), part->end());
    return out;
}

}  // namespace ontarix
