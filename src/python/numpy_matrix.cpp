#include "python/numpy_matrix.hpp"

#include "python/panic.hpp"

namespace ontarix::py {

NumpyMatrix::NumpyMatrix(std::size_t rows, std::size_t cols) {
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(rows, cols, &bytes) ||
        __builtin_mul_overflow(bytes, sizeof(double), &bytes) ||
        bytes > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        throw_error(PyExc_MemoryError,
                    PyUnicode_FromFormat("a %zu x %zu matrix of float64 is too large", rows, cols));
    }
    const PyRef shape = PyRef::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows),
                                                   static_cast<Py_ssize_t>(cols)));
    if (!shape) throw_pending();
    make(shape.get());
}

NumpyMatrix::NumpyMatrix(std::size_t length) {
    if (length > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(double)) {
        throw_error(PyExc_MemoryError,
                    PyUnicode_FromFormat("%zu float64 values are too many for an array", length));
    }
    const PyRef shape = PyRef::steal(Py_BuildValue("(n)", static_cast<Py_ssize_t>(length)));
    if (!shape) throw_pending();
    make(shape.get());
}

void NumpyMatrix::make(PyObject* shape) {
    const PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) throw_pending();
    const PyRef empty = PyRef::steal(PyObject_GetAttrString(numpy.get(), "empty"));
    if (!empty) throw_pending();
    const PyRef dtype = PyRef::steal(PyUnicode_FromString("float64"));
    if (!dtype) throw_pending();
    array_ = PyRef::steal(PyObject_CallFunctionObjArgs(empty.get(), shape, dtype.get(), nullptr));
    if (!array_) throw_pending();
    if (PyObject_GetBuffer(array_.get(), &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
        throw_pending();
    }
    has_view_ = true;
}

NumpyMatrix::~NumpyMatrix() {
    if (has_view_) PyBuffer_Release(&view_);
}

PyRef NumpyMatrix::take() {
    if (has_view_) {
        PyBuffer_Release(&view_);
        has_view_ = false;
    }
    return std::move(array_);
}

}  // namespace ontarix::py
