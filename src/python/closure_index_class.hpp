// The Python class ontarix.ClosureIndex around the core's ClosureIndex.
//
// An instance owns one immutable index, so any number of threads may call its methods at once:
// batch methods release the interpreter lock while they work, the others are short. The class
// cannot be subclassed (its constructors and pickling build instances of exactly this type).
#pragma once

#include <Python.h>

#include "core/closure_index.hpp"

namespace ontarix::py {

// Borrowed reference to the class, created on first call (the module creates it at import);
// throws PythonError when the interpreter cannot create it.
PyTypeObject* closure_index_type();

// The index an instance of the class holds, or null when `obj` is no ClosureIndex.
const ClosureIndex* closure_index_of(PyObject* obj) noexcept;

}  // namespace ontarix::py
