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
#pragma once

#include <cerrno>

namespace ontarix {

class Waiter {
public:
    // Around each blocking call; every release() is followed by one reacquire().
    virtual void release() noexcept {}
    virtual void reacquire() noexcept {}
    // Before each attempt, with the lock held: return to make it, throw to give up.
    virtual void before_call() {}

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
        waiter.reacquire();
        if (value >= 0 || error != EINTR) return {value, error};
    }
}

}  // namespace ontarix
