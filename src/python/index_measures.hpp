// The measure methods of ontarix.ClosureIndex: term and profile scores one pair at a time, best
// matches, records, matrices and top-k lists, each with its measure (and combine) chosen by name.
//
// Names are parsed before any other argument is converted, so a wrong name costs no work; a
// Wang score on an index without edges is refused there too. The core does the rest
// (term_measures.hpp, profile_measures.hpp, batch_scoring.hpp).
#pragma once

#include <Python.h>

#include <span>

#include "core/closure_index.hpp"
#include "core/profile_measures.hpp"
#include "core/term_measures.hpp"
#include "core/top_k_lists.hpp"
#include "python/call_boundary.hpp"
#include "python/py_ref.hpp"

namespace ontarix::py {

// The core index of an instance of ClosureIndex (closure_index_class.cpp).
const ClosureIndex& index_of(PyObject* self);

// A term measure named by `obj` (the parameter 'measure' of f); absent: `fallback`.
TermMeasure term_measure(const FunctionSpec& f, PyObject* obj, TermMeasure fallback);

// A term measure with a combine, or a profile measure (which takes none), named by the
// parameters 'measure' and 'combine' of f (a combine of None: 'funsimavg'); absent: `fallback`.
ProfileScoring profile_scoring(const FunctionSpec& f, PyObject* measure, PyObject* combine,
                               ProfileScoring fallback);

// The name of a term measure, as the parameter takes it ('resnik' for both of its names).
const char* term_measure_name(TermMeasure measure) noexcept;

// Wang's table of the index when the measure is Wang's (built on first use, without the
// interpreter lock); null for any other measure. ValueError for Wang's on an index without edges.
const WangTable* wang_if_needed(const FunctionSpec& f, const ClosureIndex& index,
                                TermMeasure measure);
const WangTable* wang_if_needed(const FunctionSpec& f, const ClosureIndex& index,
                                const ProfileScoring& scoring);

// {query name: [(candidate name, score), ...]}, the lists in query order; names by position.
PyRef neighbour_dict(std::span<const PyRef> query_names, std::span<const PyRef> candidate_names,
                     const NeighbourLists& found);

// Interns the measure methods' parameter names; false with a Python error set on failure.
bool intern_measure_parameters() noexcept;

// The measure methods, for the class's method table (no sentinel).
std::span<const PyMethodDef> measure_methods() noexcept;

}  // namespace ontarix::py
