// relationships_to_closure_table grouped with the interpreter's own dicts and sets, when the rows
// are an exact list or tuple of 3-tuples of exact str.
//
// The result is nothing but Python containers, so the generic route (convert the rows, group
// them natively, then build dicts, sets and one new str per distinct string) pays for a native
// table and a str copy of every string on top of the containers themselves. On exact strs the
// interpreter's dicts and sets already group by exactly the key the native table uses: two exact
// strs are equal exactly when their UTF-8 bytes are (str_sets.hpp), and a lookup between them
// compares cached hashes and text without running Python code. So:
//   1. every row is validated by exactly the checks of to_triple_list, in its order (the row's
//      shape, then subject, predicate and object), so the first bad row raises the same error.
//      The walk builds nothing and runs no Python code: it reads the argument's own item array,
//      and a tuple subclass's own storage, as the conversion does. At the first str subclass,
//      whose __eq__/__hash__ may be Python code, it stops and the caller takes the generic route,
//      which finds exactly what it would have found from the start;
//   2. the rows are grouped into new dicts and sets that hold the caller's own str objects.
//      Which of several equal strs becomes a key or member is unspecified, as for
//      get_intersection; values and types are those of the generic route's result.
// Grouping runs under a GcPause: no finalizer can run, so the argument and its strs stay as
// validated. A failed allocation raises its MemoryError and drops everything built so far.
//
// Cost. Validation: a type, size and flag check per row and string (text that is not ASCII is
// encoded once, as the conversion does). Grouping: rows sorted by subject are the common layout
// (ontology exports list a term's relations together), so the subject's inner dict and the
// predicate's set are remembered from the previous row and a row that repeats them costs one
// text comparison each instead of a dict probe; a new subject or predicate costs one
// PyDict_SetDefault probe, and every row one PySet_Add. The containers are the same as the
// pure-Python loop's: one dict per subject, one set per (subject, predicate).
#pragma once

#include <Python.h>

#include "python/call_boundary.hpp"
#include "python/py_ref.hpp"

namespace ontarix::py {

// Parameter 0 of f is the rows: true when they are an exact list or tuple of 3-tuples of exact
// strs, every row validated (raising the conversion's errors, wrapped with the parameter name, as
// convert_argument(f, a, 0, to_triple_list) would); false, with nothing raised, when the rows are
// no exact list or tuple or a string is a str subclass. No Python code runs.
bool exact_str_rows(const FunctionSpec& f, const BoundArgs& a);

// Parameter 0 of f is the rows. Raises the conversion's errors (wrapped with the parameter name
// as convert_argument(f, a, 0, to_triple_list) would); null, with nothing built, when the rows
// are not an exact list or tuple or a string is a str subclass.
PyRef exact_str_closure_table(const FunctionSpec& f, const BoundArgs& a);

}  // namespace ontarix::py
