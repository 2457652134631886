// The module's function table: nine fastcall wrappers in the order of ontarix.__all__ (where the
// class ClosureIndex stands between the first eight and the last).
#pragma once

#include <Python.h>

#include <span>

namespace ontarix::py {

inline constexpr std::size_t kFunctionCount = 9;
// The functions before ClosureIndex in ontarix.__all__.
inline constexpr std::size_t kFunctionsBeforeClasses = 8;

// Method descriptors in table order; static storage, alive for the process.
std::span<PyMethodDef, kFunctionCount> function_table() noexcept;

// Interns every parameter name for keyword matching; false with a Python error set on failure.
bool prepare_function_table() noexcept;

}  // namespace ontarix::py
