// How a module function waits in a blocking system call (a FIFO waiting for its writer, a pipe
// waiting for data): the way the interpreter's own file objects do.
//
// The interpreter lock is released for the length of the call, so other threads keep running
// (one of them may be the writer). Pending Python signal handlers run before each call, so a
// signal that interrupted the previous one, or that arrived while no call was waiting, is handled
// before the module waits again; a handler that raises (KeyboardInterrupt from Ctrl-C) ends the
// function call with its exception, and a handler that returns lets the call go ahead.
//
// As with the interpreter's own reads, a signal landing in the few instructions between that check
// and the kernel's wait is seen only when the wait ends.
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
    // Runs pending signal handlers; ends the call with the exception of one that raised
    // (see throw_pending).
    void before_call() override;

private:
    PyThreadState* saved_ = nullptr;
};

}  // namespace ontarix::py
