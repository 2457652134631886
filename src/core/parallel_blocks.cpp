#include "core/parallel_blocks.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <sched.h>

#include "core/cpu_quota.hpp"

namespace ontarix {
namespace {

using Clock = std::chrono::steady_clock;
// How long the calling thread lets the host wait before it asks again; short enough that Ctrl-C
// feels immediate, long enough that asking costs nothing measurable.
constexpr auto kPollInterval = std::chrono::milliseconds(20);

class Run {
public:
    Run(std::size_t blocks, const std::function<void(std::size_t, unsigned)>& work)
        : blocks_(blocks), work_(work) {}

    // Runs blocks until none is left or the run stops. Never throws.
    void work_loop(unsigned worker, Waiter* poll_with) noexcept {
        auto last_poll = Clock::now();
        while (!stopped_.load(std::memory_order_relaxed)) {
            const std::size_t block = next_.fetch_add(1, std::memory_order_relaxed);
            if (block >= blocks_) break;
            try {
                work_(block, worker);
            } catch (...) {
                fail(std::current_exception());
                break;
            }
            if (poll_with != nullptr && Clock::now() - last_poll >= kPollInterval) {
                if (!poll(*poll_with)) break;
                last_poll = Clock::now();
            }
        }
    }

    // Asks the host whether to go on, with its lock held for the question; only the calling
    // thread asks. False when the run is to stop: the host gave up (its exception is kept), is
    // gone, or the run stopped already (then the host is not asked again: what it would say no
    // longer matters, and a host that gave up may still have its exception pending).
    bool poll(Waiter& waiter) noexcept {
        if (stopped_.load(std::memory_order_relaxed) || host_gone_) return false;
        if (!waiter.reacquire()) {
            host_gone_ = true;
            stop();
            return false;
        }
        try {
            waiter.before_call();
        } catch (...) {
            fail(std::current_exception());
            waiter.release();
            return false;
        }
        waiter.release();
        return true;
    }

    void worker_done() noexcept {
        std::lock_guard lock(mutex_);
        ++finished_;
        done_.notify_all();
    }

    // Waits for `workers` workers to finish, asking the host at every interval while the run goes
    // on. Once it stopped, the workers finish the block they are on and no more.
    void wait_for_workers(unsigned workers, Waiter& waiter) noexcept {
        std::unique_lock lock(mutex_);
        while (finished_ < workers) {
            if (done_.wait_for(lock, kPollInterval, [&] { return finished_ >= workers; })) break;
            lock.unlock();
            poll(waiter);
            lock.lock();
        }
    }

    void stop() noexcept { stopped_.store(true, std::memory_order_relaxed); }
    bool host_gone() const noexcept { return host_gone_; }

    void rethrow_failure() {
        if (failure_) std::rethrow_exception(failure_);
    }

private:
    void fail(std::exception_ptr e) noexcept {
        std::lock_guard lock(mutex_);
        if (!failure_) failure_ = std::move(e);
        stop();
    }

    const std::size_t blocks_;
    const std::function<void(std::size_t, unsigned)>& work_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> stopped_{false};
    bool host_gone_ = false;  // the calling thread's alone
    std::mutex mutex_;
    std::condition_variable done_;
    unsigned finished_ = 0;
    std::exception_ptr failure_;
};

std::thread start_std_thread(std::function<void()> body) { return std::thread(std::move(body)); }

unsigned affinity_cpus() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<unsigned>(count);
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

}  // namespace

unsigned usable_cpus() noexcept {
    const unsigned cpus = affinity_cpus();
    // Read once: the quota of a running process rarely changes, and reading it takes a dozen
    // small files.
    static const std::optional<unsigned> quota = cgroup_cpu_limit("/");
    return quota && *quota < cpus ? *quota : cpus;
}

void run_blocks(std::size_t blocks, unsigned threads, Waiter& waiter,
                const std::function<void(std::size_t block, unsigned worker)>& work) {
    detail::run_blocks(blocks, threads, waiter, work, start_std_thread);
}

namespace detail {

void run_blocks(std::size_t blocks, unsigned threads, Waiter& waiter,
                const std::function<void(std::size_t block, unsigned worker)>& work,
                StartThread start_thread) {
    if (blocks == 0) return;
    if (threads < 1) threads = 1;
    if (threads > blocks) threads = static_cast<unsigned>(blocks);

    Run run(blocks, work);
    std::vector<std::thread> helpers;
    helpers.reserve(threads - 1);  // with the lock held: a failure here has started nothing
    waiter.release();
    // From here to the end nothing may leave with a thread joinable or the lock released: a
    // failed start is kept and rethrown once every thread that did start has been joined.
    std::exception_ptr start_failure;
    for (unsigned worker = 1; worker < threads; ++worker) {
        try {
            helpers.push_back(start_thread([&run, worker] {
                run.work_loop(worker, nullptr);
                run.worker_done();
            }));
        } catch (const std::system_error&) {
            break;  // no more threads to be had: the ones running (and this one) do the work
        } catch (...) {
            start_failure = std::current_exception();
            run.stop();
            break;
        }
    }
    run.work_loop(0, &waiter);
    run.wait_for_workers(static_cast<unsigned>(helpers.size()), waiter);
    for (std::thread& helper : helpers) helper.join();
    if (run.host_gone() || !waiter.reacquire()) waiter.park();
    if (start_failure) std::rethrow_exception(start_failure);
    run.rethrow_failure();
}

}  // namespace detail
}  // namespace ontarix
