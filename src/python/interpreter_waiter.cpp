#include "python/interpreter_waiter.hpp"

#include "python/panic.hpp"

namespace ontarix::py {

void InterpreterWaiter::release() noexcept { saved_ = PyEval_SaveThread(); }

void InterpreterWaiter::reacquire() noexcept {
    PyEval_RestoreThread(saved_);
    saved_ = nullptr;
}

void InterpreterWaiter::before_call() {
    // A handler's exception is handled like any other raised by Python code during a call.
    if (PyErr_CheckSignals() < 0) throw_pending();
}

}  // namespace ontarix::py
