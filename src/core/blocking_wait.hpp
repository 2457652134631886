// Waiting in system calls that block for as long as another process likes: opening a FIFO waits
// for its writer, reading a pipe waits for data.
//
// The engine makes such calls through a Waiter chosen by its host. A host that holds a lock other
// threads need (an interpreter lock) releases it around the call, so they keep running, and perhaps
// are the writer being waited for. Before every attempt, the first and each retry after a signal
// interrupted the previous one (EINTR), the host decides: returning from before_call() makes the
// attempt, throwing abandons it, and the engine passes the exception on unchanged, releasing
// whatever it holds on the way.
//
// Asking before the first attempt too matters: a signal that arrives while the engine is busy
// between calls, that lands on another thread, or that lands while a call is already completing,
// interrupts nothing. Only a check before the next call lets the host act on it; otherwise that
// call could wait indefinitely (a stalled writer) with the signal unhandled.
//
// The same Waiter serves every stretch of engine work done without the host's lock: batches on
// worker threads (parallel_blocks.hpp), long single computations that look up every few tens of
// milliseconds. The protocol, for all of them:
//
//   1. release() gives the lock up; it is always followed by exactly one reacquire(), on the same
//      thread, before the engine returns to the host or calls before_call() again.
//   2. reacquire() takes the lock back and returns true. It returns false when the host is gone:
//      it is shutting down and a thread that took its lock now would be ended on the spot (an
//      interpreter ends such threads by unwinding them, through frames that cannot be unwound).
//      The lock is then not held and never will be. From then on the engine calls nothing of the
//      waiter but park(): it stops its work, finishes what it owns without the host (joins its
//      worker threads; nothing it frees may belong to the host) and calls park(), which does not
//      return. The thread waits there until the process ends; its callers never resume.
//   3. before_call() is only called with the lock held.
#pragma once

#include <cerrno>

namespace ontarix {

class Waiter {
public:
    // Around each stretch without the lock (see the protocol above).
    virtual void release() noexcept {}
    // True with the lock held; false when the host is gone (then only park() may follow).
    [[nodiscard]] virtual bool reacquire() noexcept { return true; }
    // Before each attempt, with the lock held: return to make it, throw to give up.
    virtual void before_call() {}
    // After reacquire() returned false, once the engine has finished what it owns: never returns.
    // The thread sleeps until the process ends. (Only a test's waiter throws from here, to see
    // that the engine got this far; no engine code may catch what it throws.)
    [[noreturn]] virtual void park();

protected:
    ~Waiter() = default;
};

// Releases nothing, never gives up, and so retries every interrupted call.
Waiter& plain_waiter() noexcept;

struct SyscallResult {
    long value;  // what the call returned: -1 on failure
    int error;   // its errno when it failed, 0 otherwise
};

// Runs call() (a system call returning -1 with errno set on failure) through the waiter until it
// is not interrupted, or until the waiter gives up by throwing.
template <class Call>
SyscallResult wait_for(Waiter& waiter, Call&& call) {
    for (;;) {
        waiter.before_call();
        waiter.release();
        const long value = static_cast<long>(call());
        // errno first: reacquiring a lock may itself make calls that set it.
        const int error = value < 0 ? errno : 0;
        if (!waiter.reacquire()) waiter.park();  // the descriptor is left to the ending process
        if (value >= 0 || error != EINTR) return {value, error};
    }
}

}  // namespace ontarix
