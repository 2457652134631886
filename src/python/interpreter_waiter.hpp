// How a module function waits in a blocking system call (a FIFO waiting for its writer, a pipe
// waiting for data), and how the index's batches hand the interpreter lock back and forth: the
// way the interpreter's own file objects do.
//
// The interpreter lock is released for the length of the call, so other threads keep running
// (one of them may be the writer). Pending Python signal handlers run before each call, so a
// signal that interrupted the previous one, or that arrived while no call was waiting, is handled
// before the module waits again; a handler that raises (KeyboardInterrupt from Ctrl-C) ends the
// function call with its exception, and a handler that returns lets the call go ahead.
//
// As with the interpreter's own reads, a signal landing in the few instructions between that check
// and the kernel's wait is seen only when the wait ends.
//
// Exit. On 3.11 a thread other than the one finalizing the interpreter that takes the lock once
// finalization has begun is ended by pthread_exit, whose forced unwind cannot pass the native
// frames of a call (a noexcept function, the call boundary's catch-all): the process aborts, and
// the files the program wrote are never flushed. A daemon thread in the middle of a batch when the
// program exits is such a thread. So the lock is never taken back blindly:
//   - a thread about to take it back first announces itself (a counter), then looks at an
//     "exiting" flag, and only takes the lock if the flag is clear;
//   - an atexit callback, registered at module creation and so run while the interpreter is
//     still intact and before finalization begins, sets the flag and then lets go of the lock
//     for a moment at a time until no thread is between its look at the flag and holding the lock.
// Both sides use sequentially consistent operations, so either the thread sees the flag or the
// callback sees the thread and waits for it. A thread that sees the flag gets false from
// reacquire(): the engine then stops its work and parks the thread for good (blocking_wait.hpp),
// and the interpreter finalizes undisturbed. The thread that runs the callback (the one that will
// finalize) may still take the lock back, for exit functions registered before the module was.
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
    // False once the interpreter is exiting (see above), on any thread but the finalizing one.
    bool reacquire() noexcept override;
    // Runs pending signal handlers; ends the call with the exception of one that raised
    // (see throw_pending).
    void before_call() override;

private:
    PyThreadState* saved_ = nullptr;
};

// Registers the exit callback described above with the atexit module; false with a Python error
// set on failure. Called once, at module creation.
bool install_exit_guard() noexcept;

}  // namespace ontarix::py
