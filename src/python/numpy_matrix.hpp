// The result matrices of the index's batches: C-contiguous float64 NumPy arrays.
//
// NumPy is imported only when a matrix is made, so importing this module never pays for it. The
// array is allocated, and its buffer taken, before any work starts: a matrix that cannot exist
// (its size overflows, or the memory is not there) fails with MemoryError up front. The batch
// writes straight into the array's buffer, with the interpreter lock released, so the buffer that
// numpy hands back is checked first to be a writable C-contiguous float64 array of the asked
// shape (TypeError otherwise: numpy.empty may have been replaced).
#pragma once

#include <Python.h>

#include <cstddef>

#include "python/py_ref.hpp"

namespace ontarix::py {

class NumpyMatrix {
public:
    // A new (rows, cols) float64 array, contents undefined.
    NumpyMatrix(std::size_t rows, std::size_t cols);
    NumpyMatrix(const NumpyMatrix&) = delete;
    NumpyMatrix& operator=(const NumpyMatrix&) = delete;
    ~NumpyMatrix();

    double* data() const noexcept { return static_cast<double*>(view_.buf); }
    // Hands the array to the caller; the buffer is released first.
    PyRef take();

private:
    PyRef array_;
    Py_buffer view_{};
    bool has_view_ = false;
};

}  // namespace ontarix::py
