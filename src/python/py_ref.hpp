// PyRef: the one owning handle for Python references in the binding layer.
//
// Every reference the binding takes is held by a PyRef and released by its destructor, so an
// exception thrown anywhere in a call (a fault, a pending Python error, std::bad_alloc) cannot
// leak one. Borrowed references (call arguments, items read from a container) stay plain
// PyObject* and are wrapped only when they must outlive whatever lends them.
#pragma once

#include <Python.h>

#include <utility>

namespace ontarix::py {

// Thrown when a Python exception is pending and the call must end; the exception itself stays in
// the interpreter's error indicator. Only the call boundary catches it.
struct PythonError {};

class PyRef {
public:
    PyRef() noexcept = default;
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(obj_); }

    // Takes over a new reference (may be null).
    static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
    // Takes an extra reference to a borrowed object (may be null).
    static PyRef borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return PyRef(obj);
    }

    PyObject* get() const noexcept { return obj_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace ontarix::py
