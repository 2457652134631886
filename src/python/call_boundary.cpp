#include "python/call_boundary.hpp"

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "core/fault.hpp"
#include "python/panic.hpp"

namespace ontarix::py {
namespace {

constexpr std::string_view kGenericFault = "native code failed without a message";

// The binding errors. Kept out of line: the hot path only counts and compares pointers.

[[gnu::cold, gnu::noinline, noreturn]] void too_many_positional(const FunctionSpec& f,
                                                                Py_ssize_t given) {
    std::string msg = std::string(f.name) + "() takes ";
    if (f.required != f.count) {
        msg += "from " + std::to_string(f.required) + " to ";
    }
    msg += std::to_string(f.count) + " positional arguments but " + std::to_string(given) +
           (given == 1 ? " was given" : " were given");
    throw_error(PyExc_TypeError, PyUnicode_FromStringAndSize(msg.data(), std::ssize(msg)));
}

[[gnu::cold, gnu::noinline, noreturn]] void unexpected_keyword(const FunctionSpec& f,
                                                               PyObject* key) {
    throw_error(PyExc_TypeError,
                PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'", f.name, key));
}

[[gnu::cold, gnu::noinline, noreturn]] void multiple_values(const FunctionSpec& f,
                                                            std::size_t param) {
    const std::string msg =
        std::string(f.name) + "() got multiple values for argument '" + f.params[param] + "'";
    throw_error(PyExc_TypeError, PyUnicode_FromStringAndSize(msg.data(), std::ssize(msg)));
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
[[gnu::cold, gnu::noinline, noreturn]] void missing_required(const FunctionSpec& f,
                                                             const BoundArgs& bound) {
    std::array<const char*, kMaxParams> missing{};
    std::size_t n = 0;
    for (std::size_t i = 0; i < f.required; ++i) {
        if (bound[i] == nullptr) missing[n++] = f.params[i];
    }
    std::string msg = std::string(f.name) + "() missing " + std::to_string(n) + " required positional argument" +
                      (n == 1 ? ": " : "s: ");
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 0) {
            if (n > 2) msg += ',';
            msg += i == n - 1 ? " and " : " ";
        }
        msg += '\'';
        msg += missing[i];
        msg += '\'';
    }
    throw_error(PyExc_TypeError, PyUnicode_FromStringAndSize(msg.data(), std::ssize(msg)));
}

// Parameter index named by a keyword, or count when none is.
std::size_t find_parameter(const FunctionSpec& f, PyObject* key) {
    if (f.interned != nullptr) {
        for (std::size_t i = 0; i < f.count; ++i) {
            if (f.interned->names[i] == key) return i;
        }
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) {
        // Not encodable, so it names no parameter; the error below says which keyword it was.
        PyErr_Clear();
        return f.count;
    }
    const std::string_view name(text, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < f.count; ++i) {
        if (name == f.params[i]) return i;
    }
    return f.count;
}

}  // namespace

bool intern_parameter_names(const FunctionSpec& f) noexcept {
    if (f.interned == nullptr) return true;
    for (std::size_t i = 0; i < f.count; ++i) {
        if (f.interned->names[i] != nullptr) continue;
        PyObject* name = PyUnicode_InternFromString(f.params[i]);
        if (name == nullptr) return false;
        f.interned->names[i] = name;  // immortal for the process, like the function objects
    }
    return true;
}

BoundArgs bind_arguments(const FunctionSpec& f, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    if (nargs > static_cast<Py_ssize_t>(f.count)) too_many_positional(f, nargs);
    BoundArgs bound;
    for (Py_ssize_t i = 0; i < nargs; ++i) bound.slots[static_cast<std::size_t>(i)] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const std::size_t i = find_parameter(f, key);
            if (i == f.count) unexpected_keyword(f, key);
            if (bound.slots[i] != nullptr) multiple_values(f, i);
            bound.slots[i] = args[nargs + k];
        }
    }
    for (std::size_t i = static_cast<std::size_t>(nargs); i < f.required; ++i) {
        if (bound[i] == nullptr) missing_required(f, bound);
    }
    return bound;
}

void wrap_argument_error(const char* param) {
    if (PyErr_Occurred() == nullptr || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value == nullptr || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        // A subclass of TypeError is some other error and passes unchanged.
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyRef old_type = PyRef::steal(type);
    PyRef old_value = PyRef::steal(value);
    PyRef old_traceback = PyRef::steal(traceback);
    PyRef msg = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", param, old_value.get()));
    if (!msg) throw_pending();
    PyRef wrapped = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, msg.get()));
    if (!wrapped) throw_pending();
    PyException_SetCause(wrapped.get(), PyException_GetCause(old_value.get()));
    PyErr_SetObject(PyExc_TypeError, wrapped.get());
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        // The exception is already pending.
    } catch (const Fault& fault) {
        const std::string_view message =
            fault.message().empty() ? kGenericFault : std::string_view(fault.message());
        raise_panic(message, &fault.where());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        const std::string_view what = e.what();
        raise_panic(what.empty() ? kGenericFault : what, nullptr);
    } catch (...) {
        raise_panic(kGenericFault, nullptr);
    }
}

}  // namespace ontarix::py
