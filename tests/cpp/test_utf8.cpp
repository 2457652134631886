#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/utf8.hpp"

namespace ontarix {
namespace {

struct Utf8Case {
    const char* name;
    std::string bytes;
    std::size_t valid_up_to;
};

class Utf8Table : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Table, ValidUpTo) {
    const auto& c = GetParam();
    EXPECT_EQ(utf8_valid_up_to(c.bytes), c.valid_up_to);
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8Table,
    ::testing::Values(
        Utf8Case{"empty", "", 0}, Utf8Case{"ascii", "hello, world", 12},
        Utf8Case{"nul_is_ascii", "a\0b"s, 3},
        Utf8Case{"two_byte", "caf\xC3\xA9", 5},
        Utf8Case{"three_byte", "\xE2\x82\xAC", 3},
        Utf8Case{"four_byte", "\xF0\x9F\x98\x80!", 5},
        Utf8Case{"max_code_point", "\xF4\x8F\xBF\xBF", 4},
        Utf8Case{"byte_order_mark", "\xEF\xBB\xBF", 3},
        Utf8Case{"stray_continuation", "ab\x80", 2},
        Utf8Case{"overlong_c0", "\xC0\xAF", 0},
        Utf8Case{"overlong_c1", "x\xC1\xBF", 1},
        Utf8Case{"overlong_three", "\xE0\x80\xAF", 0},
        Utf8Case{"overlong_four", "\xF0\x8F\xBF\xBF", 0},
        Utf8Case{"surrogate_low_end", "\xED\xA0\x80", 0},
        Utf8Case{"surrogate_high_end", "ok\xED\xBF\xBF", 2},
        Utf8Case{"last_before_surrogates", "\xED\x9F\xBF", 3},
        Utf8Case{"beyond_max", "\xF4\x90\x80\x80", 0},
        Utf8Case{"lead_f5", "\xF5\x80\x80\x80", 0},
        Utf8Case{"lead_ff", "abc\xFF", 3},
        Utf8Case{"truncated_two", "abc\xC3", 3},
        Utf8Case{"truncated_four", "\xF0\x9F\x98", 0},
        Utf8Case{"bad_third_byte", "\xE2\x82(", 0},
        Utf8Case{"bad_fourth_byte", "\xF0\x9F\x98(", 0},
        // Word-at-a-time skipping must stop at the right byte when the bad one is deep in a run.
        Utf8Case{"bad_after_long_ascii", std::string(37, 'a') + "\xFF" + std::string(9, 'b'), 37},
        Utf8Case{"good_after_long_ascii", std::string(40, 'a') + "\xC3\xA9" + std::string(17, 'b'),
                 59}),
    [](const auto& info) { return std::string(info.param.name); });

// Straightforward decoder used as the reference: decode one character, then check its range.
std::size_t reference_sequence_length(const unsigned char* p, std::size_t n) {
    const unsigned char b = p[0];
    std::size_t len;
    std::uint32_t cp;
    if (b < 0x80) return 1;
    if ((b & 0xE0) == 0xC0) {
        len = 2;
        cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3;
        cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4;
        cp = b & 0x07;
    } else {
        return 0;
    }
    if (n < len) return 0;
    for (std::size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

std::size_t reference_valid_up_to(const std::string& s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t len = reference_sequence_length(p + i, s.size() - i);
        if (len == 0) return i;
        i += len;
    }
    return s.size();
}

// Every two-byte string, and every three-byte string with a multi-byte lead, against the reference,
// each placed after a prefix so that both the word loop and the byte loop see it.
TEST(Utf8Exhaustive, ShortSequencesMatchReference) {
    for (const std::string& prefix : {std::string(), std::string(8, 'p')}) {
        for (int a = 0; a < 256; ++a) {
            for (int b = 0; b < 256; ++b) {
                std::string s = prefix;
                s += static_cast<char>(a);
                s += static_cast<char>(b);
                ASSERT_EQ(utf8_valid_up_to(s), reference_valid_up_to(s)) << a << ' ' << b;
                if (a < 0xE0) continue;
                for (int c = 0; c < 256; ++c) {
                    s.resize(prefix.size() + 2);
                    s += static_cast<char>(c);
                    ASSERT_EQ(utf8_valid_up_to(s), reference_valid_up_to(s)) << a << ' ' << b << ' ' << c;
                }
            }
        }
    }
}

TEST(Utf8Exhaustive, FourByteLeadsAtTheirBoundaries) {
    for (int lead = 0xF0; lead <= 0xF7; ++lead) {
        for (int second = 0x70; second <= 0xC0; ++second) {
            for (int third : {0x7F, 0x80, 0xBF, 0xC0}) {
                for (int fourth : {0x7F, 0x80, 0xBF, 0xC0}) {
                    const std::string s{static_cast<char>(lead), static_cast<char>(second),
                                        static_cast<char>(third), static_cast<char>(fourth)};
                    ASSERT_EQ(utf8_valid_up_to(s), reference_valid_up_to(s));
                }
            }
        }
    }
}

}  // namespace
}  // namespace ontarix
