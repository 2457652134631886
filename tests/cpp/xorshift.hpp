// The generator of the randomized tests: fixed seeds give the same inputs on every run and machine,
// so a failure found once can be replayed.
#pragma once

#include <cstdint>

namespace ontarix::testing {

struct XorShift64 {
    std::uint64_t state;  // never 0

    std::uint64_t operator()() noexcept {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
};

}  // namespace ontarix::testing
