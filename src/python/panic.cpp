#include "python/panic.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>

#include "python/py_ref.hpp"

namespace ontarix::py {
namespace {

constexpr const char kPanicDoc[] =
    "\n"
    "The exception raised when native code of this module, called from Python, panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

constexpr std::string_view kUnwrappedPanic = "Unwrapped panic from Python code";

// Created under the interpreter lock and never released, like the class objects of builtins.
PyObject* g_panic_type = nullptr;
bool g_backtrace_note_written = false;

std::string thread_name() {
    if (::syscall(SYS_gettid) == ::getpid()) return "main";
    char buf[32] = {};
    if (::pthread_getname_np(::pthread_self(), buf, sizeof buf) == 0 && buf[0] != '\0') return buf;
    return "<unnamed>";
}

// Text of a str object as UTF-8, or nullopt-like empty flag when it cannot be encoded.
bool utf8_of(PyObject* str, std::string& out) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(str, &n);
    if (p == nullptr) {
        PyErr_Clear();
        return false;
    }
    out.assign(p, static_cast<std::size_t>(n));
    return true;
}

}  // namespace

std::string_view project_relative_path(std::string_view path) noexcept {
    for (std::size_t pos = path.rfind("src/"); pos != std::string_view::npos;
         pos = pos == 0 ? std::string_view::npos : path.rfind("src/", pos - 1)) {
        if (pos == 0 || path[pos - 1] == '/') return path.substr(pos);
    }
    return path;
}

PyObject* panic_exception_type() noexcept {
    if (g_panic_type == nullptr) {
        g_panic_type = PyErr_NewExceptionWithDoc("velmor_runtime.PanicException", kPanicDoc,
                                                 PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

void raise_panic(std::string_view message, const std::source_location* where) noexcept {
    try {
        const std::string location =
            where == nullptr ? std::string("<unknown>")
                             : std::string(project_relative_path(where->file_name())) + ':' +
                                   std::to_string(where->line()) + ':' +
                                   std::to_string(where->column());
        std::fprintf(stderr, "thread '%s' panicked at '%.*s', %s\n", thread_name().c_str(),
                     static_cast<int>(message.size()), message.data(), location.c_str());
        if (!g_backtrace_note_written) {
            g_backtrace_note_written = true;
            std::fputs(
                "note: no native backtrace is recorded; run the program under gdb with "
                "`catch throw` to stop where the fault is raised\n",
                stderr);
        }
        std::fflush(stderr);
    } catch (...) {
        // The diagnostic is best effort; the exception below still carries the message.
    }
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the interpreter's error (a MemoryError) stays pending
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(),
                                                   static_cast<Py_ssize_t>(message.size()),
                                                   "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

namespace {

// Resumes a pending PanicException as a new fault; returns normally when the pending error is
// something else (left pending).
void resume_if_panic() {
    if (g_panic_type == nullptr) return;  // no PanicException can exist yet
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != g_panic_type) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    std::string message;
    if (value == nullptr || !PyUnicode_Check(value) || !utf8_of(value, message)) {
        message = kUnwrappedPanic;
    }
    std::fputs("--- Velmor is resuming a panic after fetching a PanicException from Python. ---\n",
               stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    PyErr_Restore(type, value, traceback);
    PyErr_PrintEx(0);
    raise_fault(std::move(message));
}

}  // namespace

void throw_pending() {
    if (PyErr_Occurred() == nullptr) {
        // An API call reported failure without an exception: never return success for it.
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
    resume_if_panic();
    throw PythonError{};
}

void throw_error(PyObject* type, PyObject* message) {
    if (message == nullptr) throw_pending();
    PyErr_SetObject(type, message);
    Py_DECREF(message);
    throw PythonError{};
}

void drop_pending_error() {
    resume_if_panic();
    PyErr_Clear();
}

std::string take_error_description() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type);
    PyRef owned_value = PyRef::steal(value);
    PyRef owned_traceback = PyRef::steal(traceback);
    std::string out = "<unknown error>";
    if (owned_value) {
        PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(owned_value.get())));
        if (!name) PyErr_Clear();  // str() below must not run with an error pending
        if (!name || !utf8_of(name.get(), out)) out = "<failed to extract type name>";
        PyRef text = PyRef::steal(PyObject_Str(owned_value.get()));
        std::string detail;
        if (text && utf8_of(text.get(), detail)) {
            out += ": " + detail;
        } else {
            PyErr_Clear();
            out += ": <exception str() failed>";
        }
    }
    return out;
}

namespace {
thread_local bool t_raise_memory_error = false;
}  // namespace

MemoryErrorScope::MemoryErrorScope(bool raise_memory_error) noexcept
    : previous_(std::exchange(t_raise_memory_error, raise_memory_error)) {}

MemoryErrorScope::~MemoryErrorScope() { t_raise_memory_error = previous_; }

void keep_pending_memory_error() {
    if (t_raise_memory_error && PyErr_ExceptionMatches(PyExc_MemoryError)) throw PythonError{};
}

void fail_python_api(std::source_location where) {
    keep_pending_memory_error();
    if (PyErr_Occurred() != nullptr) PyErr_Print();
    raise_fault("Python API call failed", where);
}

}  // namespace ontarix::py
