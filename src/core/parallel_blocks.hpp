// Running independent blocks of work on several threads, on behalf of a host that holds a lock.
//
// A batch is cut into blocks whose results do not depend on each other or on which thread runs
// them; threads take the next block from a shared counter, so the split adapts to uneven blocks
// and to a busy machine without changing any result.
//
// The calling thread works too. The host's lock (an interpreter lock) is released for the whole
// run through the Waiter, so the host's other threads keep running; between blocks, and at least
// every few tens of milliseconds while it waits for the others, the calling thread takes the lock
// back and asks the waiter whether to go on (Waiter::before_call, where the host runs its signal
// handlers). A waiter that throws stops the run: no new block starts, the running ones finish,
// and the exception reaches the caller with the lock held. The first exception a block throws
// stops the run in the same way and is rethrown on the calling thread, and so is an exception
// thrown while the helper threads start (other than the system's refusal of another thread, which
// only leaves fewer threads to share the work): the threads already started are joined first.
//
// A host that is gone (Waiter::reacquire() returns false, see blocking_wait.hpp) stops the run in
// the same way, except that nothing reaches the caller: once every helper thread has been joined,
// without the lock, the calling thread parks in Waiter::park().
#pragma once

#include <cstddef>
#include <functional>
#include <thread>

#include "core/blocking_wait.hpp"

namespace ontarix {

// The CPUs this process may use, at least 1: those of its affinity mask, and no more than its
// control groups' CPU quota allows (cpu_quota.hpp).
unsigned usable_cpus() noexcept;

// Calls work(block, worker) once for every block in [0, blocks), on up to `threads` threads
// (worker is in [0, threads) and names the thread, for per-thread scratch). Returns when every
// block has run, with the host's lock held; see above for stopping.
void run_blocks(std::size_t blocks, unsigned threads, Waiter& waiter,
                const std::function<void(std::size_t block, unsigned worker)>& work);

namespace detail {

// How run_blocks starts a helper thread running `body`. Replaced only by tests, to make a start
// fail the ways the system can (std::system_error for no more threads, std::bad_alloc).
using StartThread = std::thread (*)(std::function<void()> body);

void run_blocks(std::size_t blocks, unsigned threads, Waiter& waiter,
                const std::function<void(std::size_t block, unsigned worker)>& work,
                StartThread start_thread);

}  // namespace detail

}  // namespace ontarix
