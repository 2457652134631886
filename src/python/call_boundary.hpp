// The call boundary every module function passes through.
//
// A function is described by a constexpr FunctionSpec (name, text signature, parameter names,
// required count). One loop binds a fastcall vector to the parameter slots, with the same
// TypeError texts for every function. The wrapper then converts each bound argument in
// parameter order through convert_argument(), which gives an exact TypeError the
// "argument '{p}': " prefix; calls the core; and builds the result.
//
// Every C++ exception stops here: call_function() and guarded_call() are noexcept and translate
//   PythonError      -> the pending Python exception, unchanged;
//   ontarix::Fault   -> PanicException(message), after a one-line diagnostic on stderr;
//   std::bad_alloc   -> MemoryError (native memory exhaustion never ends the interpreter), and so
//                       does std::length_error (a container too large to exist) where the
//                       function's spec says memory_error;
//   anything else    -> PanicException with its text, or a fixed text when it has none.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <utility>

#include "python/panic.hpp"
#include "python/py_ref.hpp"

namespace ontarix::py {

inline constexpr std::size_t kMaxParams = 10;
// FunctionSpec::positional when every parameter may be given by position.
inline constexpr std::size_t kAllPositional = kMaxParams;

// Interned parameter names, filled once at module creation; keyword names that the compiler
// interned (every literal `f(set1=...)`) then match by pointer.
struct InternedParams {
    std::array<PyObject*, kMaxParams> names{};
};

struct FunctionSpec {
    const char* name;
    const char* doc;  // the text signature followed by "\n--\n\n" (and the doc text, if any)
    std::array<const char*, kMaxParams> params;
    std::size_t count;     // parameters in all
    std::size_t required;  // counted from the front; the rest are optional
    InternedParams* interned;
    // The first `positional` parameters are positional-or-keyword, the rest keyword-only (every
    // keyword-only parameter is optional).
    std::size_t positional = kAllPositional;
    // How binding errors name the callable ("ClosureIndex.top_k"); `name` when null.
    const char* display = nullptr;
    // Word binding errors as the interpreter does for a function defined in Python ("takes 1
    // positional argument"). The original module functions keep their historical "takes 1
    // positional arguments", which callers may compare against.
    bool python_grammar = false;
    // Leading arguments the interpreter passes itself (self, cls); counted, as the interpreter
    // counts them for a method defined in Python, in "takes N positional arguments".
    std::size_t implicit = 0;
    // Running out of memory anywhere in the call raises MemoryError (see MemoryErrorScope in
    // panic.hpp). The original module functions keep their faults for results they cannot build.
    bool memory_error = false;

    constexpr std::size_t positional_count() const noexcept {
        return positional < count ? positional : count;
    }
    constexpr const char* shown_name() const noexcept { return display != nullptr ? display : name; }
};

// Borrowed argument per parameter slot; null for an optional parameter left out.
struct BoundArgs {
    std::array<PyObject*, kMaxParams> slots{};
    PyObject* operator[](std::size_t i) const noexcept { return slots[i]; }
};

// Interns the parameter names of f; false with a Python error set on failure.
bool intern_parameter_names(const FunctionSpec& f) noexcept;

// Binds a fastcall vector; throws PythonError with the binding TypeError pending.
BoundArgs bind_arguments(const FunctionSpec& f, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);

// Binds a constructor's argument tuple and keyword dict (either may be null) the same way.
BoundArgs bind_tuple_arguments(const FunctionSpec& f, PyObject* args, PyObject* kwargs);

// Replaces a pending TypeError (exactly that type) by "argument '{param}': {message}", keeping
// the original's __cause__. Any other pending error is left as it is. Taking str() of the error
// runs Python code (the __str__ of its argument); when that fails, its error is the call's error,
// handled like any other pending error (so a PanicException is resumed, never passed on).
[[gnu::cold, gnu::noinline]] void wrap_argument_error(const char* param);

// Sets the Python exception for the C++ exception being handled. Call only inside a catch.
[[gnu::cold, gnu::noinline]] void translate_current_exception() noexcept;

// Runs body (returning a new reference or throwing) with every exception translated.
template <class Body>
PyObject* guarded_call(Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

// Runs body() -> PyObject* under f's out-of-memory rule (FunctionSpec::memory_error); inside a
// guarded_call.
template <class Body>
PyObject* with_memory_rule(const FunctionSpec& f, Body&& body) {
    const MemoryErrorScope scope(f.memory_error);
    try {
        return std::forward<Body>(body)();
    } catch (const std::length_error&) {
        if (!f.memory_error) throw;
        throw std::bad_alloc();
    }
}

// Entry of a module function: binds, then runs body(BoundArgs) -> PyRef under the boundary.
template <class Body>
PyObject* call_function(const FunctionSpec& f, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, Body&& body) noexcept {
    return guarded_call([&]() -> PyObject* {
        return with_memory_rule(f, [&]() -> PyObject* {
            const BoundArgs bound = bind_arguments(f, args, nargs, kwnames);
            return std::forward<Body>(body)(bound).release();
        });
    });
}

// Converts parameter i with convert(PyObject*), wrapping its TypeError with the parameter name.
template <class Convert>
decltype(auto) convert_argument(const FunctionSpec& f, const BoundArgs& bound, std::size_t i,
                                Convert&& convert) {
    try {
        return std::forward<Convert>(convert)(bound[i]);
    } catch (const PythonError&) {
        wrap_argument_error(f.params[i]);
        throw;
    }
}

}  // namespace ontarix::py
