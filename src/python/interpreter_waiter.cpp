#include "python/interpreter_waiter.hpp"

#include "python/py_ref.hpp"

namespace ontarix::py {

void InterpreterWaiter::release() noexcept { saved_ = PyEval_SaveThread(); }

void InterpreterWaiter::reacquire() noexcept {
    PyEval_RestoreThread(saved_);
    saved_ = nullptr;
}

void InterpreterWaiter::interrupted() {
    if (PyErr_CheckSignals() < 0) throw PythonError{};
}

}  // namespace ontarix::py
