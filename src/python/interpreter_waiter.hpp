// How a module function waits in a blocking system call (a FIFO waiting for its writer, a pipe
// waiting for data): the way the interpreter's own file objects do.
//
// The interpreter lock is released for the length of the call, so other threads keep running
// (one of them may be the writer). A signal that interrupts the call runs the Python signal
// handlers; a handler that raises (KeyboardInterrupt from Ctrl-C) ends the function call with its
// exception, and a handler that returns lets the call be retried.
#pragma once

#include <Python.h>

#include "core/blocking_wait.hpp"

namespace ontarix::py {

// One per function call, created and used on the calling thread, which holds the lock.
class InterpreterWaiter final : public Waiter {
public:
    InterpreterWaiter() = default;
    InterpreterWaiter(const InterpreterWaiter&) = delete;
    InterpreterWaiter& operator=(const InterpreterWaiter&) = delete;

    void release() noexcept override;
    void reacquire() noexcept override;
    // Ends the call with the exception of a signal handler that raised (see throw_pending).
    void interrupted() override;

private:
    PyThreadState* saved_ = nullptr;
};

}  // namespace ontarix::py
