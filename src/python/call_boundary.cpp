#include "python/call_boundary.hpp"

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/fault.hpp"
#include "python/panic.hpp"

namespace ontarix::py {
namespace {

constexpr std::string_view kGenericFault = "native code failed without a message";

std::size_t find_parameter(const FunctionSpec& f, PyObject* key);

// The binding errors. Kept out of line: the hot path only counts and compares pointers.

[[gnu::cold, gnu::noinline, noreturn]] void too_many_positional(const FunctionSpec& f,
                                                                Py_ssize_t given,
                                                                PyObject* kwnames) {
    const std::size_t allowed = f.positional_count();
    const std::size_t leading_required = f.required < allowed ? f.required : allowed;
    const std::size_t shown_allowed = allowed + f.implicit;
    const std::size_t shown_required = leading_required + f.implicit;
    std::string msg = std::string(f.shown_name()) + "() takes ";
    if (leading_required != allowed) {
        msg += "from " + std::to_string(shown_required) + " to ";
    }
    const bool singular = f.python_grammar && shown_allowed == 1 && leading_required == allowed;
    msg += std::to_string(shown_allowed) +
           (singular ? " positional argument" : " positional arguments");
    // As the interpreter says it when keyword-only arguments were given along.
    std::size_t keyword_only_given = 0;
    if (f.python_grammar && kwnames != nullptr) {
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            const std::size_t i = find_parameter(f, PyTuple_GET_ITEM(kwnames, k));
            keyword_only_given += i >= allowed && i < f.count;
        }
    }
    given += static_cast<Py_ssize_t>(f.implicit);
    msg += " but " + std::to_string(given);
    if (keyword_only_given != 0) {
        msg += given == 1 ? " positional argument" : " positional arguments";
        msg += " (and " + std::to_string(keyword_only_given) + " keyword-only argument" +
               (keyword_only_given == 1 ? ")" : "s)");
    }
    msg += given == 1 && keyword_only_given == 0 ? " was given" : " were given";
    throw_error(PyExc_TypeError, PyUnicode_FromStringAndSize(msg.data(), std::ssize(msg)));
}

[[gnu::cold, gnu::noinline, noreturn]] void unexpected_keyword(const FunctionSpec& f,
                                                               PyObject* key) {
    throw_error(PyExc_TypeError,
                PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'", f.shown_name(),
                                     key));
}

[[gnu::cold, gnu::noinline, noreturn]] void multiple_values(const FunctionSpec& f,
                                                            std::size_t param) {
    const std::string msg =
        std::string(f.shown_name()) + "() got multiple values for argument '" + f.params[param] + "'";
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
    std::string msg = std::string(f.shown_name()) + "() missing " + std::to_string(n) + " required positional argument" +
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
    if (nargs > static_cast<Py_ssize_t>(f.positional_count())) {
        too_many_positional(f, nargs, kwnames);
    }
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

BoundArgs bind_tuple_arguments(const FunctionSpec& f, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    const Py_ssize_t nkw = kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0;
    std::vector<PyObject*> stack;
    stack.reserve(static_cast<std::size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) stack.push_back(PyTuple_GET_ITEM(args, i));
    PyRef kwnames;
    if (nkw != 0) {
        kwnames = PyRef::steal(PyTuple_New(nkw));
        if (!kwnames) throw_pending();
        Py_ssize_t pos = 0;
        Py_ssize_t k = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
            stack.push_back(value);
        }
    }
    return bind_arguments(f, stack.data(), nargs, kwnames.get());
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
