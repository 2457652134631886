#include "core/blocking_wait.hpp"

namespace ontarix {

namespace {
class PlainWaiter final : public Waiter {};
}  // namespace

Waiter& plain_waiter() noexcept {
    // Stateless: one instance serves every thread.
    static PlainWaiter waiter;
    return waiter;
}

}  // namespace ontarix
