// Seeded string hashing for every native table.
//
// Inputs of this library come from files and from Python callers we do not control, so a fixed
// hash function would let crafted keys collide on purpose and turn each table operation linear.
// Every table therefore hashes with a 256-bit key drawn from the operating system's random source
// once per process. The function is a multiply-fold ("mum") construction over 64-bit words: each
// step multiplies two key-whitened words to 128 bits and folds the halves, so every output bit
// depends on every input bit and on the secret key. Without the key, collisions cannot be
// precomputed; with 64-bit multiplies it runs at a few cycles per 8 bytes, which matters because
// conversions hash every string of a million-row closure table.
//
// Term identifiers (32-bit) hash through the same key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace ontarix {

struct HashKey {
    std::uint64_t k0, k1, k2, k3;
};

// Drawn once per process, before first use (at load time of the library).
const HashKey& process_hash_key() noexcept;

namespace detail {

inline std::uint64_t fold_mul(std::uint64_t a, std::uint64_t b) noexcept {
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

inline std::uint64_t read64(const unsigned char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline std::uint64_t read32(const unsigned char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

}  // namespace detail

inline std::uint64_t hash_bytes(const void* data, std::size_t n, const HashKey& key) noexcept {
    using detail::fold_mul;
    using detail::read32;
    using detail::read64;
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint64_t state = key.k0 ^ fold_mul(n ^ key.k1, key.k2);
    std::uint64_t a, b;
    if (n <= 16) {
        if (n >= 4) {
            // Two overlapping 4-byte reads from each end cover every byte of 4..16.
            const std::size_t mid = (n >> 3) << 2;
            a = (read32(p) << 32) | read32(p + mid);
            b = (read32(p + n - 4) << 32) | read32(p + n - 4 - mid);
        } else if (n > 0) {
            a = (std::uint64_t{p[0]} << 16) | (std::uint64_t{p[n >> 1]} << 8) | p[n - 1];
            b = 0;
        } else {
            a = b = 0;
        }
    } else {
        std::size_t left = n;
        while (left > 16) {
            state = fold_mul(read64(p) ^ key.k1, read64(p + 8) ^ state);
            p += 16;
            left -= 16;
        }
        a = read64(p + left - 16);
        b = read64(p + left - 8);
    }
    return fold_mul(fold_mul(a ^ key.k1, b ^ state) ^ key.k3, n ^ key.k2);
}

inline std::uint64_t hash_u64(std::uint64_t v, const HashKey& key) noexcept {
    return detail::fold_mul(detail::fold_mul(v ^ key.k0, key.k1) ^ key.k2, key.k3);
}

// Hash functor for string tables. Transparent, so tables of std::string or std::string_view can
// be probed with either without building a temporary.
struct TermHash {
    using is_transparent = void;
    using is_avalanching = void;  // tells Boost.Unordered not to post-mix

    std::size_t operator()(std::string_view s) const noexcept {
        return hash_bytes(s.data(), s.size(), process_hash_key());
    }
    std::size_t operator()(const std::string& s) const noexcept {
        return (*this)(std::string_view(s));
    }
    std::size_t operator()(const char* s) const noexcept { return (*this)(std::string_view(s)); }
};

struct TermEq {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

struct IdHash {
    using is_avalanching = void;
    std::size_t operator()(std::int32_t v) const noexcept {
        return hash_u64(static_cast<std::uint32_t>(v), process_hash_key());
    }
};

}  // namespace ontarix
