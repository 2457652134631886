#include "python/numpy_matrix.hpp"

#include <string_view>

#include "python/panic.hpp"

namespace ontarix::py {
namespace {

[[noreturn, gnu::cold, gnu::noinline]] void raise_unfit_buffer(std::size_t rows, std::size_t cols,
                                                               PyObject* got) {
    throw_error(PyExc_TypeError,
                PyUnicode_FromFormat("numpy.empty((%zu, %zu), 'float64') returned a %s whose buffer "
                                     "is not a writable C-contiguous float64 array of that shape",
                                     rows, cols, Py_TYPE(got)->tp_name));
}

}  // namespace

NumpyMatrix::NumpyMatrix(std::size_t rows, std::size_t cols) {
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(rows, cols, &bytes) ||
        __builtin_mul_overflow(bytes, sizeof(double), &bytes) ||
        bytes > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        throw_error(PyExc_MemoryError,
                    PyUnicode_FromFormat("a %zu x %zu matrix of float64 is too large", rows, cols));
    }
    const PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) throw_pending();
    const PyRef empty = PyRef::steal(PyObject_GetAttrString(numpy.get(), "empty"));
    if (!empty) throw_pending();
    const PyRef shape = PyRef::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows),
                                                   static_cast<Py_ssize_t>(cols)));
    if (!shape) throw_pending();
    const PyRef dtype = PyRef::steal(PyUnicode_FromString("float64"));
    if (!dtype) throw_pending();
    array_ = PyRef::steal(PyObject_CallFunctionObjArgs(empty.get(), shape.get(), dtype.get(), nullptr));
    if (!array_) throw_pending();
    // The kernel writes rows x cols doubles into the buffer without the lock, so the buffer is
    // checked to be exactly that, whatever numpy.empty is at the moment (it may have been
    // replaced, or handed out a subclass with a buffer of its own).
    if (PyObject_GetBuffer(array_.get(), &view_, PyBUF_RECORDS_RO) < 0) throw_pending();
    has_view_ = true;
    const bool fits = !view_.readonly && view_.itemsize == static_cast<Py_ssize_t>(sizeof(double)) &&
                      view_.format != nullptr && std::string_view(view_.format) == "d" &&
                      view_.ndim == 2 && view_.shape != nullptr &&
                      view_.shape[0] == static_cast<Py_ssize_t>(rows) &&
                      view_.shape[1] == static_cast<Py_ssize_t>(cols) &&
                      view_.len == static_cast<Py_ssize_t>(bytes) &&
                      PyBuffer_IsContiguous(&view_, 'C') != 0;
    if (!fits) [[unlikely]] raise_unfit_buffer(rows, cols, array_.get());
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
