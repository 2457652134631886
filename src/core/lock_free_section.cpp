#include "core/lock_free_section.hpp"

namespace ontarix {
namespace {

// As in the batch runner: short enough that Ctrl-C feels immediate, long enough that asking costs
// nothing measurable.
constexpr auto kPollInterval = std::chrono::milliseconds(20);
// Checkpoints between clock readings. Callers place checkpoints at most about a millisecond of
// work apart, usually far less.
constexpr std::uint32_t kCallsPerReading = 64;

}  // namespace

LockFreeSection::LockFreeSection(Waiter& waiter)
    : waiter_(waiter), countdown_(kCallsPerReading), last_(Clock::now()) {
    waiter_.release();
    released_ = true;
}

LockFreeSection::~LockFreeSection() {
    // A host that is gone never gets its lock back; the computation owns nothing else of it.
    if (released_ && !waiter_.reacquire()) waiter_.park();
}

void LockFreeSection::reached() {
    if (--countdown_ != 0) return;
    countdown_ = kCallsPerReading;
    const Clock::time_point now = Clock::now();
    if (now - last_ < kPollInterval) return;
    if (!waiter_.reacquire()) waiter_.park();
    released_ = false;
    waiter_.before_call();  // may throw: the destructor then has nothing to take back
    waiter_.release();
    released_ = true;
    last_ = Clock::now();
}

}  // namespace ontarix
