// Closure-table measures computed on the caller's own dicts and sets, when every string in the
// arguments is an exact str.
//
// semantic_jaccard_similarity and max_information_content receive a whole closure table on every
// call. Converting it builds a native map per subject and a native set per (subject, predicate),
// hashing every string again: several times the cost of one walk of the table, although the
// semantic Jaccard reads two rows and the information content only needs, per (subject,
// predicate), its size and which of a handful of common ancestors it holds. So, as for the plain
// sets (str_sets.hpp, whose equivalence argument carries over to dicts keyed by exact str):
//   1. the four arguments are checked to be plain (closure_input.hpp: exact strs, dicts, sets),
//      touching every string once, building nothing and raising nothing;
//   2. if they are, the measure is computed with the interpreter's own dict and set lookups,
//      which between exact strs run no Python code either. Duplicate keys cannot arise (distinct
//      exact strs have distinct UTF-8 bytes), so the table read is exactly the table the
//      conversion would have built.
// Otherwise (a str subclass anywhere, or anything the conversion refuses) the caller converts
// every argument in parameter order, which raises whatever error there is, and takes the native
// route.
//
// The working objects of step 2 (the union of a term's object sets, the ancestor index) are
// Python objects; when the interpreter cannot allocate one, the call fails with that MemoryError,
// just as the native route fails with MemoryError when its own tables cannot grow. Only building
// the result raises the result-building faults.
//
// Results are bit-identical to the native route: the same counts and totals enter the same
// double division, log2, negation and strict comparison against a start of 0.0.
//
// Cost: one validation walk over every string of the table; then the semantic Jaccard looks up
// two rows, and the information content walks the (subject, predicate) pairs once more with one
// membership test per common ancestor (or per object, when the set is the smaller side).
#pragma once

#include <Python.h>

#include "python/call_boundary.hpp"

namespace ontarix::py {

// Parameters: closure_table, entity1, entity2, predicates (optional). True when all are plain and
// the exact-str route may be taken; raises nothing.
bool plain_closure_arguments(const BoundArgs& a);

// On plain arguments; predicates null or None means no filter.
double exact_str_semantic_jaccard(PyObject* table, PyObject* entity1, PyObject* entity2,
                                  PyObject* predicates);
double exact_str_max_information_content(PyObject* table, PyObject* entity1, PyObject* entity2,
                                         PyObject* predicates);

}  // namespace ontarix::py
