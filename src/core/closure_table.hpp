// Closure tables built from (subject, predicate, object) relationship rows.
//
// table[s][p] is exactly the set of objects that the rows pair with s through p: nothing
// transitive, reflexive or reversed is derived. A table built here has no empty predicate map and
// no empty object set; a row given twice counts once. The result views the rows' strings.
#pragma once

#include "core/terms.hpp"

namespace ontarix {

// Consumes the rows; each row costs one subject lookup, one predicate lookup and one insertion.
ClosureTable convert_list_of_tuples_to_hashmap(TripleList rows);

}  // namespace ontarix
