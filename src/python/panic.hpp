// PanicException and the handling of pending Python errors.
//
// PanicException ("velmor_runtime.PanicException", base BaseException) is how an internal fault
// reaches Python. It derives from BaseException so that `except Exception:` does not swallow a
// broken invariant. The class is created on first use and kept for the life of the process; it
// is never a module attribute.
//
// Every place in the binding that finds a Python error pending goes through throw_pending() or
// drop_pending_error(). Both first check whether the pending error is itself a PanicException
// (raised by Python code that a conversion ran, e.g. a __float__ method): such an error is never
// wrapped, dropped or passed on as it is, but printed and resumed as a new internal fault.
#pragma once

#include <Python.h>

#include <source_location>
#include <string>
#include <string_view>

#include "core/fault.hpp"

namespace ontarix::py {

// Borrowed reference to the class, created on first call; null with a Python error set if the
// interpreter could not create it.
PyObject* panic_exception_type() noexcept;

// Writes the stderr diagnostic for the fault and sets PanicException(message) as the pending
// error. Never throws.
void raise_panic(std::string_view message, const std::source_location* where) noexcept;

// A Python API call failed and left an error pending: resumes it as a fault if it is a
// PanicException, else throws PythonError so that the call boundary returns it unchanged.
[[noreturn, gnu::cold]] void throw_pending();

// Raises type(message), taking over `message`, a new reference from a str constructor (null when
// that failed). Every error of the binding is raised through here rather than PyErr_SetString or
// PyErr_Format: when the message cannot be created, those replace the interpreter's MemoryError
// by a `type` exception without a message in some 3.11 releases, while here the MemoryError stays.
[[noreturn, gnu::cold]] void throw_error(PyObject* type, PyObject* message);

// Discards a pending error that the caller has a fallback for (a failed length hint, a failed
// type-name lookup), resuming it instead if it is a PanicException.
[[gnu::cold]] void drop_pending_error();

// Takes the pending error and describes it as "TypeName: str(value)" for a fault message.
[[gnu::cold]] std::string take_error_description();

// Out of memory. The original module functions report a result object that cannot be created as
// an internal fault (fail_python_api, and the faults of a set or record that cannot be made); the
// rest of the API raises MemoryError from wherever memory runs out. A MemoryErrorScope per call
// says which applies on this thread (nested calls have their own); the fault sites call
// keep_pending_memory_error() first.
class MemoryErrorScope {
public:
    explicit MemoryErrorScope(bool raise_memory_error) noexcept;
    MemoryErrorScope(const MemoryErrorScope&) = delete;
    MemoryErrorScope& operator=(const MemoryErrorScope&) = delete;
    ~MemoryErrorScope();

private:
    bool previous_;
};

// Throws PythonError, leaving the error pending, when it is a MemoryError and the current scope
// raises those; returns otherwise.
[[gnu::cold]] void keep_pending_memory_error();

// The interpreter returned null for a new object: prints the pending error and raises the fault
// "Python API call failed" (a MemoryError stays one where the scope says so).
[[noreturn, gnu::cold]] void fail_python_api(
    std::source_location where = std::source_location::current());

// The part of a source path from its last "src/" component on, so that diagnostics name
// "src/core/x.cpp" rather than the build machine's absolute path.
std::string_view project_relative_path(std::string_view path) noexcept;

}  // namespace ontarix::py
