// The Python class TermSetPairwiseSimilarity around the native comparison record.
//
// The class ("builtins.TermSetPairwiseSimilarity") is built once, on first use, with
// PyType_FromSpec and kept for the life of the process; it is never a module attribute, so
// Python code meets it only as the type of what `run` returns. It has no constructor ("No
// constructor defined"), no __dict__, no doc string, and cannot be subclassed. Its nine methods
// (a static `new` and eight read-only accessors) each return a fresh copy of a field.
//
// An instance owns its record. Records are frozen once wrapped, so an instance needs no lock and
// its accessors only read.
#pragma once

#include <vector>

#include "core/similarity_record.hpp"
#include "python/py_ref.hpp"

namespace ontarix::py {

// Moves the record into a new instance. A failed allocation raises the fault
// "called `Result::unwrap()` on an `Err` value: ..." with the Python error described.
PyRef record_to_py(TermSetPairwiseSimilarity&& record);

// A new list of new instances, element i holding records[i]; the records are moved out.
PyRef records_to_py(std::vector<TermSetPairwiseSimilarity>&& records);

}  // namespace ontarix::py
