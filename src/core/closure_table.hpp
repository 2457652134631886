// Closure tables built from (subject, predicate, object) relationship rows.
//
// table[s][p] is exactly the set of objects that the rows pair with s through p: nothing
// transitive, reflexive or reversed is derived. A table built here has no empty predicate map and
// no empty object set; a row given twice counts once. The result views the rows' strings.
#pragma once

#include <cstdint>
#include <vector>

#include "core/terms.hpp"

namespace ontarix {

// Consumes the rows; each row costs one subject lookup, one predicate lookup and one insertion.
ClosureTable convert_list_of_tuples_to_hashmap(TripleList rows);

// The same table, laid out flat for a caller that only walks it once (to build Python objects):
// strings numbered (texts[n] is string n, a view of the rows' strings), subjects in first-seen
// order, each subject's predicates as consecutive groups, each group's objects as consecutive
// distinct numbers. Subject i owns groups [group_begin[i], group_begin[i+1]); group g has the
// predicate group_predicate[g] and the objects objects[object_begin[g] .. object_begin[g+1]).
// Holds exactly the entries of convert_list_of_tuples_to_hashmap(rows).
//
// Cost: one numbering probe per string of a row, then a few passes of counting over arrays of
// 4-byte numbers; no allocation per subject, predicate map or set.
struct FlatClosure {
    std::vector<Term> texts;
    std::vector<std::uint32_t> subjects;
    std::vector<std::uint32_t> group_begin;  // subjects.size() + 1 entries
    std::vector<std::uint32_t> group_predicate;
    std::vector<std::uint32_t> object_begin;  // group_predicate.size() + 1 entries
    std::vector<std::uint32_t> objects;
};

FlatClosure flatten_closure_rows(const TripleList& rows);

}  // namespace ontarix
