#include "core/blocking_wait.hpp"

#include <chrono>
#include <thread>

namespace ontarix {

void Waiter::park() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

namespace {
class PlainWaiter final : public Waiter {};
}  // namespace

Waiter& plain_waiter() noexcept {
    // Stateless: one instance serves every thread.
    static PlainWaiter waiter;
    return waiter;
}

}  // namespace ontarix
