// The Python class ontarix.ClosureIndex around the core's ClosureIndex.
//
// An instance owns one immutable index, so any number of threads may call its methods at once:
// batch methods release the interpreter lock while they work, the others are short. The class
// cannot be subclassed (its constructors and pickling build instances of exactly this type).
#pragma once

#include <Python.h>

namespace ontarix::py {

// Borrowed reference to the class, created on first call (the module creates it at import);
// throws PythonError when the interpreter cannot create it.
PyTypeObject* closure_index_type();

}  // namespace ontarix::py
