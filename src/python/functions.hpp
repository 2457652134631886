// The module's function table: nine fastcall wrappers. The first eight, in this order, are
// ontarix.__all__; the ninth is an attribute only.
#pragma once

#include <Python.h>

#include <span>

namespace ontarix::py {

inline constexpr std::size_t kFunctionCount = 9;
// The functions listed in ontarix.__all__: the first ones of the table.
inline constexpr std::size_t kListedFunctions = 8;

// Method descriptors in table order; static storage, alive for the process.
std::span<PyMethodDef, kFunctionCount> function_table() noexcept;

// Interns every parameter name for keyword matching; false with a Python error set on failure.
bool prepare_function_table() noexcept;

}  // namespace ontarix::py
