#include "core/hashing.hpp"

#include <chrono>
#include <random>

namespace ontarix {
namespace {

HashKey draw_hash_key() noexcept {
    HashKey key{};
    try {
        std::random_device rd;  // getrandom(2) on Linux
        auto draw = [&] { return (std::uint64_t{rd()} << 32) ^ rd(); };
        key = {draw(), draw(), draw(), draw()};
    } catch (...) {
        // No entropy source: fall back to the clock and an address, still different per process.
        const auto t = static_cast<std::uint64_t>(
            std::chrono::high_resolution_clock::now().time_since_epoch().count());
        const auto a = reinterpret_cast<std::uintptr_t>(&key);
        key = {t * 0x9e3779b97f4a7c15ULL, a * 0xbf58476d1ce4e5b9ULL, t ^ a, ~t};
    }
    // Odd multipliers never collapse a product to zero.
    key.k1 |= 1;
    key.k2 |= 1;
    key.k3 |= 1;
    return key;
}

const HashKey g_key = draw_hash_key();

}  // namespace

const HashKey& process_hash_key() noexcept { return g_key; }

}  // namespace ontarix
