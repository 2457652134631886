// The batch runner under failure: a helper thread that cannot be started, a host that is gone
// while blocks run; and the CPU quota of a container, read from fake control-group trees.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "core/cpu_quota.hpp"
#include "core/parallel_blocks.hpp"

namespace ontarix {
namespace {

struct Parked {};

// Counts its lock handovers; takes the lock back `present` times, then finds the host gone.
class HostWaiter final : public Waiter {
public:
    explicit HostWaiter(int present = 1 << 30) : present_(present) {}
    void release() noexcept override {
        EXPECT_FALSE(gone) << "released after the host was gone";
        ++released;
    }
    bool reacquire() noexcept override {
        EXPECT_FALSE(gone) << "asked for the lock again after the host was gone";
        if (present_-- == 0) {
            gone = true;
            return false;
        }
        ++reacquired;
        return true;
    }
    void before_call() override { EXPECT_FALSE(gone); }
    [[noreturn]] void park() override {
        parked_while_running = running.load();
        throw Parked{};
    }

    int released = 0;
    int reacquired = 0;
    bool gone = false;
    std::atomic<int> running{0};  // blocks in progress
    int parked_while_running = -1;

private:
    int present_;
};

// Thread starts of one test: the n-th (from 1) throws what `fail` throws.
int g_starts = 0;
int g_failing_start = 0;
std::function<void()> g_fail;

std::thread failing_start(std::function<void()> body) {
    if (++g_starts == g_failing_start) g_fail();
    return std::thread(std::move(body));
}

struct StartFailure {
    const char* name;
    std::function<void()> fail;
    bool rethrown;  // else the run completes on the threads that did start
};

class ThreadStart : public ::testing::TestWithParam<std::tuple<StartFailure, int>> {};

TEST_P(ThreadStart, AFailedStartJoinsTheStartedThreadsAndTakesTheLockBack) {
    const auto& [failure, failing] = GetParam();
    g_starts = 0;
    g_failing_start = failing;
    g_fail = failure.fail;
    HostWaiter waiter;
    std::atomic<int> ran{0};
    std::atomic<int> after_return{0};
    std::atomic<bool> returned{false};
    const auto work = [&](std::size_t, unsigned) {
        ++ran;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        if (returned.load()) ++after_return;
    };
    bool threw = false;
    try {
        detail::run_blocks(400, 5, waiter, work, failing_start);
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    returned = true;
    EXPECT_EQ(threw, failure.rethrown);
    if (!failure.rethrown) {
        EXPECT_EQ(ran.load(), 400);
    }
    EXPECT_EQ(waiter.released, waiter.reacquired);  // returned holding the lock
    EXPECT_EQ(after_return.load(), 0);              // every thread that started was joined
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ThreadStart,
    ::testing::Combine(
        ::testing::Values(
            StartFailure{"bad_alloc", [] { throw std::bad_alloc(); }, true},
            StartFailure{"no_more_threads",
                         [] { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)); },
                         false}),
        ::testing::Values(1, 2, 4)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_at_start_" +
               std::to_string(std::get<1>(info.param));
    });

TEST(ParallelBlocks, AHostThatIsGoneParksTheCallerOnceTheRunHasStopped) {
    // The calling thread asks the host every few tens of milliseconds; the second time, it is gone.
    for (const unsigned threads : {1u, 3u}) {
        HostWaiter waiter(1);
        std::atomic<int> ran{0};
        EXPECT_THROW(run_blocks(100000, threads, waiter,
                                [&](std::size_t, unsigned) {
                                    ++waiter.running;
                                    ++ran;
                                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                                    --waiter.running;
                                }),
                     Parked);
        EXPECT_TRUE(waiter.gone);
        EXPECT_EQ(waiter.parked_while_running, 0) << threads;  // helpers joined before parking
        EXPECT_LT(ran.load(), 100000);
    }
}

// ---- the CPU quota -------------------------------------------------------------------------------

class FakeRoot {
public:
    FakeRoot() {
        // ctest runs each case in its own process, several at once: the process id keeps their
        // trees apart (gtest's random seed comes from the clock and may be shared).
        root_ = std::filesystem::temp_directory_path() /
                ("ontarix-cgroup-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
    }
    ~FakeRoot() { std::filesystem::remove_all(root_); }
    void write(const std::string& relative, const std::string& text) const {
        const std::filesystem::path path = root_ / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    void mkdir(const std::string& relative) const {
        std::filesystem::create_directories(root_ / relative);
    }
    const std::filesystem::path& path() const { return root_; }

private:
    static inline int counter_ = 0;
    std::filesystem::path root_;
};

struct QuotaCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // "dir/" alone: a directory
    std::optional<unsigned> expected;
};

class CpuQuota : public ::testing::TestWithParam<QuotaCase> {};

TEST_P(CpuQuota, TheSmallestLimitOfEveryLevelRoundedUp) {
    const FakeRoot root;
    for (const auto& [path, text] : GetParam().files) {
        if (path.back() == '/') {
            root.mkdir(path);
        } else {
            root.write(path, text);
        }
    }
    EXPECT_EQ(cgroup_cpu_limit(root.path()), GetParam().expected);
}

const std::string kV2 = "sys/fs/cgroup/";
const std::string kV1 = "sys/fs/cgroup/cpu,cpuacct/";

INSTANTIATE_TEST_SUITE_P(
    Trees, CpuQuota,
    ::testing::Values(
        QuotaCase{"v2_unlimited", {{"proc/self/cgroup", "0::/\n"}, {kV2 + "cpu.max", "max 100000\n"}}, std::nullopt},
        QuotaCase{"v2_container_root", {{"proc/self/cgroup", "0::/\n"}, {kV2 + "cpu.max", "150000 100000\n"}}, 2u},
        QuotaCase{"v2_nested_smallest",
                  {{"proc/self/cgroup", "0::/kubepods/pod1/c1\n"},
                   {kV2 + "kubepods/cpu.max", "800000 100000\n"},
                   {kV2 + "kubepods/pod1/cpu.max", "300000 100000\n"},
                   {kV2 + "kubepods/pod1/c1/cpu.max", "max 100000\n"}},
                  3u},
        QuotaCase{"v2_host_path_not_mounted",  // the container sees its own group as the root
                  {{"proc/self/cgroup", "0::/docker/abc\n"}, {kV2 + "cpu.max", "200000 100000\n"}},
                  2u},
        QuotaCase{"v2_less_than_one_cpu", {{"proc/self/cgroup", "0::/a\n"}, {kV2 + "a/cpu.max", "5000 100000\n"}}, 1u},
        QuotaCase{"v2_malformed", {{"proc/self/cgroup", "0::/\n"}, {kV2 + "cpu.max", "lots 100000\n"}}, std::nullopt},
        QuotaCase{"v1_unlimited",
                  {{"proc/self/cgroup", "4:memory:/x\n2:cpu,cpuacct:/\n0::/\n"},
                   {kV1 + "cpu.cfs_quota_us", "-1\n"}, {kV1 + "cpu.cfs_period_us", "100000\n"}},
                  std::nullopt},
        QuotaCase{"v1_quota",
                  {{"proc/self/cgroup", "2:cpuacct,cpu:/docker/abc\n"},
                   {"sys/fs/cgroup/cpuacct,cpu/docker/abc/cpu.cfs_quota_us", "250000\n"},
                   {"sys/fs/cgroup/cpuacct,cpu/docker/abc/cpu.cfs_period_us", "100000\n"}},
                  3u},
        QuotaCase{"v1_mounted_as_cpu",
                  {{"proc/self/cgroup", "3:cpu:/\n"},
                   {"sys/fs/cgroup/cpu/cpu.cfs_quota_us", "100000\n"},
                   {"sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"}},
                  1u},
        QuotaCase{"no_cgroup_file", {{"sys/fs/cgroup/", ""}}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ontarix
