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

namespace ontarix::py {

// The core index of an instance of ClosureIndex (closure_index_class.cpp).
const ClosureIndex& index_of(PyObject* self);

// Interns the measure methods' parameter names; false with a Python error set on failure.
bool intern_measure_parameters() noexcept;

// The measure methods, for the class's method table (no sentinel).
std::span<const PyMethodDef> measure_methods() noexcept;

}  // namespace ontarix::py
