// Counter-based random numbers, for Monte Carlo work that threads share.
//
// A number is a pure function of a key and its position in a stream, never of a generator's
// history: the draws of sample i for candidate c under seed s are the same whichever thread makes
// them, in whatever order, on any number of threads and however the work is cut into blocks.
//
// A stream is splitmix64 (Steele, Lea and Flood, 2014): its n-th number is the splitmix64
// finalizer of key + n * gamma, gamma the odd golden-ratio constant. The key comes from mixing
// (seed, stream, sample) through the same finalizer, one word at a time, so neighbouring seeds,
// candidates and samples start unrelated streams.
//
// below(n) is uniform on [0, n) without bias, by Lemire's multiply-and-reject method (Lemire,
// 2019): the high word of a 64 x 64 -> 128-bit product, rejecting the few numbers whose low word
// falls below 2^64 mod n, which happens with probability below n / 2^64 and costs a division only
// then. A rejection takes the stream's next number, so below() is deterministic per stream.
#pragma once

#include <cstdint>

namespace ontarix {

// The splitmix64 finalizer: a bijection of 64-bit words in which every output bit depends on
// every input bit.
constexpr std::uint64_t mix64(std::uint64_t z) noexcept {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

class CounterRandom {
public:
    static constexpr std::uint64_t kGamma = 0x9E3779B97F4A7C15u;

    constexpr CounterRandom(std::uint64_t seed, std::uint64_t stream, std::uint64_t sample) noexcept
        : state_(mix64(mix64(mix64(seed + kGamma) ^ stream) ^ sample)) {}

    // The stream's next number, uniform on [0, 2^64).
    constexpr std::uint64_t next() noexcept {
        state_ += kGamma;
        return mix64(state_);
    }

    // Uniform on [0, n) for n >= 1 (0 for n == 0).
    constexpr std::uint64_t below(std::uint64_t n) noexcept {
        unsigned __int128 product = static_cast<unsigned __int128>(next()) * n;
        auto low = static_cast<std::uint64_t>(product);
        if (low < n) {  // only then can the number be one of the 2^64 mod n to reject
            const std::uint64_t reject = (0 - n) % n;
            while (low < reject) {
                product = static_cast<unsigned __int128>(next()) * n;
                low = static_cast<std::uint64_t>(product);
            }
        }
        return static_cast<std::uint64_t>(product >> 64);
    }

private:
    std::uint64_t state_;
};

}  // namespace ontarix
