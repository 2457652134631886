#include "core/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace ontarix {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// Length of a character from its lead byte, or 0 for a byte that cannot start one
// (continuation bytes 80..BF, the overlong leads C0 and C1, and F5..FF).
constexpr std::size_t lead_length(unsigned char b) noexcept {
    if (b < 0x80) return 1;
    if (b < 0xC2) return 0;
    if (b < 0xE0) return 2;
    if (b < 0xF0) return 3;
    if (b < 0xF5) return 4;
    return 0;
}

// The second byte of a multi-byte character has a narrower range than 80..BF after four leads:
// that is where overlong forms, surrogates and code points beyond U+10FFFF are excluded.
constexpr bool second_byte_ok(unsigned char lead, unsigned char b) noexcept {
    switch (lead) {
        case 0xE0: return b >= 0xA0 && b <= 0xBF;
        case 0xED: return b >= 0x80 && b <= 0x9F;
        case 0xF0: return b >= 0x90 && b <= 0xBF;
        case 0xF4: return b >= 0x80 && b <= 0x8F;
        default: return b >= 0x80 && b <= 0xBF;
    }
}

constexpr bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

}  // namespace

std::size_t utf8_valid_up_to(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        // Field text is mostly ASCII: skip it a word at a time.
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            if (word & kHighBits) break;
            i += 8;
        }
        if (i == n) break;
        const unsigned char lead = p[i];
        const std::size_t len = lead_length(lead);
        if (len == 1) {
            ++i;
            continue;
        }
        if (len == 0 || i + len > n) return i;
        if (!second_byte_ok(lead, p[i + 1])) return i;
        for (std::size_t k = 2; k < len; ++k) {
            if (!is_continuation(p[i + k])) return i;
        }
        i += len;
    }
    return n;
}

}  // namespace ontarix
