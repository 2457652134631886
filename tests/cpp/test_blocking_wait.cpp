// Blocking opens and reads go through the host's waiter: the lock is released around each call,
// an interruption is the waiter's to retry or abandon, and abandoning leaks no descriptor.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "core/association_reader.hpp"
#include "core/byte_source.hpp"

namespace ontarix {
namespace {

struct Abandoned {};

class RecordingWaiter final : public Waiter {
public:
    // Gives up at the given attempt (1 is the first).
    explicit RecordingWaiter(int give_up_at) : give_up_at_(give_up_at) {}
    void release() noexcept override { ++released; }
    bool reacquire() noexcept override {
        ++reacquired;
        return true;
    }
    void before_call() override {
        if (++attempts >= give_up_at_) throw Abandoned{};
    }
    int interruptions() const { return attempts.load() - 1; }

    int released = 0;
    int reacquired = 0;
    std::atomic<int> attempts{0};

private:
    int give_up_at_;
};

void on_signal(int) {}

// Interrupts `target` with a signal (installed without SA_RESTART, so the call fails with EINTR)
// until the waiter has seen `count` interruptions, then runs `after`. Signals are repeated
// because the first ones may land before the call has started to wait.
class Interrupter {
public:
    Interrupter(RecordingWaiter& waiter, int count, std::function<void()> after = {}) {
        struct sigaction action {};
        action.sa_handler = on_signal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, &old_);
        thread_ = std::thread([&waiter, count, after, target = pthread_self()] {
            while (waiter.interruptions() < count) {
                pthread_kill(target, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (after) after();
        });
    }
    ~Interrupter() {
        thread_.join();
        sigaction(SIGUSR1, &old_, nullptr);
    }

private:
    struct sigaction old_ {};
    std::thread thread_;
};

std::size_t open_descriptors() {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

class BlockingWait : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(pipe2(pipe_, O_CLOEXEC), 0);
        dir_ = std::filesystem::temp_directory_path() /
               ("ontarix-wait-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        if (pipe_[1] >= 0) close(pipe_[1]);
        std::filesystem::remove_all(dir_);
    }
    int pipe_[2] = {-1, -1};
    std::filesystem::path dir_;
};

TEST_F(BlockingWait, AnInterruptedReadIsRetriedUntilDataArrives) {
    RecordingWaiter waiter(1000);
    FileSource source(pipe_[0], waiter);
    char buf[16];
    ReadResult got;
    {
        Interrupter interrupter(waiter, 2, [&] { ASSERT_EQ(write(pipe_[1], "abc", 3), 3); });
        got = source.read(buf);
    }
    EXPECT_EQ(got.error, 0);
    EXPECT_EQ(std::string(buf, got.bytes), "abc");
    EXPECT_GE(waiter.interruptions(), 2);
    EXPECT_EQ(waiter.released, waiter.attempts.load());
    EXPECT_EQ(waiter.reacquired, waiter.released);
}

TEST_F(BlockingWait, AReadTheWaiterAbandonsPassesItsExceptionOn) {
    RecordingWaiter waiter(2);
    FileSource source(pipe_[0], waiter);
    char buf[16];
    Interrupter interrupter(waiter, 1);
    EXPECT_THROW(source.read(buf), Abandoned);
    EXPECT_EQ(waiter.reacquired, waiter.released);
}

// A signal that interrupted no call (it arrived between calls, or on another thread) is acted on
// before the next call: that call might otherwise wait for as long as its writer stalls.
TEST_F(BlockingWait, AWaiterThatGivesUpBeforeACallKeepsItFromBeingMade) {
    ASSERT_EQ(write(pipe_[1], "abc", 3), 3);
    RecordingWaiter waiter(1);
    FileSource source(pipe_[0], waiter);
    char buf[16];
    EXPECT_THROW(source.read(buf), Abandoned);
    EXPECT_EQ(waiter.released, 0);
    EXPECT_EQ(read(pipe_[0], buf, sizeof buf), 3);  // nothing was consumed
}

TEST_F(BlockingWait, OpeningAFifoWithoutAWriterCanBeAbandonedWithoutALeak) {
    const std::string fifo = (dir_ / "in.fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::size_t before = open_descriptors();
    RecordingWaiter waiter(2);
    {
        Interrupter interrupter(waiter, 1);
        EXPECT_THROW((void)read_file(fifo, waiter), Abandoned);
    }
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(waiter.reacquired, waiter.released);
}

TEST_F(BlockingWait, AFifoOpenedAfterAnInterruptionReadsItsWritersRecords) {
    const std::string fifo = (dir_ / "in.fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    RecordingWaiter waiter(1000);
    std::thread writer;
    std::optional<AssociationTable> table;
    {
        Interrupter interrupter(waiter, 1, [&] {
            writer = std::thread([&] {
                const int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
                ASSERT_GE(fd, 0);
                ASSERT_EQ(write(fd, "k,v\nk,w\n", 8), 8);
                close(fd);
            });
        });
        table = parse_associations(read_file(fifo, waiter));
    }
    writer.join();
    ASSERT_EQ(table->map.size(), 1u);
    EXPECT_EQ(table->map.begin()->first, "k");
    EXPECT_EQ(table->map.begin()->second, (TermSet{"v", "w"}));
}

}  // namespace
}  // namespace ontarix
