// UTF-8 validation of byte strings read from files.
//
// A byte string is accepted exactly when it is well-formed UTF-8 in the sense of Unicode's table of
// well-formed byte sequences: no overlong forms, no surrogate code points (U+D800..U+DFFF), nothing
// above U+10FFFF, no stray continuation bytes and no sequence cut short at the end.
//
// On failure the caller learns how far the input was good: the length of the longest prefix that
// is a sequence of complete, well-formed characters. A truncated character at the end therefore
// counts as invalid from its first byte on.
//
// Linear in the input; runs of ASCII are checked eight bytes at a time.
#pragma once

#include <cstddef>
#include <string_view>

namespace ontarix {

// Returns bytes.size() when `bytes` is well-formed UTF-8, otherwise the length of its longest
// well-formed prefix (always less than bytes.size()).
std::size_t utf8_valid_up_to(std::string_view bytes) noexcept;

inline bool is_utf8(std::string_view bytes) noexcept {
    return utf8_valid_up_to(bytes) == bytes.size();
}

}  // namespace ontarix
