// Walks over ascending lists of distinct numbers (a term's expansion, its scored ranks, a
// profile): the one merge every pairwise measure is built on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ontarix {

// Calls on_common(i, j) for every pair of positions where a[i] == b[j], in ascending order.
template <class OnCommon>
void for_each_common(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b,
                     OnCommon&& on_common) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i] == b[j]) {
            on_common(i, j);
            ++i;
            ++j;
        } else if (a[i] < b[j]) {
            ++i;
        } else {
            ++j;
        }
    }
}

}  // namespace ontarix
