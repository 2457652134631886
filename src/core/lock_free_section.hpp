// A long computation on the calling thread, run without the host's lock.
//
// The host (an interpreter) holds a lock its other threads need. A build that takes seconds must
// neither keep them waiting nor stop answering Ctrl-C, so it runs inside a LockFreeSection: the lock
// is released when the section opens and taken back when it closes (also when an exception leaves
// it). At the computation's checkpoints, at most every few tens of milliseconds, the section takes
// the lock back to ask the host whether to go on (Waiter::before_call, where the host runs its
// signal handlers); a host that throws stops the computation with the lock held, and the exception
// passes on. A host that is gone (Waiter::reacquire() false) parks the thread there for good.
//
// Between checkpoints nothing may touch the host's objects: what the computation reads must be its
// own (copied before the section opened).
#pragma once

#include <chrono>
#include <cstdint>

#include "core/blocking_wait.hpp"
#include "core/checkpoint.hpp"

namespace ontarix {

class LockFreeSection final : public Checkpoint {
public:
    explicit LockFreeSection(Waiter& waiter);
    LockFreeSection(const LockFreeSection&) = delete;
    LockFreeSection& operator=(const LockFreeSection&) = delete;
    ~LockFreeSection();

    // Asks the host, when the interval has passed since the last question. The clock is read only
    // every few hundred calls, so a call costs a decrement.
    void reached() override;

private:
    using Clock = std::chrono::steady_clock;

    Waiter& waiter_;
    bool released_ = false;
    std::uint32_t countdown_;
    Clock::time_point last_;
};

}  // namespace ontarix
