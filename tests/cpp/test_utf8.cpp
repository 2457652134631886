#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/utf8.hpp"

namespace ontarix {
namespace {

// Reference: decode one character the plain way, then check its range. Returns its length, or 0
// when no well-formed character starts at p.
std::size_t reference_char_length(const unsigned char* p, std::size_t n) {
    static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    const unsigned char b = p[0];
    if (b < 0x80) return 1;
    const std::size_t len = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || n < len) return 0;
    std::uint32_t cp = b & (0x7F >> len);
    for (std::size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

std::size_t reference_valid_up_to(const std::string& s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t i = 0;
    for (std::size_t len; i < s.size(); i += len) {
        if ((len = reference_char_length(p + i, s.size() - i)) == 0) return i;
    }
    return i;
}

// Every two-byte string and every three-byte string with a multi-byte lead (overlongs,
// surrogates, truncations, stray continuations), alone and behind an ASCII word so that both the
// word-at-a-time loop and the byte loop meet them; then the four-byte leads around every range
// edge of their continuation bytes.
TEST(Utf8, MatchesReferenceOnAllShortSequences) {
    for (const std::string& prefix : {std::string(), std::string(8, 'p')}) {
        std::string s;
        for (int a = 0; a < 256; ++a) {
            for (int b = 0; b < 256; ++b) {
                s = prefix + static_cast<char>(a) + static_cast<char>(b);
                ASSERT_EQ(utf8_valid_up_to(s), reference_valid_up_to(s)) << a << ' ' << b;
                for (int c = 0; a >= 0xE0 && c < 256; ++c) {
                    s.resize(prefix.size() + 2);
                    s += static_cast<char>(c);
                    ASSERT_EQ(utf8_valid_up_to(s), reference_valid_up_to(s)) << a << ' ' << b << ' ' << c;
                }
            }
        }
    }
    for (int lead = 0xF0; lead <= 0xF7; ++lead) {
        for (int second = 0x70; second <= 0xC0; ++second) {
            for (int third : {0x7F, 0x80, 0xBF, 0xC0}) {
                for (int fourth : {0x7F, 0x80, 0xBF, 0xC0}) {
                    const std::string s{static_cast<char>(lead), static_cast<char>(second),
                                        static_cast<char>(third), static_cast<char>(fourth)};
                    ASSERT_EQ(utf8_valid_up_to(s), reference_valid_up_to(s)) << s;
                }
            }
        }
    }
}

TEST(Utf8, LongRuns) {
    const std::string a37(37, 'a'), b9(9, 'b');
    EXPECT_EQ(utf8_valid_up_to(a37 + "\xFF" + b9), 37u);
    EXPECT_EQ(utf8_valid_up_to(a37 + "\xC3\xA9" + b9 + "\xF0\x9F\x98\x80"), 52u);
    EXPECT_EQ(utf8_valid_up_to(a37 + "\xF0\x9F\x98"), 37u);
    EXPECT_EQ(utf8_valid_up_to(std::string("a\0b", 3)), 3u);
}

}  // namespace
}  // namespace ontarix
