// Score-table measures computed on the caller's own dicts and sets, when every key and element is
// an exact str and every score a float or an exact int.
//
// mrca_and_score and phenomizer_score are called in loops with small to medium tables. The
// generic route converts the whole table into native hash maps first, hashing every string again
// with our key, although mrca needs a single walk and the phenomizer reads only |A| x |B| cells
// of each direction. As for the sets and closure tables (str_sets.hpp, str_closure.hpp):
//   1. the arguments are validated in parameter order by exactly the checks of their conversions,
//      entry by entry in the dicts' own order (key, then value), so the first failure raises the
//      same error. The walk runs no Python code: it stops and hands the call to the generic route
//      at the first thing that is not plain (a str subclass, whose __eq__/__hash__ may be Python
//      code, or a score that is neither a float nor an exact int, whose conversion may call
//      __float__/__index__). Nothing has run or changed by then, so the generic route finds
//      exactly what it would have found from the start;
//   2. on plain arguments the measure reads the caller's dicts directly. Distinct exact strs have
//      distinct UTF-8 bytes, so the dicts hold exactly the entries the native maps would (no two
//      keys collapse), and a lookup between exact strs, by the hash the str or the set entry has
//      cached, finds the entry the native lookup would find, running no Python code.
// A float score is its stored double and an exact int converts in C (an int too large raises the
// interpreter's OverflowError during validation, as the conversion does), so every score read is
// the double the native map would hold.
//
// Faults (an empty map, a missing pair) are left to the generic route too: it repeats the
// conversion (which cannot fail or run Python code on validated plain arguments) and raises the
// fault from the core, with the core's message and location. Faults are rare, and this keeps one
// source for them.
//
// Cost. mrca: one walk of the dict, choosing as it validates; no allocation but the result.
// phenomizer: one validation walk over every entry of the table (each entry could be invalid,
// so this is the floor), then per direction one row lookup per term of A and one cell lookup per
// pair, by cached hash; one allocation for the entries of the two sets.
#pragma once

#include <Python.h>

#include <optional>

#include "python/call_boundary.hpp"
#include "python/py_ref.hpp"

namespace ontarix::py {

// Parameter 0 of f is the term-score map. The (term, score) tuple, or null when the generic route
// must run (a plain-route exit above, or an empty map). Conversion errors are raised as
// convert_argument(f, a, 0, ...) would raise them.
PyRef exact_str_mrca_and_score(const FunctionSpec& f, const BoundArgs& a);

// Parameters of f: map, entity1, entity2. The symmetric best-match average, or empty when the
// generic route must run (a plain-route exit above, or a visited pair missing from the map).
std::optional<double> exact_str_phenomizer_score(const FunctionSpec& f, const BoundArgs& a);

}  // namespace ontarix::py
