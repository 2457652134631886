// Relationship rows of exact strs numbered for a transitive closure by the strs themselves.
//
// closure_from_relationships and ClosureIndex.from_relationships number the terms of the rows
// they follow. On rows of exact strs (an exact list or tuple, validated by exact_str_rows) the
// numbering is done on the str objects (str_numbering.hpp) instead of on converted rows: no
// triple list is built, no text hashed, and each number comes with the caller's own str, which a
// result can hand back. Terms are numbered, and edges listed, exactly as number_followed_edges
// numbers and lists them for the converted rows (child before parent, in row order), so both
// routes give the same closure.
#pragma once

#include <Python.h>

#include <vector>

#include "core/terms.hpp"
#include "core/transitive_closure.hpp"

namespace ontarix::py {

struct StrEdges {
    NumberedEdges graph;             // texts view the strs; first_seen is left empty
    std::vector<PyObject*> strings;  // term number -> the caller's str, borrowed from the rows
};

// The followed rows (`follow` null: all) of an exact list or tuple that exact_str_rows accepted.
// Every str of a followed row gets its hash computed (and cached) on the way.
StrEdges number_exact_str_edges(PyObject* rows, const TermSet* follow);

}  // namespace ontarix::py
